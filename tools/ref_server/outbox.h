// Datagrams one server thread has made, sent together at the end of its turn, or each held
// back for a configured delay.
#pragma once

#include <chrono>
#include <deque>
#include <vector>

#include "session_table.h"
#include "udp_endpoint.h"

class outbox {
  public:
    explicit outbox(std::chrono::milliseconds delay = std::chrono::milliseconds(0));

    // Room for the next message (any message up to the largest datagram); commit() queues
    // the first len bytes written there. Valid until the next commit() or flush().
    uint8_t* slot();
    void commit(const peer_address& to, int len);
    // Milliseconds until the next message is due (0 when one is), or -1 when none waits.
    int wait_ms(server_clock::time_point now) const;
    // Sends what is due.
    void flush(server_clock::time_point now, udp_endpoint& endpoint);

  private:
    size_t used() const;  // bytes of the ready messages

    struct held {
        server_clock::time_point due;
        peer_address to;
        std::vector<uint8_t> bytes;
    };
    const std::chrono::milliseconds delay_;
    // Without a delay: the turn's messages back to back, sent as one batch.
    std::vector<uint8_t> bytes_;
    std::vector<queued_datagram> ready_;
    // With one: every message waits the same time, so arrival order is due order.
    std::deque<held> held_;
};
