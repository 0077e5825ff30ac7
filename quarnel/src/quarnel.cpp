#include "quarnel.h"

#include <chrono>
#include <new>
#include <system_error>
#include <thread>

#include "business.h"
#include "data_handler.h"
#include "engine_log.h"
#include "host_journal.h"
#include "log_limit.h"
#include "netcard_tool.h"
#include "quarnel_defaults.h"
#include "result_codes.h"
#include "router.h"
#include "session.h"
#include "session_config.h"
#include "socket_util.h"
#include "tun_util.h"

namespace {

constexpr int SPLIT_MODE_DISCONN_PAUSE_MS = 3000;

// The workers in their slots of qn_ctx_t::threads, by the names their creation failures give.
constexpr const char* WORKER_NAMES[QN_THREAD_COUNT] = {"tun_reader", "udp_sender", "udp_receiver",
                                                       "tun writer", "qn_keepalive"};

// Opens the data path's ports and starts the five workers with them; -1 (logged) when the
// ports or a thread cannot be made: qn_stop then ends those already running.
int create_qn_threads(qn_ctx_t* ctx) {
    try {
        ctx->traffic = new traffic_stats();
        ctx->traffic->ctx = ctx;
        ctx->traffic->ports = data_ports_open(ctx);
    } catch (const std::exception& e) {
        QN_ERROR("{}.", e.what());
        return -1;
    }
    ctx->running.start();
    using worker = int (*)(traffic_stats*);
    const worker workers[] = {tun_reader, udp_sender, udp_receiver, tun_writer};
    int slot = 0;
    try {
        for (; slot < 4; ++slot) {
            ctx->threads[slot] = std::make_shared<std::thread>(workers[slot], ctx->traffic);
        }
        ctx->threads[slot] = std::make_shared<std::thread>(qn_keepalive, ctx);
    } catch (const std::exception& e) {
        QN_ERROR("{} thread create failed:{}.", WORKER_NAMES[slot], e.what());
        return -1;
    }
    return 0;
}

// The workers notice the stop at once: qn_stop raised it, which also ends their waits.
void join_qn_threads(qn_ctx_t* ctx) {
    for (auto& thread : ctx->threads) {
        if (thread) {
            if (thread->joinable()) {
                thread->join();
            }
            thread.reset();
        }
    }
    delete ctx->traffic;
    ctx->traffic = nullptr;
}

}  // namespace

int qn_start(qn_ctx_t** out, const session_config& config) {
    *out = nullptr;
    qn_ctx_t* ctx = nullptr;
    try {
        ctx = new qn_ctx_t();
    } catch (const std::exception& e) {
        QN_ERROR("Create qn_ctx failed: {}", e.what());
        return QN_FAILED;
    }

    // Each session's log has the first lines of every limited kind again.
    engine_log::reset_line_limits();
    bool server_knows_session = false;
    int code = 0;
    // Whatever throws after the first step must still unwind what the steps before it did.
    try {
        do {
            // What a killed session left goes back before this one changes anything.
            replay_host_journals();
            if (!session_journal().begin()) {
                QN_ERROR("Create host journal failed.");
                code = QN_FAILED;
                break;
            }
            try {
                ctx->proto = new proto_ctx();
            } catch (const std::exception& e) {
                QN_ERROR("Create proto_ctx failed: {}.", e.what());
                code = QN_FAILED;
                break;
            }
            if (socket_open(config.given.server_ip.c_str(),
                            static_cast<unsigned short>(config.given.server_port),
                            &ctx->sock) == -1) {
                QN_ERROR("socket_open failed.");
                code = QN_SOCKET_FAILED;
                break;
            }
            ctx->server_ip = config.given.server_ip;
            if ((code = key_exchange(ctx, config.given.static_ip.c_str(), config.server_pk)) != 0) {
                QN_ERROR("key exchange failed in handshake.");
                break;
            }
            if ((code = user_auth(ctx, config)) != 0) {
                QN_ERROR("user auth failed in handshake.");
                break;
            }
            server_knows_session = true;
            if (tun_open(QUARNEL_DEVICE_NAME, 0, ctx->tun_ip.c_str(), ctx->tun_netmask.c_str(),
                         config.given.mtu, !config.proxy(), &ctx->tun) == -1) {
                QN_ERROR("tun_open failed.");
                code = QN_TUN_FAILED;
                break;
            }
            if (set_route_table(
                    ctx, config.remote_routes.data(), static_cast<int>(config.remote_routes.size()),
                    config.proxy_routes.data(), static_cast<int>(config.proxy_routes.size()),
                    config.proxy()) != 0) {
                QN_ERROR("set_route_table failed.");
                code = QN_ROUTES_FAILED;
                break;
            }
            if (!SetAdapterDNS(ctx->tun->guid, config.given.dns.c_str(),
                               config.given.backup_dns.c_str())) {
                QN_ERROR("set_dns failed.");
                code = QN_DNS_FAILED;
                break;
            }
            ctx->dns = config.given.dns;
            ctx->backup_dns = config.given.backup_dns;
            if (create_qn_threads(ctx) == -1) {
                QN_ERROR("create_qn_thread failed.");
                code = QN_THREAD_FAILED;
                break;
            }
            *out = ctx;
            return 0;
        } while (false);
    } catch (const std::exception& e) {
        QN_ERROR("{}.", e.what());
        code = QN_FAILED;
    }

    qn_stop(ctx, server_knows_session);
    delete ctx;
    return code;
}

void qn_stop(qn_ctx_t* ctx, bool send_disconn) {
    ctx->running.stop();
    join_qn_threads(ctx);
    if (send_disconn && ctx->sock != nullptr && ctx->proto != nullptr) {
        if (send_disconn_req(ctx) == -1) {
            QN_ERROR("send_disconn_req fail.");
        } else if (!ctx->proxy_mode && ctx->tun != nullptr) {
            std::this_thread::sleep_for(std::chrono::milliseconds(SPLIT_MODE_DISCONN_PAUSE_MS));
        }
    }
    // Every host change the session made, newest first: resolver, forwarding, routes, metric.
    reset_route_table(ctx);
    if (ctx->tun != nullptr) {
        tun_close(ctx->tun);
        ctx->tun = nullptr;
    }
    if (ctx->sock != nullptr) {
        socket_close(ctx->sock);
        ctx->sock = nullptr;
    }
    delete ctx->proto;
    ctx->proto = nullptr;
    session_journal().end();
}
