#include "executable_directory.h"

#include <windows.h>

#include <shlwapi.h>

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
