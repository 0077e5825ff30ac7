// The reference VPN server as a program: runs until SIGINT or SIGTERM. The wire check's
// counters go to standard output on SIGUSR1 and at the end.
#include <signal.h>

#include <cstdio>

#include "address_pool.h"
#include "ref_server.h"
#include "tun_data_path.h"

int main(int argc, char** argv) {
    server_options options;
    bool help = false;
    std::string error;
    if (!parse_options(argc, argv, &options, &help, &error)) {
        std::fprintf(stderr, "ref_server: %s\n%s", error.c_str(), usage_text(argv[0]).c_str());
        return 2;
    }
    if (help) {
        std::printf("%s", usage_text(argv[0]).c_str());
        return 0;
    }
    // Blocked before the loop thread starts, so only sigwait below sees them.
    sigset_t handled_signals;
    sigemptyset(&handled_signals);
    sigaddset(&handled_signals, SIGINT);
    sigaddset(&handled_signals, SIGTERM);
    sigaddset(&handled_signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &handled_signals, nullptr);

    std::unique_ptr<data_path> data = std::make_unique<echo_data_path>();
    if (!options.tun.empty()) {
        address_pool pool;
        if (!pool.configure(options.pool)) {
            std::fprintf(stderr, "ref_server: bad pool %s\n", options.pool.c_str());
            return 2;
        }
        auto tun = std::make_unique<tun_data_path>();
        const int prefix_len = __builtin_popcount(pool.netmask());
        if (!tun->open(options.tun, pool.gateway(), prefix_len, 1500, &error, options.offload)) {
            std::fprintf(stderr, "ref_server: %s: %s\n", options.tun.c_str(), error.c_str());
            return 1;
        }
        data = std::move(tun);
    }
    ref_server server(options, std::move(data));
    if (!server.start(&error)) {
        std::fprintf(stderr, "ref_server: %s\n", error.c_str());
        return 1;
    }
    std::printf("public key %s\nlistening on %s port %u\n", server.key().public_hex().c_str(),
                options.listen.c_str(), server.port());
    std::fflush(stdout);
    int received = 0;
    while (sigwait(&handled_signals, &received) == 0 && received == SIGUSR1) {
        std::printf("%s\n", wire_summary(server.stats().wire).c_str());
        std::fflush(stdout);
    }
    server.stop();
    std::printf("%s\n", wire_summary(server.stats().wire).c_str());
    return 0;
}
