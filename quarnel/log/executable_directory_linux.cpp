#include "executable_directory.h"

#include <unistd.h>

std::string executable_directory() {
    char path[4096] = {};
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) {
        return std::string();
    }
    std::string full(path, static_cast<size_t>(n));
    size_t slash = full.find_last_of('/');
    if (slash == std::string::npos) {
        return std::string();
    }
    return slash == 0 ? "/" : full.substr(0, slash);
}
