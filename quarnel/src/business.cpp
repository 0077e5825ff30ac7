#include "business.h"

#include <chrono>
#include <cstring>

#include "engine_log.h"
#include "protocol.h"
#include "result_codes.h"
#include "session.h"
#include "session_config.h"
#include "socket_util.h"

namespace {

constexpr int HANDSHAKE_ATTEMPTS = 3;

enum class attempt { replied, build_failed, no_reply };

// Builds a fresh request and waits for its reply; retries are the caller's business. A
// datagram of another type (a late duplicate of the S1 reply while S2 waits) cannot be the
// answer: it is passed over and the wait goes on while the attempt's time lasts. The socket
// only receives after a send, so the same request goes out again; the server answers a
// repeated request as the first.
template <typename Build>
attempt request_once(udp_socket* sock, uint8_t type, Build build, uint8_t* reply, int* reply_len) {
    uint8_t request[CONTROL_BUF_LEN] = {};
    int request_len = 0;
    if (build(request, &request_len) != 0)
        return attempt::build_failed;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(IO_WAIT_MS);
    for (;;) {
        std::memset(reply, 0, CONTROL_BUF_LEN);
        *reply_len = CONTROL_BUF_LEN;
        if (udp_send_and_recv(sock, request, request_len, reply, reply_len) != 0)
            return attempt::no_reply;
        if (*reply_len > 0 && reply[0] == type)
            return attempt::replied;
        QN_WARN("Reply of type {} passed over.", reply[0]);
        if (std::chrono::steady_clock::now() >= deadline)
            return attempt::no_reply;
    }
}

// Up to three attempts, each with a fresh request and waiting for a reply of `type`, logging
// as the handshake step `step`.
// Returns replied, build_failed (after logging build_fail_text) or no_reply (after
// "Server no response.").
template <typename Build>
attempt request_with_retries(udp_socket* sock, uint8_t type, const char* step,
                             const char* build_fail_text, Build build, uint8_t* reply,
                             int* reply_len) {
    for (int i = 0; i < HANDSHAKE_ATTEMPTS; ++i) {
        const attempt result = request_once(sock, type, build, reply, reply_len);
        if (result == attempt::build_failed) {
            QN_ERROR_IN(step, "{}", build_fail_text);
            return result;
        }
        if (result == attempt::replied)
            return result;
        QN_ERROR_IN(step, "udp_send_and_recv fail.");
    }
    QN_ERROR_IN(step, "Server no response.");
    return attempt::no_reply;
}

class token_guard {
  public:
    explicit token_guard(qn_ctx_t* ctx) : ctx_(ctx) { token_lock_acquire(ctx_); }
    ~token_guard() { token_lock_release(ctx_); }
    token_guard(const token_guard&) = delete;
    token_guard& operator=(const token_guard&) = delete;

  private:
    qn_ctx_t* ctx_;
};

}  // namespace

int key_exchange(qn_ctx_t* ctx, const char* static_ip, const uint8_t* server_pk) {
    uint8_t reply[CONTROL_BUF_LEN];
    int reply_len = 0;
    auto build = [&](uint8_t* buf, int* len) {
        return create_kx_req(ctx->proto, static_ip, buf, len);
    };
    switch (request_with_retries(ctx->sock, MSG_AUTH_KX, __func__, "create_kx_req fail.", build,
                                 reply, &reply_len)) {
        case attempt::build_failed:
            return QN_KX_FAILED;
        case attempt::no_reply:
            return QN_KX_NO_REPLY;
        case attempt::replied:
            break;
    }
    if (check_kx_reply(ctx->proto, reply, reply_len, server_pk) != 0) {
        QN_ERROR("check_kx_reply fail.");
        return QN_KX_FAILED;
    }
    std::memcpy(ctx->server_pk, server_pk, sizeof ctx->server_pk);
    return 0;
}

int user_auth(qn_ctx_t* ctx, const session_config& config) {
    uint8_t reply[CONTROL_BUF_LEN];
    int reply_len = 0;
    auto build = [&](uint8_t* buf, int* len) {
        return create_user_auth_req(
            ctx->proto, config.given.token.c_str(), config.given.uuid.c_str(),
            config.given.os_type.c_str(), config.given.client_version.c_str(),
            config.local_routes.data(), static_cast<int>(config.local_routes.size()),
            config.given.upload_limit, config.given.download_limit, buf, len);
    };
    switch (request_with_retries(ctx->sock, MSG_USER_AUTH, __func__, "create_user_auth_req fail.",
                                 build, reply, &reply_len)) {
        case attempt::build_failed:
            return QN_AUTH_FAILED;
        case attempt::no_reply:
            return QN_AUTH_NO_REPLY;
        case attempt::replied:
            break;
    }
    char tun_ip[ADDR_TEXT_FIELD] = {};
    char tun_netmask[ADDR_TEXT_FIELD] = {};
    if (check_user_auth_reply(ctx->proto, reply, reply_len, tun_ip, tun_netmask) != 0) {
        QN_ERROR("check_user_auth_reply fail.");
        return QN_AUTH_FAILED;
    }
    {
        token_guard lock(ctx);
        ctx->token = config.given.token;
    }
    ctx->uuid = config.given.uuid;
    ctx->upload_limit.store(config.given.upload_limit);
    ctx->download_limit.store(config.given.download_limit);
    ctx->tun_ip = tun_ip;
    ctx->tun_netmask = tun_netmask;
    return 0;
}

int send_rekey_req(qn_ctx_t* ctx) {
    uint8_t request[CONTROL_BUF_LEN] = {};
    int len = 0;
    if (create_rekey_req(ctx->proto, request, &len) != 0) {
        QN_ERROR("create_rekey_req failed.");
        return -1;
    }
    if (udp_send_and_recv(ctx->sock, request, len, nullptr, nullptr) != 0) {
        QN_ERROR("qn_send_and_recv failed.");
        return -1;
    }
    return 0;
}

int send_heartbeat_req(qn_ctx_t* ctx) {
    uint8_t request[CONTROL_BUF_LEN] = {};
    int len = 0;
    int built = 0;
    {
        token_guard lock(ctx);
        built = create_keepalive_req(ctx->proto, ctx->token.c_str(), ctx->uuid.c_str(),
                                     ctx->upload_limit.load(), ctx->download_limit.load(), request,
                                     &len);
    }
    if (built != 0) {
        QN_ERROR("create_keepalive_req fail.");
        return -1;
    }
    if (udp_send_and_recv(ctx->sock, request, len, nullptr, nullptr) != 0) {
        QN_ERROR("qn_send_and_recv failed.");
        return -1;
    }
    return 0;
}

int send_disconn_req(qn_ctx_t* ctx) {
    uint8_t request[CONTROL_BUF_LEN] = {};
    int len = 0;
    if (create_disconn_req(ctx->proto, ctx->uuid.c_str(), request, &len) != 0) {
        QN_ERROR("create_disconn_req fail.");
        return -1;
    }
    if (udp_send_and_recv(ctx->sock, request, len, nullptr, nullptr) != 0) {
        QN_ERROR("qn_send_and_recv failed.");
        return -1;
    }
    return 0;
}

int udp_ping_impl(const char* ip, unsigned short port, uint16_t* rtt_ms) {
    uint8_t request[CONTROL_BUF_LEN] = {};
    int len = 0;
    create_ping_req(steady_micros(), request, &len);
    udp_socket* sock = nullptr;
    if (socket_open(ip, port, &sock) != 0) {
        QN_ERROR("socket_open fail.");
        return QN_SOCKET_FAILED;
    }
    uint8_t reply[CONTROL_BUF_LEN] = {};
    int reply_len = CONTROL_BUF_LEN;
    if (udp_send_and_recv(sock, request, len, reply, &reply_len) != 0) {
        socket_close(sock);
        QN_DEBUG("udp_send_and_recv fail.");
        return QN_PING_NO_REPLY;
    }
    if (check_ping_reply(reply, reply_len) != 0) {
        socket_close(sock);
        QN_ERROR("check_ping_reply fail.");
        return QN_PING_BAD_REPLY;
    }
    *rtt_ms = static_cast<uint16_t>(ping_rtt_ms(reply, steady_micros()));
    socket_close(sock);
    return 0;
}
