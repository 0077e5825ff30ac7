#include "server_messages.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr int LARGEST_SIGNED_MSG = CONTROL_BUF_LEN;

// A fixed text field read up to its first NUL or its end.
std::string read_text(const uint8_t* field, size_t size) {
    const void* nul = std::memchr(field, 0, size);
    const size_t len =
        nul != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - field) : size;
    return std::string(reinterpret_cast<const char*>(field), len);
}

bool plain_header_ok(const uint8_t* msg, int len, uint8_t type, int expected_len) {
    return len == expected_len && msg[0] == type &&
           get_be16(msg + 13) == expected_len - VPN_HEADER_LEN;
}

}  // namespace

bool read_kx_request(const uint8_t* msg, int len, kx_request* out) {
    if (!plain_header_ok(msg, len, MSG_AUTH_KX, KX_REQ_LEN))
        return false;
    const uint8_t* payload = msg + VPN_HEADER_LEN;
    if (get_be32(payload) != KX_MAGIC)
        return false;
    std::memcpy(&out->requested_addr, msg + 1, sizeof out->requested_addr);
    out->challenge = get_be32(payload + 4);
    std::memcpy(out->client_pk, payload + 8, KEY_LEN);
    return true;
}

bool read_rekey_request(const uint8_t* msg, int len, kx_request* out) {
    if (!plain_header_ok(msg, len, MSG_REKEY, REKEY_REQ_LEN))
        return false;
    const uint8_t* payload = msg + VPN_HEADER_LEN;
    out->requested_addr = 0;
    out->challenge = get_be32(payload);
    std::memcpy(out->client_pk, payload + 4, KEY_LEN);
    return true;
}

bool read_user_auth_plain(const uint8_t* plain, int len, user_auth_request* out) {
    if (len != USER_AUTH_PLAIN_LEN)
        return false;
    out->token = read_text(plain + UA_TOKEN, TOKEN_FIELD);
    out->uuid = read_text(plain + UA_UUID, UUID_FIELD);
    out->os_type = read_text(plain + UA_OS_TYPE, OS_TYPE_FIELD);
    out->client_version = read_text(plain + UA_CLIENT_VERSION, CLIENT_VERSION_FIELD);
    const int count = std::min<int>(plain[UA_ROUTE_COUNT], MAX_LOCAL_ROUTES);
    out->local_routes.resize(static_cast<size_t>(count));
    if (count > 0)
        std::memcpy(out->local_routes.data(), plain + UA_ROUTES, count * sizeof(route_prefix));
    out->upload_limit = get_be32(plain + UA_UPLOAD);
    out->download_limit = get_be32(plain + UA_DOWNLOAD);
    return true;
}

bool read_keepalive_plain(const uint8_t* plain, int len, keepalive_request* out) {
    if (len != KEEPALIVE_PLAIN_LEN)
        return false;
    out->token = read_text(plain + KA_TOKEN, TOKEN_FIELD);
    out->uuid = read_text(plain + KA_UUID, UUID_FIELD);
    out->download_limit = get_be32(plain + KA_DOWNLOAD);
    out->upload_limit = get_be32(plain + KA_UPLOAD);
    return true;
}

bool read_disconn_plain(const uint8_t* plain, int len, std::string* uuid) {
    if (len != DISCONN_PLAIN_LEN)
        return false;
    *uuid = read_text(plain, UUID_FIELD);
    return true;
}

int make_signed_reply(const signed_reply& reply, const uint8_t* sign_sk, uint8_t* out) {
    const int signed_len = reply.total_len - VPN_HEADER_LEN;
    const int message_len = signed_len - SIGNATURE_LEN;
    uint8_t message[LARGEST_SIGNED_MSG] = {};
    message[SIGNED_STATUS] = reply.status;
    put_be32(message + SIGNED_TX_SEQ, reply.client_tx_seq);
    std::memcpy(message + SIGNED_SERVER_PK, reply.server_kx_pk, KEY_LEN);
    put_vpn_header(out, reply.type, reply.sid, reply.seq, static_cast<uint16_t>(signed_len));
    crypto_sign(out + VPN_HEADER_LEN, nullptr, message,
                static_cast<unsigned long long>(message_len), sign_sk);
    return reply.total_len;
}

int make_user_auth_reply(uint32_t sid, uint64_t seq, const uint8_t* key, uint8_t status,
                         const std::string& tun_ip, const std::string& tun_netmask, uint8_t* out) {
    uint8_t plain[USER_AUTH_REPLY_PLAIN_LEN] = {};
    plain[0] = status;
    put_text_field(plain + 1, ADDR_TEXT_FIELD, tun_ip.c_str());
    put_text_field(plain + 1 + ADDR_TEXT_FIELD, ADDR_TEXT_FIELD, tun_netmask.c_str());
    put_vpn_header(out, MSG_USER_AUTH, sid, seq, USER_AUTH_REPLY_LEN - VPN_HEADER_LEN);
    return seal_payload(key, out, plain, sizeof plain);
}

int make_keepalive_reply(uint32_t sid, uint64_t seq, const uint8_t* key, uint8_t status,
                         uint8_t* out) {
    put_vpn_header(out, MSG_KEEPALIVE, sid, seq, KEEPALIVE_REPLY_LEN - VPN_HEADER_LEN);
    return seal_payload(key, out, &status, 1);
}

int make_data_message(uint32_t sid, uint64_t seq, const uint8_t* key, const uint8_t* packet,
                      int packet_len, uint8_t* out) {
    put_vpn_header(out, MSG_DATA_TRANS, sid, seq, static_cast<uint16_t>(packet_len + AEAD_TAG_LEN));
    return seal_payload(key, out, packet, packet_len);
}
