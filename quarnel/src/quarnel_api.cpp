#include "quarnel_api.h"

#include <sodium.h>

#include <boost/algorithm/hex.hpp>
#include <cstring>
#include <string>
#include <vector>

#include "business.h"
#include "engine_log.h"
#include "platform.h"
#include "platform_net.h"
#include "quarnel.h"
#include "session_registry.h"

namespace {

constexpr size_t server_pk_text_len = 64;

const char* text_or_empty(const char* text) { return text != nullptr ? text : ""; }

bool decode_server_pk(const char* text, uint8_t out[32], std::string* error) {
    const size_t len = strnlen(text, server_pk_text_len);
    if (len < server_pk_text_len) {
        *error = "expected 64 hexadecimal characters, got " + std::to_string(len);
        return false;
    }
    try {
        boost::algorithm::unhex(text, text + server_pk_text_len, out);
    } catch (const boost::algorithm::non_hex_input&) {
        *error = "non-hexadecimal character";
        return false;
    } catch (const boost::algorithm::hex_decode_error&) {
        *error = "malformed hexadecimal text";
        return false;
    }
    return true;
}

std::vector<route_prefix> to_prefixes(const route_entry_str_t* routes, int count) {
    std::vector<route_prefix> prefixes;
    if (routes == nullptr || count <= 0) {
        return prefixes;
    }
    prefixes.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        char ip[sizeof(routes[i].ip) + 1] = {};
        std::memcpy(ip, routes[i].ip, sizeof(routes[i].ip));
        prefixes.push_back({ipv4_from_text(ip), static_cast<uint8_t>(routes[i].bitlen & 0xFF)});
    }
    return prefixes;
}

void release_process_setup() {
    platform::com_cleanup();
    platform::net_cleanup();
}

}  // namespace

extern "C" {

QUARNEL_EXPORT int QUARNEL_CALL start_vpn(
    const char* os_type, const char* client_version, const char* token, const char* uuid,
    const char* server_pk, const char* static_ip, const char* server_ip, int server_port,
    const route_entry_str_t* local_routes, int local_route_count,
    const route_entry_str_t* remote_routes, int remote_route_count,
    const route_entry_str_t* proxy_routes, int proxy_route_count, int mtu, int upload_limit,
    int download_limit, int proxy_mode, const char* dns, const char* backup_dns) {
    try {
        std::lock_guard<std::mutex> lock(session_lock());
        if (!session_map().empty()) {
            QN_ERROR("Already started.");
            return -4;
        }
        engine_log::setup();
        if (sodium_init() == -1) {
            QN_ERROR("sodium_init failed.");
            return -5;
        }
        if (platform::net_startup() != 0) {
            QN_ERROR("WSAStartup failed with error: {}", platform::last_error());
            return -1;
        }
        if (platform::com_startup() != 0) {
            platform::net_cleanup();
            QN_ERROR("CoInitializeEx failed.");
            return -1;
        }
        uint8_t pk[32] = {};
        std::string pk_error;
        if (!decode_server_pk(text_or_empty(server_pk), pk, &pk_error)) {
            release_process_setup();
            QN_ERROR("Verify pk error: {}.", pk_error);
            return -3;
        }
        const std::vector<route_prefix> local = to_prefixes(local_routes, local_route_count);
        const std::vector<route_prefix> remote = to_prefixes(remote_routes, remote_route_count);
        const std::vector<route_prefix> proxy = to_prefixes(proxy_routes, proxy_route_count);

        qn_ctx_t* ctx = nullptr;
        const int code = qn_start(
            &ctx, text_or_empty(server_ip), server_port & 0xFFFF, text_or_empty(static_ip), pk,
            text_or_empty(os_type), text_or_empty(client_version), text_or_empty(token),
            text_or_empty(uuid), local.data(), static_cast<int>(local.size()), remote.data(),
            static_cast<int>(remote.size()), proxy.data(), static_cast<int>(proxy.size()), mtu,
            upload_limit, download_limit, proxy_mode == 1, text_or_empty(dns), backup_dns);
        g_engine_status.exchange(code);
        if (code != 0) {
            release_process_setup();
            QN_ERROR("qn_start failed.");
            return code;
        }
        session_map()[SESSION_DEVICE_NAME] = std::shared_ptr<qn_ctx_t>(ctx);
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
        ctx->running.exchange(false);
        join_qn_threads(ctx.get());
        qn_stop(ctx.get(), (send_disconn & 0xFF) != 0);
        session_map().erase(SESSION_DEVICE_NAME);
        release_process_setup();
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
        token_lock_acquire(ctx.get());
        ctx->token = text_or_empty(token);
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

QUARNEL_EXPORT int QUARNEL_CALL get_vpn_status(void) { return g_engine_status.load(); }

QUARNEL_EXPORT int QUARNEL_CALL udp_ping(const char* ip, int port, uint16_t* rtt_ms) {
    try {
        uint16_t rtt = 0;
        const int code = udp_ping_impl(text_or_empty(ip), static_cast<unsigned short>(port & 0xFFFF),
                                       &rtt);
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
