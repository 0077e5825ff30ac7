#include "log_place.h"

namespace {
constexpr const char* installed_root = "/usr";
constexpr const char* system_log_directory = "/var/log/quarnel";
}  // namespace

log_place log_place_for(const std::string& executable_directory) {
    const std::string root = installed_root;
    const bool installed =
        executable_directory.compare(0, root.size(), root) == 0 &&
        (executable_directory.size() == root.size() || executable_directory[root.size()] == '/');
    if (installed) {
        return {system_log_directory, true};
    }
    return {executable_directory, false};
}
