#include "session_table.h"

#include <sodium.h>

session& session_table::create(const peer_address& peer, server_clock::time_point now) {
    uint32_t sid = 0;
    while (sid == 0 || by_sid_.count(sid) != 0)
        sid = randombytes_random();
    session& s = by_sid_[sid];
    s.sid = sid;
    s.peer = peer;
    s.last_seen = now;
    return s;
}

session* session_table::find(uint32_t sid) {
    auto it = by_sid_.find(sid);
    return it != by_sid_.end() ? &it->second : nullptr;
}

const session* session_table::find(uint32_t sid) const {
    auto it = by_sid_.find(sid);
    return it != by_sid_.end() ? &it->second : nullptr;
}

session* session_table::find_by_tunnel(uint32_t tunnel_addr) {
    auto it = sid_by_tunnel_.find(tunnel_addr);
    return it != sid_by_tunnel_.end() ? find(it->second) : nullptr;
}

void session_table::set_tunnel(session& s, uint32_t tunnel_addr) {
    s.tunnel_addr = tunnel_addr;
    sid_by_tunnel_[tunnel_addr] = s.sid;
}

void session_table::erase(uint32_t sid) {
    auto it = by_sid_.find(sid);
    if (it == by_sid_.end())
        return;
    if (it->second.authenticated())
        sid_by_tunnel_.erase(it->second.tunnel_addr);
    sodium_memzero(it->second.rx_key, KEY_LEN);
    sodium_memzero(it->second.tx_key, KEY_LEN);
    by_sid_.erase(it);
}

std::vector<uint32_t> session_table::idle_since(server_clock::time_point oldest_allowed) const {
    std::vector<uint32_t> idle;
    for (const auto& [sid, s] : by_sid_) {
        if (s.last_seen < oldest_allowed)
            idle.push_back(sid);
    }
    return idle;
}
