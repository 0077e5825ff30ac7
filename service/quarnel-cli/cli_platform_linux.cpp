#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <fstream>

#include "cli_platform.h"

namespace {
sigset_t stop_signals;
}

std::string machine_id() {
    std::ifstream in("/etc/machine-id");
    std::string id;
    std::getline(in, id);
    return id;
}

std::string clock_text() {
    char text[32] = {};
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    strftime(text, sizeof(text), "%H:%M:%S", &local);
    return text;
}

void catch_stop_requests() {
    // The engine's threads inherit this mask, so the signals reach only sigtimedwait below.
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
}

bool wait_for_stop(int seconds) {
    const timespec interval{seconds, 0};
    const int sig = sigtimedwait(&stop_signals, nullptr, &interval);
    return sig == SIGINT || sig == SIGTERM;
}
