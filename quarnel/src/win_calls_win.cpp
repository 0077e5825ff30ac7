#include "win_calls.h"

win_calls& win() {
    static win_calls calls;
    return calls;
}

std::wstring wide_from_ansi(const std::string& text) {
    if (text.empty()) {
        return std::wstring();
    }
    const int n = MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0);
    if (n <= 0) {
        return std::wstring();
    }
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
    return wide;
}
