#include "protocol.h"

#include <sodium.h>

#include <chrono>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <thread>

#include "engine_log.h"
#include "ipv4_text.h"
#include "log_limit.h"

namespace {

// The header check admits this type although no exchange uses it.
constexpr uint8_t HEADER_TYPE_LIMIT = 8;
constexpr int KX_REQ_PAYLOAD_LEN = KX_REQ_LEN - VPN_HEADER_LEN;
constexpr int REKEY_REQ_PAYLOAD_LEN = REKEY_REQ_LEN - VPN_HEADER_LEN;
constexpr int PING_PAYLOAD_LEN = PING_REQ_LEN - VPN_HEADER_LEN;
constexpr int MAX_SEALED_PLAIN_LEN = 0xFFFF - AEAD_TAG_LEN;

void put_le64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint64_t get_le64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

struct text_field {
    const char* name;
    const char* text;
    int offset;
    int size;
};

// Writes the texts into a zeroed plaintext; returns the name of the first that does not fit.
const char* put_text_fields(uint8_t* plain, std::initializer_list<text_field> fields) {
    for (const text_field& field : fields) {
        if (!put_text_field(plain + field.offset, static_cast<size_t>(field.size), field.text))
            return field.name;
    }
    return nullptr;
}

// Header and seal of a client request; the plaintext may already lie at buf + 15.
int seal_request(proto_ctx* proto, uint8_t type, const uint8_t* plain, int plain_len,
                 uint8_t* buf) {
    uint64_t seq = 0;
    const session_keys* keys = proto->begin_seal(&seq);
    create_vpn_header(buf, type, proto->sid, seq, static_cast<uint16_t>(plain_len + AEAD_TAG_LEN));
    return seal_payload(keys->tx_key, buf, plain, plain_len);
}

// New challenge and ephemeral pair for an exchange of this type, written as challenge then
// public key. Caller holds kx_lock.
int start_key_exchange(proto_ctx* proto, uint8_t type, uint8_t* out) {
    uint32_t challenge = 0;
    randombytes_buf(&challenge, sizeof challenge);
    proto->challenge.store(challenge);
    proto->kx_pending = 0;
    if (crypto_kx_keypair(proto->kx_pk, proto->kx_sk) != 0)
        return -1;
    proto->kx_pending = type;
    put_be32(out, challenge);
    std::memcpy(out + 4, proto->kx_pk, KEY_LEN);
    return 0;
}

struct check_failure {
    int result;  // -1 or REPLY_IGNORED
    const char* text;
};

// A reply of another type cannot be this exchange's answer, whatever its header says.
bool has_type(const uint8_t* msg, int len, uint8_t type) {
    return len > 0 && msg[0] == type;
}

// Verifies a signed reply to the pending S1 or S4 exchange of this type and installs the keys
// and sequences it yields. Whatever the server has not signed is ignored: only its own refusal
// fails the exchange. Returns nullopt on success. Caller holds kx_lock.
std::optional<check_failure> accept_signed_reply(proto_ctx* proto, const uint8_t* msg, int len,
                                                 const uint8_t* server_pk, uint8_t type) {
    if (check_vpn_header(proto, msg, len) != 0)
        return check_failure{REPLY_IGNORED, "check_vpn_header failed."};
    if (!has_type(msg, len, type))
        return check_failure{REPLY_IGNORED, "Unexpected message type."};
    if (proto->kx_pending != type)
        return check_failure{REPLY_IGNORED, "No key exchange pending."};
    if (len != KX_REPLY_LEN)
        return check_failure{REPLY_IGNORED, "Invalid payload len."};
    uint8_t signed_msg[KX_SIGNED_MSG_LEN];
    unsigned long long signed_len = 0;
    if (crypto_sign_open(signed_msg, &signed_len, msg + VPN_HEADER_LEN,
                         KX_REPLY_LEN - VPN_HEADER_LEN, server_pk) != 0)
        return check_failure{REPLY_IGNORED, "crypto_sign_open failed."};
    if (signed_msg[SIGNED_STATUS] != 0)
        return check_failure{-1, "Server return fail."};
    session_keys fresh;
    if (crypto_kx_client_session_keys(fresh.rx_key, fresh.tx_key, proto->kx_pk, proto->kx_sk,
                                      signed_msg + SIGNED_SERVER_PK) != 0)
        return check_failure{-1, "crypto_kx_client_session_keys failed."};
    sodium_memzero(proto->kx_sk, KEY_LEN);
    sodium_memzero(proto->kx_pk, KEY_LEN);
    proto->kx_pending = 0;
    const vpn_header header = parse_vpn_header(msg);
    if (type == MSG_AUTH_KX)
        proto->sid = header.sid;
    // Only bytes 1-4 form the initial send sequence; bytes 5-8 are ignored.
    proto->install_keys(fresh, get_be32(signed_msg + SIGNED_TX_SEQ), header.seq);
    sodium_memzero(&fresh, sizeof fresh);
    return std::nullopt;
}

}  // namespace

proto_ctx::proto_ctx() {
    keys.store(&key_store_.emplace_back());
}

proto_ctx::~proto_ctx() {
    for (session_keys& record : key_store_)
        sodium_memzero(&record, sizeof record);
    sodium_memzero(kx_sk, KEY_LEN);
}

void proto_ctx::install_keys(const session_keys& fresh, uint64_t next_tx_seq,
                             uint64_t next_rx_seq) {
    std::lock_guard<std::mutex> lock(key_store_lock_);
    key_store_.push_back(fresh);
    key_epoch.fetch_add(1);
    keys.store(&key_store_.back());
    tx_seq.store(next_tx_seq);
    rx_seq.store(next_rx_seq);
    key_epoch.fetch_add(1);
}

const session_keys* proto_ctx::begin_seal(uint64_t* seq) {
    for (;;) {
        const uint32_t epoch = key_epoch.load();
        if ((epoch & 1) == 0) {
            const session_keys* record = keys.load();
            const uint64_t taken = tx_seq.fetch_add(1);
            // An unchanged even epoch means no install overlapped: record and number match.
            if (key_epoch.load() == epoch) {
                *seq = taken;
                return record;
            }
        }
        std::this_thread::yield();
    }
}

void put_vpn_header(uint8_t* buf, uint8_t type, uint32_t sid, uint64_t seq, uint16_t payload_len) {
    buf[0] = type;
    put_be32(buf + 1, sid);
    put_be64(buf + 5, seq);
    put_be16(buf + 13, payload_len);
}

vpn_header parse_vpn_header(const uint8_t* buf) {
    return vpn_header{buf[0], get_be32(buf + 1), get_be64(buf + 5), get_be16(buf + 13)};
}

void create_vpn_header(uint8_t* buf, uint8_t type, uint32_t sid, uint64_t seq,
                       uint16_t payload_len) {
    if (type != MSG_AUTH_KX) {
        put_vpn_header(buf, type, sid, seq, payload_len);
        return;
    }
    // The S1 sid field is an address already in network order.
    buf[0] = type;
    std::memcpy(buf + 1, &sid, sizeof sid);
    put_be16(buf + 13, payload_len);
}

// Any host can send the client datagrams that fail here, as often as it likes: the lines of
// this check and of the checks of what comes during a session are limited.
int check_vpn_header(const proto_ctx* proto, const uint8_t* msg, int len) {
    if (len <= VPN_HEADER_LEN) {
        QN_ERROR_LIMITED("Invalid header len.");
        return -1;
    }
    const vpn_header header = parse_vpn_header(msg);
    if (header.payload_len != len - VPN_HEADER_LEN) {
        QN_ERROR_LIMITED("Invalid payload len.");
        return -1;
    }
    if (header.msg_type == 0 || header.msg_type > HEADER_TYPE_LIMIT) {
        QN_ERROR_LIMITED("Invalid header type");
        return -1;
    }
    if (header.msg_type == MSG_AUTH_KX || header.msg_type == MSG_REKEY) {
        if (proto == nullptr || static_cast<uint32_t>(header.seq) != proto->challenge.load()) {
            QN_ERROR_LIMITED("Invalid vpn header");
            return -1;
        }
        return 0;
    }
    if (header.msg_type == MSG_PING)
        return 0;
    if (proto == nullptr || header.sid != proto->sid) {
        QN_ERROR_LIMITED("Invalid sid.");
        return -1;
    }
    return 0;
}

bool put_text_field(uint8_t* field, size_t field_size, const char* text) {
    std::memset(field, 0, field_size);
    if (text == nullptr)
        return true;
    const size_t length = std::strlen(text);
    if (length >= field_size)
        return false;
    std::memcpy(field, text, length);
    return true;
}

int create_kx_req(proto_ctx* proto, const char* static_ip, uint8_t* buf, int* len) {
    QN_DEBUG("===>S1 AUTH_KX REQUEST");
    const uint32_t address = static_ip != nullptr ? ipv4_from_text(static_ip) : 0;
    std::memset(buf, 0, KX_REQ_LEN);
    create_vpn_header(buf, MSG_AUTH_KX, address, 0, KX_REQ_PAYLOAD_LEN);
    std::lock_guard<std::mutex> lock(proto->kx_lock);
    uint8_t* payload = buf + VPN_HEADER_LEN;
    if (start_key_exchange(proto, MSG_AUTH_KX, payload + 4) != 0) {
        QN_ERROR("crypto_kx_keypair failed.");
        return -1;
    }
    put_be32(payload, KX_MAGIC);
    *len = KX_REQ_LEN;
    return 0;
}

int check_kx_reply(proto_ctx* proto, const uint8_t* msg, int len, const uint8_t* server_pk) {
    QN_DEBUG("<===S1 AUTH_KX REPLY");
    std::lock_guard<std::mutex> lock(proto->kx_lock);
    if (const auto failure = accept_signed_reply(proto, msg, len, server_pk, MSG_AUTH_KX)) {
        QN_ERROR("{}", failure->text);
        return -1;
    }
    return 0;
}

int create_user_auth_req(proto_ctx* proto, const char* token, const char* uuid, const char* os_type,
                         const char* client_version, const route_prefix* local_routes,
                         int local_route_count, int32_t upload_limit, int32_t download_limit,
                         uint8_t* buf, int* len) {
    QN_DEBUG("===>S2 USER_AUTH REQUEST");
    const int route_count = local_route_count > 0 ? local_route_count : 0;
    if (route_count > MAX_LOCAL_ROUTES) {
        QN_ERROR("Too many local routes: {}.", route_count);
        return -1;
    }
    uint8_t* plain = buf + VPN_HEADER_LEN;
    std::memset(plain, 0, USER_AUTH_PLAIN_LEN);
    if (const char* field = put_text_fields(
            plain, {{"token", token, UA_TOKEN, TOKEN_FIELD},
                    {"uuid", uuid, UA_UUID, UUID_FIELD},
                    {"os_type", os_type, UA_OS_TYPE, OS_TYPE_FIELD},
                    {"client_version", client_version, UA_CLIENT_VERSION, CLIENT_VERSION_FIELD}})) {
        QN_ERROR("{} too long for its field.", field);
        return -1;
    }
    if (route_count > 0)
        std::memcpy(plain + UA_ROUTES, local_routes, route_count * sizeof(route_prefix));
    plain[UA_ROUTE_COUNT] = static_cast<uint8_t>(route_count);
    put_be32(plain + UA_UPLOAD, static_cast<uint32_t>(upload_limit));
    put_be32(plain + UA_DOWNLOAD, static_cast<uint32_t>(download_limit));
    *len = seal_request(proto, MSG_USER_AUTH, plain, USER_AUTH_PLAIN_LEN, buf);
    return 0;
}

int check_user_auth_reply(proto_ctx* proto, const uint8_t* msg, int len, char* tun_ip,
                          char* tun_netmask) {
    QN_DEBUG("<===S2 USER_AUTH REPLY");
    if (check_vpn_header(proto, msg, len) != 0) {
        QN_ERROR("check_vpn_header failed.");
        return -1;
    }
    if (!has_type(msg, len, MSG_USER_AUTH)) {
        QN_ERROR("Unexpected message type.");
        return -1;
    }
    const uint64_t seq = parse_vpn_header(msg).seq;
    if (seq < proto->rx_seq.load()) {
        QN_ERROR("Invalid seq num.");
        return -1;
    }
    if (len != USER_AUTH_REPLY_LEN) {
        QN_ERROR("Invalid payload len.");
        return -1;
    }
    uint8_t plain[USER_AUTH_REPLY_PLAIN_LEN];
    int plain_len = 0;
    if (open_payload(proto->keys.load()->rx_key, msg, len, plain, &plain_len) != 0) {
        QN_ERROR("crypto_aead_chacha20poly1305_decrypt failed.");
        return -1;
    }
    proto->rx_seq.store(seq + 1);
    if (plain[0] != 0) {
        QN_ERROR("Server return fail.");
        return -1;
    }
    const uint8_t* ip_field = plain + 1;
    const uint8_t* mask_field = ip_field + ADDR_TEXT_FIELD;
    if (std::memchr(ip_field, 0, ADDR_TEXT_FIELD) == nullptr ||
        std::memchr(mask_field, 0, ADDR_TEXT_FIELD) == nullptr) {
        QN_ERROR("Tunnel address text not terminated.");
        return -1;
    }
    std::memcpy(tun_ip, ip_field, ADDR_TEXT_FIELD);
    std::memcpy(tun_netmask, mask_field, ADDR_TEXT_FIELD);
    return 0;
}

int create_rekey_req(proto_ctx* proto, uint8_t* buf, int* len) {
    QN_DEBUG("===>S4 REKEY REQUEST");
    std::memset(buf, 0, REKEY_REQ_LEN);
    create_vpn_header(buf, MSG_REKEY, proto->sid, 0, REKEY_REQ_PAYLOAD_LEN);
    std::lock_guard<std::mutex> lock(proto->kx_lock);
    if (start_key_exchange(proto, MSG_REKEY, buf + VPN_HEADER_LEN) != 0) {
        QN_ERROR("crypto_kx_keypair failed.");
        return -1;
    }
    *len = REKEY_REQ_LEN;
    return 0;
}

int check_rekey_reply(proto_ctx* proto, const uint8_t* msg, int len, const uint8_t* server_pk) {
    QN_DEBUG("<===S4 REKEY REPLY");
    std::lock_guard<std::mutex> lock(proto->kx_lock);
    if (const auto failure = accept_signed_reply(proto, msg, len, server_pk, MSG_REKEY)) {
        QN_ERROR_LIMITED("{}", failure->text);
        return failure->result;
    }
    return 0;
}

int data_trans_encrypt(proto_ctx* proto, const uint8_t* packet, int packet_len, uint8_t* buf,
                       int* len) {
    QN_DEBUG("===>S3 DATA_TRANS REQUEST");
    if (packet_len < 0 || packet_len > MAX_SEALED_PLAIN_LEN) {
        QN_ERROR("Invalid packet len: {}.", packet_len);
        return -1;
    }
    *len = seal_request(proto, MSG_DATA_TRANS, packet, packet_len, buf);
    return 0;
}

int data_trans_decrypt(proto_ctx* proto, const uint8_t* msg, int len, uint8_t* packet,
                       int* packet_len) {
    QN_DEBUG("<===S3 DATA_TRANS REPLY");
    if (check_vpn_header(proto, msg, len) != 0) {
        QN_ERROR_LIMITED("check_vpn_header failed.");
        return -1;
    }
    // S2 and S5 replies are sealed with the same key: their header tells them apart.
    if (!has_type(msg, len, MSG_DATA_TRANS)) {
        QN_ERROR_LIMITED("Unexpected message type.");
        return -1;
    }
    if (open_payload(proto->keys.load()->rx_key, msg, len, packet, packet_len) != 0) {
        QN_ERROR_LIMITED("crypto_aead_chacha20poly1305_decrypt failed.");
        return -1;
    }
    // Only now: the header is plaintext, anyone who has seen the session id can write one.
    proto->rx_seq.store(parse_vpn_header(msg).seq + 1);
    return 0;
}

int create_keepalive_req(proto_ctx* proto, const char* token, const char* uuid,
                         int32_t upload_limit, int32_t download_limit, uint8_t* buf, int* len) {
    QN_DEBUG("===>S5 KEEPALIVE REQUEST");
    uint8_t* plain = buf + VPN_HEADER_LEN;
    std::memset(plain, 0, KEEPALIVE_PLAIN_LEN);
    if (const char* field = put_text_fields(plain, {{"token", token, KA_TOKEN, TOKEN_FIELD},
                                                    {"uuid", uuid, KA_UUID, UUID_FIELD}})) {
        QN_ERROR("{} too long for its field.", field);
        return -1;
    }
    put_be32(plain + KA_DOWNLOAD, static_cast<uint32_t>(download_limit));
    put_be32(plain + KA_UPLOAD, static_cast<uint32_t>(upload_limit));
    *len = seal_request(proto, MSG_KEEPALIVE, plain, KEEPALIVE_PLAIN_LEN, buf);
    return 0;
}

int check_keepalive_reply(proto_ctx* proto, const uint8_t* msg, int len) {
    QN_DEBUG("<===S5 KEEPALIVE REPLY");
    if (check_vpn_header(proto, msg, len) != 0) {
        QN_ERROR_LIMITED("check_vpn_header failed.");
        return REPLY_IGNORED;
    }
    if (len != KEEPALIVE_REPLY_LEN) {
        QN_ERROR_LIMITED("Invalid vpn data len.");
        return REPLY_IGNORED;
    }
    uint8_t status = 0;
    int status_len = 0;
    if (open_payload(proto->keys.load()->rx_key, msg, len, &status, &status_len) != 0) {
        QN_ERROR_LIMITED("crypto_aead_chacha20poly1305_decrypt failed.");
        return REPLY_IGNORED;
    }
    proto->rx_seq.store(parse_vpn_header(msg).seq + 1);
    if (status != 0) {
        QN_ERROR_LIMITED("Server return fail.");
        return -1;
    }
    return 0;
}

int create_disconn_req(proto_ctx* proto, const char* uuid, uint8_t* buf, int* len) {
    QN_DEBUG("===>S6 DISCONN REQUEST");
    uint8_t* plain = buf + VPN_HEADER_LEN;
    if (!put_text_field(plain, UUID_FIELD, uuid)) {
        QN_ERROR("uuid too long for its field.");
        return -1;
    }
    *len = seal_request(proto, MSG_DISCONN, plain, DISCONN_PLAIN_LEN, buf);
    return 0;
}

uint64_t steady_micros() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

void create_ping_req(uint64_t now_us, uint8_t* buf, int* len) {
    buf[0] = MSG_PING;
    put_be32(buf + 1, 0);
    put_le64(buf + 5, now_us);
    put_be16(buf + 13, PING_PAYLOAD_LEN);
    std::memset(buf + VPN_HEADER_LEN, 0xFF, PING_PAYLOAD_LEN);
    *len = PING_REQ_LEN;
}

int check_ping_reply(const uint8_t* msg, int len) {
    if (check_vpn_header(nullptr, msg, len) != 0) {
        QN_ERROR("check_vpn_header failed.");
        return -1;
    }
    return 0;
}

uint64_t ping_rtt_ms(const uint8_t* reply, uint64_t now_us) {
    return (now_us - get_le64(reply + 5)) / 1000;
}

int seal_payload(const uint8_t* key, uint8_t* msg, const uint8_t* plain, int plain_len) {
    active_aead().impl->seal(key, msg + 5, msg, VPN_HEADER_LEN, plain,
                             static_cast<size_t>(plain_len), msg + VPN_HEADER_LEN);
    return VPN_HEADER_LEN + plain_len + AEAD_TAG_LEN;
}

int open_payload(const uint8_t* key, const uint8_t* msg, int len, uint8_t* plain, int* plain_len) {
    const int sealed_len = len - VPN_HEADER_LEN;
    if (sealed_len < AEAD_TAG_LEN ||
        !active_aead().impl->open(key, msg + 5, msg, VPN_HEADER_LEN, msg + VPN_HEADER_LEN,
                                  static_cast<size_t>(sealed_len), plain))
        return -1;
    *plain_len = sealed_len - AEAD_TAG_LEN;
    return 0;
}
