// Command-line client of the engine, for headless machines and scripts.
#include <cstdio>
#include <iostream>
#include <string>

#include "cli_options.h"
#include "cli_platform.h"
#include "journal_replay.h"
#include "program_engine.h"
#include "quarnel_api.h"
#include "quarnel_defaults.h"
#include "result_codes.h"

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
        case QN_SERVICE_UNREACHABLE:
            return "the engine service quarneld could not be reached (is it running?)";
        case QN_SERVICE_REFUSED:
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
        case QN_SERVICE_UNREACHABLE:
            return "the engine service is gone, and the session with it";
        default:
            return "failed";
    }
}

int run_connect(const cli_options& o) {
    catch_stop_requests();
    start_record record = o.start;
    record.os_type = QUARNEL_OS_TYPE;
    record.client_version = LUMAR_VERSION;
    if (record.uuid.empty()) {
        record.uuid = machine_id();
    }
    if (record.uuid.empty()) {
        record.uuid = "quarnel-cli";
    }
    std::printf("connecting to %s port %d (%s mode)\n", record.server_ip.c_str(),
                record.server_port, record.proxy_mode ? "proxy" : "split");
    std::fflush(stdout);
    VpnEngine& engine = programEngine(
        [](const std::string& why) { std::fprintf(stderr, "quarnel-cli: %s\n", why.c_str()); });
    const int code = engine.startVpn(record);
    if (code != 0) {
        std::fprintf(stderr, "connect failed (%d): %s\n", code, start_failure_text(code));
        return 1;
    }
    std::printf("connected\n");
    std::fflush(stdout);

    for (;;) {
        if (wait_for_stop(o.status_interval_s)) {
            std::printf("disconnecting\n");
            std::fflush(stdout);
            engine.stopVpn(1);
            std::printf("disconnected\n");
            return 0;
        }
        const int status = engine.vpnStatus();
        std::printf("%s status %d: %s\n", clock_text().c_str(), status, status_text(status));
        std::fflush(stdout);
        if (status != 0) {
            // The server is considered gone: no disconnect message is sent to it.
            engine.stopVpn(0);
            std::fprintf(stderr, "session ended (%d): %s\n", status, status_text(status));
            return 2;
        }
    }
}

int run_ping(const cli_options& o) {
    int failures = 0;
    for (int i = 0; i < o.count; ++i) {
        uint16_t rtt = 0;
        int code = udp_ping(o.start.server_ip.c_str(), o.start.server_port, &rtt);
        if (code == 0) {
            std::printf("reply from %s: time %u ms\n", o.start.server_ip.c_str(), rtt);
        } else {
            ++failures;
            std::printf("ping %s failed (%d): %s\n", o.start.server_ip.c_str(), code,
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
    const int undone = replay_host_journals_logged();
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
