// Replies waiting for their send time (all of them at once unless a delay is configured).
#pragma once

#include <deque>
#include <vector>

#include "session_table.h"
#include "udp_endpoint.h"

class outbox {
  public:
    void push(server_clock::time_point due, const peer_address& to, const uint8_t* msg, int len);
    // Milliseconds until the next message is due (0 when one is), or -1 when none waits.
    int wait_ms(server_clock::time_point now) const;
    void flush(server_clock::time_point now, udp_endpoint& endpoint);

  private:
    struct message {
        server_clock::time_point due;
        peer_address to;
        std::vector<uint8_t> bytes;
    };
    // Every message gets the same delay, so arrival order is due order.
    std::deque<message> queue_;
};
