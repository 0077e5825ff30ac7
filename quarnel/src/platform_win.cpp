#include <winsock2.h>

#include <windows.h>

#include <objbase.h>
#include <shlwapi.h>

#include <ctime>

#include "platform.h"

namespace platform {

std::string executable_directory() {
    // The host program's path (no module handle), not the engine library's.
    char path[256] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path));
    if (n == 0 || n >= sizeof(path)) {
        return ".";
    }
    PathRemoveFileSpecA(path);
    return path;
}

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

std::string error_text(int code) {
    char text[1024] = {};
    const DWORD n =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text,
                       sizeof(text), nullptr);
    std::string result(text, n);
    // One log line: the system's text ends with a line break, some contain more.
    for (char& c : result) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }
    result.erase(result.find_last_not_of(' ') + 1);
    return result.empty() ? std::to_string(code) : result;
}

int last_error() {
    return static_cast<int>(GetLastError());
}

int64_t wall_seconds() {
    return static_cast<int64_t>(_time64(nullptr));
}

}  // namespace platform
