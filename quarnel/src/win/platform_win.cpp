#include <winsock2.h>

#include <windows.h>

#include <objbase.h>

#include <atomic>
#include <ctime>

#include "platform.h"

namespace platform {

int net_startup() {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data);
}

void net_cleanup() {
    WSACleanup();
}

namespace {
// Whether the engine's own CoInitializeEx holds an apartment, for com_cleanup to give back.
std::atomic<bool> com_initialised{false};
}  // namespace

int com_startup() {
    const HRESULT result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (result == RPC_E_CHANGED_MODE) {
        // The host's thread is already in a single-threaded apartment: the engine works in the
        // apartment it finds, which stays the host's to end.
        return 0;
    }
    if (FAILED(result)) {
        return -1;
    }
    com_initialised.store(true);
    return 0;
}

void com_cleanup() {
    if (com_initialised.exchange(false)) {
        CoUninitialize();
    }
}

int last_error() {
    return static_cast<int>(GetLastError());
}

int64_t wall_seconds() {
    return static_cast<int64_t>(_time64(nullptr));
}

int64_t awake_milliseconds() {
    // In units of 100 ns, without the time spent asleep or hibernating.
    ULONGLONG units = 0;
    QueryUnbiasedInterruptTime(&units);
    return static_cast<int64_t>(units / 10000);
}

}  // namespace platform
