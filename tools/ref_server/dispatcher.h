// Handles each datagram a client sends: the server side of every exchange.
#pragma once

#include <spdlog/logger.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <vector>

#include "address_pool.h"
#include "data_path.h"
#include "options.h"
#include "outbox.h"
#include "session_table.h"
#include "signing_key.h"
#include "udp_endpoint.h"
#include "wire_check.h"

struct server_stats {
    std::atomic<uint64_t> received[MSG_PING + 1]{};  // by message type; 0 counts unknown types
    std::atomic<uint64_t> replies{0};
    std::atomic<uint64_t> ignored{0};  // malformed, not authentic, or dropped by a fault
    wire_counters wire;                // the S3 messages clients sent
};

// The dispatcher runs on the server's receiving thread. Sealing towards clients may also run
// on its sending thread: send_lock_ guards what both touch, the session table's layout and
// each session's send key, send sequence and peer; the receiving thread, the only writer,
// reads the layout without it.
class message_dispatcher {
  public:
    message_dispatcher(const server_options& options, const signing_key& key, address_pool& pool,
                       data_path& data, server_stats& stats, spdlog::logger& log);

    // Replies go into out.
    void handle(const uint8_t* msg, int len, const peer_address& from, server_clock::time_point now,
                outbox& out);
    void expire_idle(server_clock::time_point now);

    // Seal a packet into an S3 message in out; false without an authenticated session.
    bool seal_to_session(uint32_t sid, const uint8_t* packet, int len, outbox& out);
    bool seal_to_tunnel_address(uint32_t tunnel_addr, const uint8_t* packet, int len, outbox& out);

    // Snapshots, from any thread the receiving thread is not running handle() on.
    size_t session_count() const;
    std::optional<session> find_session(uint32_t sid) const;

  private:
    void on_auth_kx(const uint8_t* msg, int len, const peer_address& from,
                    server_clock::time_point now, outbox& out);
    void on_rekey(const uint8_t* msg, int len, outbox& out);
    void on_user_auth(session& s, const uint8_t* plain, int plain_len, outbox& out);
    void on_data(session& s, uint64_t seq, const uint8_t* packet, int packet_len, outbox& out);
    void on_keepalive(session& s, const uint8_t* plain, int plain_len, outbox& out);
    void on_disconn(session& s, const uint8_t* plain, int plain_len);
    void on_ping(const uint8_t* msg, int len, const peer_address& from, outbox& out);

    // The session named in the header, if the sealed payload opens with its key.
    session* open_sealed(const uint8_t* msg, int len, uint8_t* plain, int* plain_len);
    bool seal_locked(session& s, const uint8_t* packet, int len, outbox& out);
    // Fresh server ephemeral keys for a client key; false when the client key is unusable.
    bool derive_keys(const uint8_t* client_pk, uint8_t* server_kx_pk, uint8_t* rx_key,
                     uint8_t* tx_key);
    void send_signed_reply(const session& s, uint8_t type, uint64_t seq, uint8_t status,
                           const uint8_t* server_kx_pk, outbox& out);
    bool token_accepted(const std::string& token) const;
    void end_session(uint32_t sid, const char* why);
    void transmit(const peer_address& to, int len, outbox& out);
    void ignore(const char* why);

    const server_options& options_;
    const signing_key& key_;
    const signing_key foreign_key_;
    address_pool& pool_;
    data_path& data_;
    server_stats& stats_;
    spdlog::logger& log_;
    session_table sessions_;
    mutable std::mutex send_lock_;
    int64_t handled_ = 0;
    std::vector<uint8_t> plain_;  // opened payload of the datagram being handled
};

// A tunnel_sender that seals through the dispatcher into one thread's outbox.
class outbox_sender : public tunnel_sender {
  public:
    outbox_sender(message_dispatcher& dispatcher, outbox& out)
        : dispatcher_(dispatcher), out_(out) {}
    bool to_session(uint32_t sid, const uint8_t* packet, int len) override {
        return dispatcher_.seal_to_session(sid, packet, len, out_);
    }
    bool to_tunnel_address(uint32_t tunnel_addr, const uint8_t* packet, int len) override {
        return dispatcher_.seal_to_tunnel_address(tunnel_addr, packet, len, out_);
    }

  private:
    message_dispatcher& dispatcher_;
    outbox& out_;
};
