#include "dispatcher.h"

#include <arpa/inet.h>
#include <sodium.h>

#include <algorithm>

#include "server_messages.h"

namespace {

constexpr int MAX_PACKET = 0xFFFF - AEAD_TAG_LEN;

// Server sequence numbers start at a random high word above the challenge the client checks.
uint64_t fresh_server_seq(uint32_t challenge) {
    const uint64_t high = 1 + randombytes_uniform(0xFFFF);
    return (high << 32) | challenge;
}

// Leaves the client plenty of room before its counter nears the rekey limit.
uint32_t fresh_client_seq() {
    return randombytes_uniform(1u << 31);
}

}  // namespace

message_dispatcher::message_dispatcher(const server_options& options, const signing_key& key,
                                       address_pool& pool, data_path& data, server_stats& stats,
                                       spdlog::logger& log)
    : options_(options),
      key_(key),
      foreign_key_(signing_key::generate()),
      pool_(pool),
      data_(data),
      stats_(stats),
      log_(log),
      plain_(MAX_DATAGRAM) {}

void message_dispatcher::handle(const uint8_t* msg, int len, const peer_address& from,
                                server_clock::time_point now, outbox& out) {
    if (options_.faults.silent_after >= 0 && handled_ >= options_.faults.silent_after) {
        ignore("silent (fault)");
        return;
    }
    ++handled_;
    if (len <= VPN_HEADER_LEN || get_be16(msg + 13) != len - VPN_HEADER_LEN) {
        ignore("malformed header");
        return;
    }
    const uint8_t type = msg[0];
    stats_.received[type <= MSG_PING ? type : 0].fetch_add(1);
    switch (type) {
        case MSG_AUTH_KX:
            on_auth_kx(msg, len, from, now, out);
            return;
        case MSG_REKEY:
            on_rekey(msg, len, out);
            return;
        case MSG_PING:
            on_ping(msg, len, from, out);
            return;
        case MSG_USER_AUTH:
        case MSG_DATA_TRANS:
        case MSG_KEEPALIVE:
        case MSG_DISCONN:
            break;
        default:
            ignore("unknown message type");
            return;
    }
    if (type == MSG_DATA_TRANS)
        stats_.wire.datagrams.fetch_add(1);
    int plain_len = 0;
    session* s = open_sealed(msg, len, plain_.data(), &plain_len);
    if (s == nullptr) {
        if (type == MSG_DATA_TRANS)
            stats_.wire.refused.fetch_add(1);
        return;
    }
    if (!same_peer(s->peer, from)) {
        std::lock_guard<std::mutex> lock(send_lock_);
        s->peer = from;
    }
    s->last_seen = now;
    switch (type) {
        case MSG_USER_AUTH:
            on_user_auth(*s, plain_.data(), plain_len, out);
            return;
        case MSG_DATA_TRANS:
            on_data(*s, get_be64(msg + 5), plain_.data(), plain_len, out);
            return;
        case MSG_KEEPALIVE:
            on_keepalive(*s, plain_.data(), plain_len, out);
            return;
        default:
            on_disconn(*s, plain_.data(), plain_len);
            return;
    }
}

void message_dispatcher::expire_idle(server_clock::time_point now) {
    const auto oldest = now - std::chrono::seconds(options_.idle_timeout_s);
    for (uint32_t sid : sessions_.idle_since(oldest))
        end_session(sid, "idle");
}

bool message_dispatcher::seal_to_session(uint32_t sid, const uint8_t* packet, int len,
                                         outbox& out) {
    std::lock_guard<std::mutex> lock(send_lock_);
    session* s = sessions_.find(sid);
    return s != nullptr && seal_locked(*s, packet, len, out);
}

bool message_dispatcher::seal_to_tunnel_address(uint32_t tunnel_addr, const uint8_t* packet,
                                                int len, outbox& out) {
    std::lock_guard<std::mutex> lock(send_lock_);
    session* s = sessions_.find_by_tunnel(tunnel_addr);
    return s != nullptr && seal_locked(*s, packet, len, out);
}

bool message_dispatcher::seal_locked(session& s, const uint8_t* packet, int len, outbox& out) {
    if (!s.authenticated() || len < 0 || len > MAX_PACKET)
        return false;
    const int n = make_data_message(s.sid, s.tx_seq++, s.tx_key, packet, len, out.slot());
    transmit(s.peer, n, out);
    return true;
}

size_t message_dispatcher::session_count() const {
    std::lock_guard<std::mutex> lock(send_lock_);
    return sessions_.size();
}

std::optional<session> message_dispatcher::find_session(uint32_t sid) const {
    std::lock_guard<std::mutex> lock(send_lock_);
    const session* s = sessions_.find(sid);
    return s != nullptr ? std::optional<session>(*s) : std::nullopt;
}

void message_dispatcher::on_auth_kx(const uint8_t* msg, int len, const peer_address& from,
                                    server_clock::time_point now, outbox& out) {
    kx_request request{};
    if (!read_kx_request(msg, len, &request)) {
        ignore("malformed S1 request");
        return;
    }
    if (options_.faults.drop_s1) {
        ignore("S1 dropped (fault)");
        return;
    }
    uint8_t server_kx_pk[KEY_LEN];
    uint8_t rx_key[KEY_LEN];
    uint8_t tx_key[KEY_LEN];
    if (!derive_keys(request.client_pk, server_kx_pk, rx_key, tx_key)) {
        ignore("unusable client key in S1");
        return;
    }
    session* created = nullptr;
    {
        std::lock_guard<std::mutex> lock(send_lock_);
        created = &sessions_.create(from, now);
        std::copy(rx_key, rx_key + KEY_LEN, created->rx_key);
        std::copy(tx_key, tx_key + KEY_LEN, created->tx_key);
        created->requested_addr = ntohl(request.requested_addr);
        created->client_tx_seq = fresh_client_seq();
        // The S2 reply may carry this same number: the client accepts seq == rx_seq.
        created->tx_seq = fresh_server_seq(request.challenge);
    }
    sodium_memzero(rx_key, KEY_LEN);
    sodium_memzero(tx_key, KEY_LEN);
    session& s = *created;
    const uint8_t status = options_.faults.fail_s1 ? 1 : 0;
    send_signed_reply(s, MSG_AUTH_KX, s.tx_seq, status, server_kx_pk, out);
    if (status != 0) {
        end_session(s.sid, "S1 refused (fault)");
        return;
    }
    log_.info("session {:08x}: keys exchanged with {}", s.sid, peer_text(from));
}

void message_dispatcher::on_rekey(const uint8_t* msg, int len, outbox& out) {
    kx_request request{};
    if (!read_rekey_request(msg, len, &request)) {
        ignore("malformed S4 request");
        return;
    }
    session* s = sessions_.find(get_be32(msg + 1));
    if (s == nullptr || !s->authenticated()) {
        ignore("S4 for no authenticated session");
        return;
    }
    if (options_.faults.drop_s4) {
        ignore("S4 dropped (fault)");
        return;
    }
    uint8_t server_kx_pk[KEY_LEN];
    uint8_t rx_key[KEY_LEN];
    uint8_t tx_key[KEY_LEN];
    if (!derive_keys(request.client_pk, server_kx_pk, rx_key, tx_key)) {
        ignore("unusable client key in S4");
        return;
    }
    s->client_tx_seq = fresh_client_seq();
    const uint64_t seq = fresh_server_seq(request.challenge);
    send_signed_reply(*s, MSG_REKEY, seq, 0, server_kx_pk, out);
    // Switch only after the reply: it announces what the new keys start with.
    std::copy(rx_key, rx_key + KEY_LEN, s->rx_key);
    {
        std::lock_guard<std::mutex> lock(send_lock_);
        std::copy(tx_key, tx_key + KEY_LEN, s->tx_key);
        s->tx_seq = seq;
    }
    sodium_memzero(rx_key, KEY_LEN);
    sodium_memzero(tx_key, KEY_LEN);
    // The client's sequence starts again from the reply's value.
    s->wire = wire_flow{};
    log_.info("session {:08x}: rekeyed", s->sid);
}

void message_dispatcher::on_user_auth(session& s, const uint8_t* plain, int plain_len,
                                      outbox& out) {
    user_auth_request request;
    if (!read_user_auth_plain(plain, plain_len, &request)) {
        ignore("malformed S2 request");
        return;
    }
    if (options_.faults.drop_s2) {
        ignore("S2 dropped (fault)");
        return;
    }
    const char* refusal = nullptr;
    uint32_t address = s.tunnel_addr;
    if (options_.faults.fail_s2) {
        refusal = "S2 refused (fault)";
    } else if (!token_accepted(request.token)) {
        refusal = "token not accepted";
    } else if (address == 0) {
        address = pool_.acquire(s.requested_addr);
        if (address == 0)
            refusal = "address pool exhausted";
    }
    const std::string tun_ip = refusal == nullptr ? address_text(address) : "";
    {
        std::lock_guard<std::mutex> lock(send_lock_);
        if (refusal == nullptr && !s.authenticated())
            sessions_.set_tunnel(s, address);
        const uint64_t seq = options_.faults.stale_s2_seq ? s.tx_seq - 1 : s.tx_seq++;
        const int n = make_user_auth_reply(s.sid, seq, s.tx_key, refusal == nullptr ? 0 : 1, tun_ip,
                                           address_text(pool_.netmask()), out.slot());
        transmit(s.peer, n, out);
    }
    if (refusal != nullptr) {
        end_session(s.sid, refusal);
        return;
    }
    s.token = request.token;
    s.uuid = request.uuid;
    s.upload_limit = request.upload_limit;
    s.download_limit = request.download_limit;
    log_.info("session {:08x}: {} ({} {}) authenticated, tunnel address {}, {} local routes", s.sid,
              request.uuid, request.os_type, request.client_version, tun_ip,
              request.local_routes.size());
}

void message_dispatcher::on_data(session& s, uint64_t seq, const uint8_t* packet, int packet_len,
                                 outbox& out) {
    wire_check_packet(stats_.wire, s.wire, options_.wire_mtu, seq, packet, packet_len);
    if (!s.authenticated()) {
        ignore("S3 before authentication");
        return;
    }
    outbox_sender sender(*this, out);
    data_.from_client(s, packet, packet_len, sender);
}

void message_dispatcher::on_keepalive(session& s, const uint8_t* plain, int plain_len,
                                      outbox& out) {
    keepalive_request request;
    if (!s.authenticated() || !read_keepalive_plain(plain, plain_len, &request)) {
        ignore("malformed S5 request");
        return;
    }
    const uint8_t status = token_accepted(request.token) ? 0 : 1;
    s.token = request.token;
    s.upload_limit = request.upload_limit;
    s.download_limit = request.download_limit;
    std::lock_guard<std::mutex> lock(send_lock_);
    const int n = make_keepalive_reply(s.sid, s.tx_seq++, s.tx_key, status, out.slot());
    transmit(s.peer, n, out);
}

void message_dispatcher::on_disconn(session& s, const uint8_t* plain, int plain_len) {
    std::string uuid;
    if (!read_disconn_plain(plain, plain_len, &uuid)) {
        ignore("malformed S6 request");
        return;
    }
    end_session(s.sid, "disconnected");
}

void message_dispatcher::on_ping(const uint8_t* msg, int len, const peer_address& from,
                                 outbox& out) {
    // The request's time stamp comes back untouched.
    std::copy(msg, msg + len, out.slot());
    transmit(from, len, out);
}

session* message_dispatcher::open_sealed(const uint8_t* msg, int len, uint8_t* plain,
                                         int* plain_len) {
    session* s = sessions_.find(get_be32(msg + 1));
    if (s == nullptr) {
        ignore("unknown session id");
        return nullptr;
    }
    if (open_payload(s->rx_key, msg, len, plain, plain_len) != 0) {
        ignore("payload not authentic");
        return nullptr;
    }
    return s;
}

bool message_dispatcher::derive_keys(const uint8_t* client_pk, uint8_t* server_kx_pk,
                                     uint8_t* rx_key, uint8_t* tx_key) {
    uint8_t server_kx_sk[KEY_LEN];
    crypto_kx_keypair(server_kx_pk, server_kx_sk);
    const bool ok =
        crypto_kx_server_session_keys(rx_key, tx_key, server_kx_pk, server_kx_sk, client_pk) == 0;
    sodium_memzero(server_kx_sk, KEY_LEN);
    return ok;
}

void message_dispatcher::send_signed_reply(const session& s, uint8_t type, uint64_t seq,
                                           uint8_t status, const uint8_t* server_kx_pk,
                                           outbox& out) {
    const signed_reply reply{
        type, s.sid, seq, status, s.client_tx_seq, server_kx_pk, options_.faults.signed_reply_len};
    const signing_key& signer = options_.faults.foreign_key ? foreign_key_ : key_;
    const int n = make_signed_reply(reply, signer.secret_key, out.slot());
    transmit(s.peer, n, out);
}

bool message_dispatcher::token_accepted(const std::string& token) const {
    const auto& tokens = options_.tokens;
    return tokens.empty() || std::find(tokens.begin(), tokens.end(), token) != tokens.end();
}

void message_dispatcher::end_session(uint32_t sid, const char* why) {
    const session* s = sessions_.find(sid);
    if (s == nullptr)
        return;
    if (s->authenticated())
        pool_.release(s->tunnel_addr);
    log_.info("session {:08x}: ended ({})", sid, why);
    std::lock_guard<std::mutex> lock(send_lock_);
    sessions_.erase(sid);
}

void message_dispatcher::transmit(const peer_address& to, int len, outbox& out) {
    out.commit(to, len);
    stats_.replies.fetch_add(1);
}

void message_dispatcher::ignore(const char* why) {
    stats_.ignored.fetch_add(1);
    log_.debug("datagram ignored: {}", why);
}
