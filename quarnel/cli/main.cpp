// Command-line client of the engine, for headless machines and scripts.
#include <signal.h>
#include <time.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include "cli_engine.h"
#include "cli_options.h"
#include "journal_replay.h"
#include "quarnel_api.h"
#include "quarnel_defaults.h"
#include "result_codes.h"
#include "service_protocol.h"

namespace {

const char* start_failure_text(int code) {
    switch (code) {
        case QN_FAILED:
            return "internal failure (allocation or system set-up)";
        case QN_PK_INVALID:
            return "the server key is not 64 hexadecimal characters";
        case QN_ALREADY_STARTED:
            return "a session is already running in this process";
        case QN_SODIUM_INIT_FAILED:
            return "the crypto library could not be initialised";
        case QN_SOCKET_FAILED:
            return "the UDP socket could not be opened (is the server address an IP literal?)";
        case QN_THREAD_FAILED:
            return "the worker threads could not be started";
        case QN_KX_NO_REPLY:
            return "the server did not answer the key exchange";
        case QN_KX_FAILED:
            return "the key exchange failed (wrong server key or bad reply)";
        case QN_AUTH_NO_REPLY:
            return "the server did not answer the authentication";
        case QN_AUTH_FAILED:
            return "the server refused the authentication (token?)";
        case QN_TUN_FAILED:
            return "the TUN interface could not be opened (root? /dev/net/tun?)";
        case QN_ROUTES_FAILED:
            return "the routes could not be installed";
        case QN_DNS_FAILED:
            return "the DNS servers could not be set";
        case engine_service::SERVICE_UNREACHABLE:
            return "the engine service quarneld could not be reached (is it running?)";
        case engine_service::SERVICE_REFUSED:
            return "the engine service refused this user (not in its group?)";
        default:
            return "unknown failure";
    }
}

const char* status_text(int status) {
    switch (status) {
        case QN_OK:
            return "connected";
        case QN_FAILED:
            return "a data worker stopped on an I/O error";
        case QN_SEND_FAILED:
            return "sending to the server failed";
        case QN_RECEIVE_FAILED:
            return "receiving from the server failed";
        case QN_SERVER_SILENT:
            return "the server stopped answering keepalives";
        case engine_service::SERVICE_UNREACHABLE:
            return "the engine service is gone, and the session with it";
        default:
            return "failed";
    }
}

std::string machine_id() {
    std::ifstream in("/etc/machine-id");
    std::string id;
    std::getline(in, id);
    return id.empty() ? "quarnel-cli" : id;
}

std::string timestamp() {
    char text[32] = {};
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    strftime(text, sizeof(text), "%H:%M:%S", &local);
    return text;
}

int run_connect(const cli_options& o) {
    // The engine's threads inherit this mask, so the signals reach only sigtimedwait below.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    engine_service::start_values v;
    v.os_type = QUARNEL_OS_TYPE;
    v.client_version = LUMAR_VERSION;
    v.token = o.token;
    v.uuid = o.uuid.empty() ? machine_id() : o.uuid;
    v.server_pk = o.server_key;
    v.static_ip = o.static_ip;
    v.server_ip = o.server;
    v.server_port = o.port;
    v.local_routes = o.local_routes;
    v.remote_routes = o.remote_routes;
    v.proxy_routes = o.proxy_routes;
    v.mtu = o.mtu;
    v.upload_limit = o.upload_limit;
    v.download_limit = o.download_limit;
    v.proxy_mode = o.proxy_mode ? 1 : 0;
    v.dns = o.dns;
    v.backup_dns = o.backup_dns;
    std::printf("connecting to %s port %d (%s mode)\n", o.server.c_str(), o.port,
                o.proxy_mode ? "proxy" : "split");
    std::fflush(stdout);
    const std::unique_ptr<cli_engine> engine = make_cli_engine();
    const int code = engine->start(v);
    if (code != 0) {
        std::fprintf(stderr, "connect failed (%d): %s\n", code, start_failure_text(code));
        return 1;
    }
    std::printf("connected\n");
    std::fflush(stdout);

    const timespec interval{o.status_interval_s, 0};
    for (;;) {
        int sig = sigtimedwait(&stop_signals, nullptr, &interval);
        if (sig == SIGINT || sig == SIGTERM) {
            std::printf("disconnecting\n");
            std::fflush(stdout);
            engine->stop(1);
            std::printf("disconnected\n");
            return 0;
        }
        const int status = engine->status();
        std::printf("%s status %d: %s\n", timestamp().c_str(), status, status_text(status));
        std::fflush(stdout);
        if (status != 0) {
            // The server is considered gone: no disconnect message is sent to it.
            engine->stop(0);
            std::fprintf(stderr, "session ended (%d): %s\n", status, status_text(status));
            return 2;
        }
    }
}

int run_ping(const cli_options& o) {
    int failures = 0;
    for (int i = 0; i < o.count; ++i) {
        uint16_t rtt = 0;
        int code = udp_ping(o.server.c_str(), o.port, &rtt);
        if (code == 0) {
            std::printf("reply from %s: time %u ms\n", o.server.c_str(), rtt);
        } else {
            ++failures;
            std::printf("ping %s failed (%d): %s\n", o.server.c_str(), code,
                        code == QN_SOCKET_FAILED   ? "bad address or socket error"
                        : code == QN_PING_NO_REPLY ? "no reply"
                                                   : "bad reply");
        }
        std::fflush(stdout);
    }
    return failures == o.count ? 1 : 0;
}

// Puts back what sessions of killed processes left in this network namespace.
int run_cleanup() {
    const int undone = replay_host_journals();
    if (undone < 0) {
        std::fprintf(stderr,
                     "quarnel-cli: some host changes could not be put back; they stay "
                     "recorded for the next cleanup\n");
        return 1;
    }
    std::printf("%d host changes of ended sessions put back\n", undone);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    cli_options options;
    std::string error;
    if (!parse_cli_options(argc, argv, &options, &error)) {
        std::fprintf(stderr, "quarnel-cli: %s\n%s", error.c_str(), cli_usage().c_str());
        return 64;
    }
    if (options.help) {
        std::printf("%s", cli_usage().c_str());
        return 0;
    }
    if (options.command == "cleanup") {
        return run_cleanup();
    }
    return options.command == "connect" ? run_connect(options) : run_ping(options);
}
