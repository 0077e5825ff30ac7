// The sessions the server knows, by session id and by tunnel address.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "protocol.h"
#include "udp_endpoint.h"
#include "wire_check.h"

using server_clock = std::chrono::steady_clock;

struct session {
    uint32_t sid = 0;
    peer_address peer;
    // Server view: rx_key opens what the client sealed with its tx_key, and the reverse.
    uint8_t rx_key[KEY_LEN] = {};
    uint8_t tx_key[KEY_LEN] = {};
    uint64_t tx_seq = 0;          // next sequence number the server sends
    uint32_t client_tx_seq = 0;   // initial client sequence handed in the last S1 / S4 reply
    uint32_t requested_addr = 0;  // host order, from the S1 header; 0 for none
    uint32_t tunnel_addr = 0;     // host order; 0 until S2 succeeded
    std::string token;
    std::string uuid;
    uint32_t upload_limit = 0;
    uint32_t download_limit = 0;
    server_clock::time_point last_seen;
    wire_flow wire;  // the S3 messages received

    bool authenticated() const { return tunnel_addr != 0; }
};

class session_table {
  public:
    // A new session with a fresh, unused, nonzero id.
    session& create(const peer_address& peer, server_clock::time_point now);
    session* find(uint32_t sid);
    const session* find(uint32_t sid) const;
    session* find_by_tunnel(uint32_t tunnel_addr);
    void set_tunnel(session& s, uint32_t tunnel_addr);
    void erase(uint32_t sid);
    // Ids of the sessions silent since before the limit.
    std::vector<uint32_t> idle_since(server_clock::time_point oldest_allowed) const;
    size_t size() const { return by_sid_.size(); }

  private:
    std::map<uint32_t, session> by_sid_;
    std::map<uint32_t, uint32_t> sid_by_tunnel_;
};
