// quarneld's own log lines, on standard error; with the priority prefix the system journal reads
// when that is where they go.
#pragma once

#include <fmt/format.h>

#include <string>
#include <utility>

enum class log_level { error = 3, warning = 4, info = 6 };

void log_line(log_level level, const std::string& text);

template <typename... Args>
void log_error(fmt::format_string<Args...> format, Args&&... args) {
    log_line(log_level::error, fmt::format(format, std::forward<Args>(args)...));
}
template <typename... Args>
void log_warning(fmt::format_string<Args...> format, Args&&... args) {
    log_line(log_level::warning, fmt::format(format, std::forward<Args>(args)...));
}
template <typename... Args>
void log_info(fmt::format_string<Args...> format, Args&&... args) {
    log_line(log_level::info, fmt::format(format, std::forward<Args>(args)...));
}
