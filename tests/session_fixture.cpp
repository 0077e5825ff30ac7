#include "session_fixture.h"

#include <sodium.h>

#include "server_messages.h"

keyed_session::keyed_session() {
    if (sodium_init() < 0)
        return;
    uint8_t request[CONTROL_BUF_LEN] = {};
    int request_len = 0;
    kx_request parsed{};
    if (create_kx_req(&proto, nullptr, request, &request_len) != 0 ||
        !read_kx_request(request, request_len, &parsed))
        return;
    uint8_t server_kx_pk[KEY_LEN];
    uint8_t server_kx_sk[KEY_LEN];
    crypto_kx_keypair(server_kx_pk, server_kx_sk);
    if (crypto_kx_server_session_keys(server_rx, server_tx, server_kx_pk, server_kx_sk,
                                      parsed.client_pk) != 0)
        return;
    server_seq = SERVER_SEQ_HIGH | parsed.challenge;
    const signed_reply reply{MSG_AUTH_KX, SID, server_seq, 0, CLIENT_SEQ, server_kx_pk};
    uint8_t out[CONTROL_BUF_LEN];
    const int n = make_signed_reply(reply, server.secret_key, out);
    ok = check_kx_reply(&proto, out, n, server.public_key) == 0;
}

int keyed_session::seal_reply(uint8_t type, uint64_t seq, const uint8_t* plain, int plain_len,
                              uint8_t* out) const {
    put_vpn_header(out, type, SID, seq, static_cast<uint16_t>(plain_len + AEAD_TAG_LEN));
    return seal_payload(server_tx, out, plain, plain_len);
}

int keyed_session::open_request(const uint8_t* msg, int len, uint8_t* plain) const {
    int plain_len = 0;
    return open_payload(server_rx, msg, len, plain, &plain_len) == 0 ? plain_len : -1;
}
