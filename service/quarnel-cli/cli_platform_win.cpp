#include <windows.h>

#include <ctime>

#include "cli_platform.h"

namespace {

HANDLE stop_requested = nullptr;
HANDLE main_thread = nullptr;
// Below the 5 s the system gives a handler of a closing console, a logoff or a shutdown.
constexpr DWORD CLOSE_STOP_WAIT_MS = 4500;

BOOL WINAPI on_console_event(DWORD event) {
    SetEvent(stop_requested);
    // After these the system ends the process as soon as the handler returns: the main thread
    // is given the time to stop the session and end the program itself, so that routes and
    // the adapter's changes are put back now rather than at the next start.
    if ((event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) &&
        main_thread != nullptr) {
        WaitForSingleObject(main_thread, CLOSE_STOP_WAIT_MS);
    }
    return TRUE;  // handled: the stop is done by the main thread
}

}  // namespace

std::string machine_id() {
    HKEY key = nullptr;
    // The native key also from a 32-bit program, whose own view lacks MachineGuid.
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Cryptography", 0,
                      KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
        return std::string();
    }
    char text[256] = {};
    DWORD len = sizeof(text) - 1;
    DWORD type = 0;
    const LONG rc =
        RegQueryValueExA(key, "MachineGuid", nullptr, &type, reinterpret_cast<BYTE*>(text), &len);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS && type == REG_SZ ? std::string(text) : std::string();
}

std::string clock_text() {
    char text[32] = {};
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_s(&local, &now);
    std::strftime(text, sizeof(text), "%H:%M:%S", &local);
    return text;
}

void catch_stop_requests() {
    stop_requested = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &main_thread,
                         SYNCHRONIZE, FALSE, 0)) {
        main_thread = nullptr;  // then a closing console ends the process without a stop
    }
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool wait_for_stop(int seconds) {
    return WaitForSingleObject(stop_requested, static_cast<DWORD>(seconds) * 1000) == WAIT_OBJECT_0;
}
