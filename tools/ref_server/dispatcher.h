// Handles each datagram a client sends: the server side of every exchange.
#pragma once

#include <spdlog/logger.h>

#include <atomic>
#include <functional>
#include <vector>

#include "address_pool.h"
#include "data_path.h"
#include "options.h"
#include "session_table.h"
#include "signing_key.h"
#include "udp_endpoint.h"

struct server_stats {
    std::atomic<uint64_t> received[MSG_PING + 1]{};  // by message type; 0 counts unknown types
    std::atomic<uint64_t> replies{0};
    std::atomic<uint64_t> ignored{0};  // malformed, not authentic, or dropped by a fault
};

using reply_sink = std::function<void(const peer_address& to, const uint8_t* msg, int len)>;

class message_dispatcher : public tunnel_sender {
  public:
    message_dispatcher(const server_options& options, const signing_key& key, address_pool& pool,
                       data_path& data, server_stats& stats, spdlog::logger& log, reply_sink send);

    void handle(const uint8_t* msg, int len, const peer_address& from,
                server_clock::time_point now);
    void expire_idle(server_clock::time_point now);
    const session_table& sessions() const { return sessions_; }

    bool to_session(uint32_t sid, const uint8_t* packet, int len) override;
    bool to_tunnel_address(uint32_t tunnel_addr, const uint8_t* packet, int len) override;

  private:
    void on_auth_kx(const uint8_t* msg, int len, const peer_address& from,
                    server_clock::time_point now);
    void on_rekey(const uint8_t* msg, int len);
    void on_user_auth(session& s, const uint8_t* plain, int plain_len);
    void on_data(session& s, const uint8_t* packet, int packet_len);
    void on_keepalive(session& s, const uint8_t* plain, int plain_len);
    void on_disconn(session& s, const uint8_t* plain, int plain_len);
    void on_ping(const uint8_t* msg, int len, const peer_address& from);

    // The session named in the header, if the sealed payload opens with its key.
    session* open_sealed(const uint8_t* msg, int len, uint8_t* plain, int* plain_len);
    // Fresh server ephemeral keys for a client key; false when the client key is unusable.
    bool derive_keys(const uint8_t* client_pk, uint8_t* server_kx_pk, uint8_t* rx_key,
                     uint8_t* tx_key);
    void send_signed_reply(const session& s, uint8_t type, uint64_t seq, uint8_t status,
                           const uint8_t* server_kx_pk);
    bool token_accepted(const std::string& token) const;
    void end_session(uint32_t sid, const char* why);
    void transmit(const peer_address& to, const uint8_t* msg, int len);
    void ignore(const char* why);

    const server_options& options_;
    const signing_key& key_;
    const signing_key foreign_key_;
    address_pool& pool_;
    data_path& data_;
    server_stats& stats_;
    spdlog::logger& log_;
    reply_sink send_;
    session_table sessions_;
    int64_t handled_ = 0;
    std::vector<uint8_t> plain_;     // opened payload of the datagram being handled
    std::vector<uint8_t> outgoing_;  // message being sealed towards a client
};
