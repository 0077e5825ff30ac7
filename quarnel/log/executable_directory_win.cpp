#include "executable_directory.h"

#include <windows.h>

#include "wide_text_win.h"

std::string executable_directory() {
    // The host program's path (no module handle), not the engine library's; as long as the
    // system allows, in whatever characters its folders are named.
    constexpr size_t LONGEST = 32768;
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (n == 0) {
            return std::string();
        }
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        if (path.size() >= LONGEST) {
            return std::string();
        }
        path.resize(path.size() * 2);
    }
    const size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::string() : utf8_from_wide(path.substr(0, slash));
}
