// Engine log: one asynchronous default logger; every call carries file, line and function.
#pragma once

#include <spdlog/spdlog.h>

#include <atomic>
#include <string>

namespace engine_log {

// Lowest level the current default logger writes; read on every log call so that
// disabled levels (per-packet debug lines) cost one atomic load and no formatting.
extern std::atomic<int> g_active_level;

inline bool enabled(spdlog::level::level_enum level) {
    return static_cast<int>(level) >= g_active_level.load(std::memory_order_relaxed);
}

template <typename... Args>
void write(const spdlog::source_loc& loc, spdlog::level::level_enum level,
           fmt::format_string<Args...> format, Args&&... args) {
    // A shared copy keeps the logger alive even if a new session replaces it meanwhile.
    std::shared_ptr<spdlog::logger> logger = spdlog::default_logger();
    logger->log(loc, level, format, std::forward<Args>(args)...);
}

// Builds the sinks, pool and logger and makes them the default; never throws. Where standard
// output goes to the system journal, the lines are kept there and no file is written. The file
// is used only where nobody but root and the process's user can turn it to another file
// (log_file.h); otherwise the console alone, and one error line says why.
void setup();
// The same with the file at a given path (the log file's place is the only difference); an
// empty path: the console only.
void setup_with_file(const std::string& path);
// setup() where this process has no engine log yet: a program that replays host journals before
// its first session. The registry is the process's, so the log a session set up is kept.
void setup_if_missing();

// At process exit on a system that has already ended the log's worker thread (Windows): the
// pool is never destroyed, so that nothing waits for that thread. Lines still queued are lost.
void abandon_worker_at_exit();

// When no session runs: the queued lines are written, the worker thread is ended and joined
// here, and later lines go to the same sinks directly until the next setup. A library unloaded
// afterwards then has no thread to wait for under the system's loader lock.
void release_worker();

// Path of the log file: "quarnel.log" in the directory of the running executable, or in
// /var/log/quarnel for a program installed under /usr (log_place.h); empty, and the console
// alone, where that directory cannot be told.
std::string log_file_path();

}  // namespace engine_log

// Logs under the name of the given function: helpers of a worker log as the worker.
#define QN_LOG_IN(function, level, ...)                                                  \
    do {                                                                                 \
        if (::engine_log::enabled(level))                                                \
            ::engine_log::write(spdlog::source_loc{__FILE__, __LINE__, function}, level, \
                                __VA_ARGS__);                                            \
    } while (0)
#define QN_LOG(level, ...) QN_LOG_IN(__func__, level, __VA_ARGS__)

#define QN_TRACE(...) QN_LOG(spdlog::level::trace, __VA_ARGS__)
#define QN_DEBUG(...) QN_LOG(spdlog::level::debug, __VA_ARGS__)
#define QN_INFO(...) QN_LOG(spdlog::level::info, __VA_ARGS__)
#define QN_WARN(...) QN_LOG(spdlog::level::warn, __VA_ARGS__)
#define QN_ERROR(...) QN_LOG(spdlog::level::err, __VA_ARGS__)
#define QN_DEBUG_IN(function, ...) QN_LOG_IN(function, spdlog::level::debug, __VA_ARGS__)
#define QN_INFO_IN(function, ...) QN_LOG_IN(function, spdlog::level::info, __VA_ARGS__)
#define QN_WARN_IN(function, ...) QN_LOG_IN(function, spdlog::level::warn, __VA_ARGS__)
#define QN_ERROR_IN(function, ...) QN_LOG_IN(function, spdlog::level::err, __VA_ARGS__)
