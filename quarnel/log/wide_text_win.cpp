#include "wide_text_win.h"

#include <windows.h>

#include <algorithm>

namespace {

std::wstring wide_from(UINT code_page, const std::string& text) {
    if (text.empty()) {
        return std::wstring();
    }
    const int n =
        MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) {
        return std::wstring();
    }
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
    return wide;
}

}  // namespace

std::wstring wide_from_ansi(const std::string& text) {
    return wide_from(CP_THREAD_ACP, text);
}

std::wstring wide_from_utf8(const std::string& text) {
    return wide_from(CP_UTF8, text);
}

std::string utf8_from_wide(const std::wstring& text) {
    if (text.empty()) {
        return std::string();
    }
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    if (n <= 0) {
        return std::string();
    }
    std::string narrow(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &narrow[0], n,
                        nullptr, nullptr);
    return narrow;
}

std::wstring wide_path(const std::string& utf8) {
    std::wstring path = wide_from_utf8(utf8);
    if (path.size() < MAX_PATH || path.compare(0, 4, L"\\\\?\\") == 0) {
        return path;
    }
    std::replace(path.begin(), path.end(), L'/', L'\\');
    if (path.size() > 2 && path[1] == L':' && path[2] == L'\\') {
        return L"\\\\?\\" + path;
    }
    if (path.compare(0, 2, L"\\\\") == 0) {
        return L"\\\\?\\UNC\\" + path.substr(2);
    }
    return path;  // relative: the system's limit stands
}
