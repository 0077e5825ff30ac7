#include <time.h>
#include <unistd.h>

#include "service_log.h"
#include "system_journal.h"

namespace {

const char* level_name(log_level level) {
    switch (level) {
        case log_level::error:
            return "error";
        case log_level::warning:
            return "warning";
        case log_level::info:
            return "info";
    }
    return "";
}

}  // namespace

void log_line(log_level level, const std::string& text) {
    static const bool journal = stderr_is_system_journal();
    std::string line;
    if (journal) {
        line = fmt::format("<{}>{}\n", static_cast<int>(level), text);
    } else {
        char stamp[32] = {};
        const time_t now = time(nullptr);
        tm local{};
        localtime_r(&now, &local);
        strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);
        line = fmt::format("[{}] [quarneld] [{}] {}\n", stamp, level_name(level), text);
    }
    // One write per line, so that lines of several threads do not mix.
    const ssize_t written = write(STDERR_FILENO, line.data(), line.size());
    (void)written;
}
