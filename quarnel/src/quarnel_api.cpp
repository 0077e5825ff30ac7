#include "quarnel_api.h"

#include <sodium.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>

#include "aead.h"
#include "business.h"
#include "engine_log.h"
#include "platform.h"
#include "protocol.h"
#include "quarnel.h"
#include "quarnel_defaults.h"
#include "result_codes.h"
#include "session.h"
#include "session_config.h"
#include "session_registry.h"

namespace {

const char* text_or_empty(const char* text) {
    return text != nullptr ? text : "";
}

// The choice is the process's: said once, in the first session's log.
void log_aead_choice() {
    static std::atomic<bool> logged{false};
    if (!logged.exchange(true))
        QN_INFO("ChaCha20-Poly1305: {}.", active_aead().reason);
}

void release_process_setup() {
    platform::com_cleanup();
    platform::net_cleanup();
    engine_log::release_worker();
}

// A started session's end by either path: the teardown, then out of the registry, then the
// process set-up given back. The caller holds session_lock().
void end_session(qn_ctx_t* ctx, bool send_disconn) {
    qn_stop(ctx, send_disconn);
    session_map().erase(QUARNEL_DEVICE_NAME);
    release_process_setup();
}

}  // namespace

extern "C" {

QUARNEL_EXPORT int QUARNEL_CALL
start_vpn(const char* os_type, const char* client_version, const char* token, const char* uuid,
          const char* server_pk, const char* static_ip, const char* server_ip, int server_port,
          const route_entry_str_t* local_routes, int local_route_count,
          const route_entry_str_t* remote_routes, int remote_route_count,
          const route_entry_str_t* proxy_routes, int proxy_route_count, int mtu, int upload_limit,
          int download_limit, int proxy_mode, const char* dns, const char* backup_dns) {
    try {
        std::lock_guard<std::mutex> lock(session_lock());
        if (!session_map().empty()) {
            QN_ERROR("Already started.");
            return QN_ALREADY_STARTED;
        }
        engine_log::setup();
        if (sodium_init() == -1) {
            QN_ERROR("sodium_init failed.");
            return QN_SODIUM_INIT_FAILED;
        }
        log_aead_choice();
        if (platform::net_startup() != 0) {
            QN_ERROR("WSAStartup failed with error: {}", platform::last_error());
            return QN_FAILED;
        }
        if (platform::com_startup() != 0) {
            platform::net_cleanup();
            QN_ERROR("CoInitializeEx failed.");
            return QN_FAILED;
        }
        session_config config;
        std::string pk_error;
        if (!decode_server_pk(text_or_empty(server_pk), config.server_pk, &pk_error)) {
            release_process_setup();
            QN_ERROR("Verify pk error: {}.", pk_error);
            return QN_PK_INVALID;
        }
        // Refused before anything of the host is touched: a bent record could become a
        // default route.
        if (!to_prefixes(local_routes, local_route_count, &config.local_routes) ||
            !to_prefixes(remote_routes, remote_route_count, &config.remote_routes) ||
            !to_prefixes(proxy_routes, proxy_route_count, &config.proxy_routes)) {
            release_process_setup();
            return QN_ROUTES_FAILED;
        }
        config.given.os_type = text_or_empty(os_type);
        config.given.client_version = text_or_empty(client_version);
        config.given.token = text_or_empty(token);
        config.given.uuid = text_or_empty(uuid);
        config.given.static_ip = text_or_empty(static_ip);
        config.given.server_ip = text_or_empty(server_ip);
        config.given.server_port = server_port & 0xFFFF;
        config.given.mtu = mtu;
        config.given.upload_limit = upload_limit;
        config.given.download_limit = download_limit;
        config.given.proxy_mode = proxy_mode;
        config.given.dns = text_or_empty(dns);
        config.given.backup_dns = text_or_empty(backup_dns);

        qn_ctx_t* ctx = nullptr;
        const int code = qn_start(&ctx, config);
        g_engine_status.exchange(code);
        if (code != 0) {
            release_process_setup();
            QN_ERROR("qn_start failed.");
            return code;
        }
        std::unique_ptr<qn_ctx_t> owner(ctx);
        try {
            // The slot first: the owner must still hold the session if either step fails.
            std::shared_ptr<qn_ctx_t>& slot = session_map()[QUARNEL_DEVICE_NAME];
            slot = std::shared_ptr<qn_ctx_t>(std::move(owner));
        } catch (const std::exception& e) {
            // A session the registry cannot hold could never be stopped: it ends here.
            QN_ERROR("{}.", e.what());
            end_session(ctx, true);
            g_engine_status.exchange(QN_FAILED);
            return QN_FAILED;
        }
        return 0;
    } catch (const std::exception& e) {
        QN_ERROR("{}.", e.what());
        return -1;
    }
}

QUARNEL_EXPORT void QUARNEL_CALL stop_vpn(int send_disconn) {
    try {
        std::lock_guard<std::mutex> lock(session_lock());
        std::shared_ptr<qn_ctx_t> ctx = running_session();
        if (!ctx) {
            return;
        }
        end_session(ctx.get(), (send_disconn & 0xFF) != 0);
    } catch (const std::exception& e) {
        QN_ERROR("{}.", e.what());
    }
}

QUARNEL_EXPORT void QUARNEL_CALL update_token(const char* token) {
    try {
        std::lock_guard<std::mutex> lock(session_lock());
        std::shared_ptr<qn_ctx_t> ctx = running_session();
        if (!ctx) {
            return;
        }
        const char* text = text_or_empty(token);
        // The session would die of it later, as if the server had gone silent.
        if (strnlen(text, TOKEN_FIELD) >= static_cast<size_t>(TOKEN_FIELD)) {
            QN_ERROR(
                "update_token refused: the token is longer than the {} bytes a keepalive "
                "carries.",
                TOKEN_FIELD - 1);
            return;
        }
        token_lock_acquire(ctx.get());
        ctx->token = text;
        token_lock_release(ctx.get());
    } catch (const std::exception& e) {
        QN_ERROR("{}.", e.what());
    }
}

QUARNEL_EXPORT void QUARNEL_CALL update_limit_rate(int upload_limit, int download_limit) {
    std::lock_guard<std::mutex> lock(session_lock());
    std::shared_ptr<qn_ctx_t> ctx = running_session();
    if (!ctx) {
        return;
    }
    ctx->upload_limit.exchange(upload_limit);
    ctx->download_limit.exchange(download_limit);
}

QUARNEL_EXPORT int QUARNEL_CALL get_vpn_status(void) {
    return g_engine_status.load();
}

QUARNEL_EXPORT int QUARNEL_CALL udp_ping(const char* ip, int port, uint16_t* rtt_ms) {
    try {
        // A ping may come before any session (a page showing its servers' latency): the socket
        // library is started for it and given back after, the system counting the starts.
        if (platform::net_startup() != 0) {
            QN_ERROR("WSAStartup failed with error: {}", platform::last_error());
            return QN_SOCKET_FAILED;
        }
        struct net_release {
            ~net_release() { platform::net_cleanup(); }
        } release;
        uint16_t rtt = 0;
        const int code =
            udp_ping_impl(text_or_empty(ip), static_cast<unsigned short>(port & 0xFFFF), &rtt);
        if (code == 0 && rtt_ms != nullptr) {
            *rtt_ms = rtt;
        }
        return code;
    } catch (const std::exception& e) {
        QN_ERROR("{}.", e.what());
        return -1;
    }
}

}  // extern "C"
