#include <winsock2.h>

#include <windows.h>

#include <objbase.h>

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

int com_startup() {
    return FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) ? -1 : 0;
}

void com_cleanup() {
    CoUninitialize();
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
