// quarneld: the engine service. Drives the VPN engine for programs that run without the rights
// it needs; puts back what an ended session left at its start and when it is told to stop.
#include <grp.h>
#include <signal.h>
#include <systemd/sd-daemon.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "daemon_options.h"
#include "engine_server.h"
#include "journal_replay.h"
#include "listen_socket.h"
#include "quarnel_defaults.h"
#include "service_log.h"

namespace {

bool group_id(const std::string& name, gid_t* gid) {
    group entry{};
    group* found = nullptr;
    std::vector<char> buffer(16384);
    int error = 0;
    while ((error = getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found)) ==
               ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (error != 0 || found == nullptr) {
        return false;
    }
    *gid = entry.gr_gid;
    return true;
}

void put_back_host(const char* when) {
    const int undone = replay_host_journals_logged();
    if (undone > 0) {
        log_info("{}: put back {} host changes of ended sessions", when, undone);
    } else if (undone < 0) {
        log_error("{}: some host changes of ended sessions could not be put back", when);
    }
}

}  // namespace

int main(int argc, char** argv) {
    daemon_options options;
    std::string error;
    if (!parse_daemon_options(argc, argv, &options, &error)) {
        std::fprintf(stderr, "quarneld: %s\n%s", error.c_str(), daemon_usage().c_str());
        return 64;
    }
    if (options.help) {
        std::printf("%s", daemon_usage().c_str());
        return 0;
    }
    // The engine reads its DNS backend from the environment at each start; set before any thread.
    if (!options.dns_backend.empty()) {
        setenv(QUARNEL_DNS_BACKEND_VARIABLE, options.dns_backend.c_str(), 1);
    }
    // The loop takes these from a descriptor; every thread started from here on blocks them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    gid_t group = 0;
    if (!group_id(options.group, &group)) {
        log_error("the group {} does not exist", options.group);
        return 1;
    }
    listen_socket socket;
    if (!open_listen_socket(options.socket_path, group, &socket, &error)) {
        log_error("{}", error);
        return 1;
    }
    put_back_host("start");
    log_info("serving {} for root and group {}",
             socket.bound_path.empty() ? "the socket systemd handed over" : socket.bound_path,
             options.group);
    sd_notify(0, "READY=1");

    const bool served = serve_clients(socket.fd, group, options.group, &error);
    if (!served) {
        log_error("{}", error);
    }
    sd_notify(0, "STOPPING=1");
    close_listen_socket(&socket);
    put_back_host("stop");
    return served ? 0 : 1;
}
