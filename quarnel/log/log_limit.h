// Lines that others can cause at will (a datagram from anyone, a peer's malformed message, a
// path to the server that comes and goes) are limited per kind, so that a flood can neither
// fill the log nor rotate away what came before it: the first few lines of a kind are written,
// then at most one a minute, which says how many like it were left out.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "engine_log.h"

namespace engine_log {

// The limit of one kind of line (one place in the code). Any thread may ask.
class line_limit {
  public:
    using clock = std::chrono::steady_clock;
    // Lines written before the limit applies, and the span in which it applies.
    static constexpr int BURST = 3;
    static constexpr clock::duration WINDOW = std::chrono::minutes(1);

    struct verdict {
        bool write = false;
        // Lines of this kind not written since the last one that was, and how long ago that was.
        uint64_t left_out = 0;
        clock::duration since_last{};
        // The last line before the limit applies.
        bool burst_ends = false;
    };

    verdict admit(clock::time_point now);

  private:
    std::mutex mutex_;
    uint32_t generation_ = 0;
    bool started_ = false;
    clock::time_point window_start_;
    clock::time_point last_written_;
    int written_ = 0;  // in the current window
    int quota_ = BURST;
    uint64_t left_out_ = 0;
};

// Every limit starts afresh, so that each session's log has the first lines of every kind.
void reset_line_limits();

// Writes an admitted line with what its verdict adds to the text.
void write_limited(const spdlog::source_loc& loc, spdlog::level::level_enum level,
                   const line_limit::verdict& verdict, const std::string& text);

}  // namespace engine_log

// As QN_LOG_IN, limited per place in the code; the text is formatted only when it is written.
#define QN_LOG_LIMITED_IN(function, level, ...)                                               \
    do {                                                                                      \
        if (::engine_log::enabled(level)) {                                                   \
            static ::engine_log::line_limit qn_limit_;                                        \
            const ::engine_log::line_limit::verdict qn_verdict_ =                             \
                qn_limit_.admit(::engine_log::line_limit::clock::now());                      \
            if (qn_verdict_.write)                                                            \
                ::engine_log::write_limited(spdlog::source_loc{__FILE__, __LINE__, function}, \
                                            level, qn_verdict_, fmt::format(__VA_ARGS__));    \
        }                                                                                     \
    } while (0)
#define QN_LOG_LIMITED(level, ...) QN_LOG_LIMITED_IN(__func__, level, __VA_ARGS__)

#define QN_INFO_LIMITED(...) QN_LOG_LIMITED(spdlog::level::info, __VA_ARGS__)
#define QN_WARN_LIMITED(...) QN_LOG_LIMITED(spdlog::level::warn, __VA_ARGS__)
#define QN_ERROR_LIMITED(...) QN_LOG_LIMITED(spdlog::level::err, __VA_ARGS__)
#define QN_INFO_LIMITED_IN(function, ...) \
    QN_LOG_LIMITED_IN(function, spdlog::level::info, __VA_ARGS__)
#define QN_WARN_LIMITED_IN(function, ...) \
    QN_LOG_LIMITED_IN(function, spdlog::level::warn, __VA_ARGS__)
#define QN_ERROR_LIMITED_IN(function, ...) \
    QN_LOG_LIMITED_IN(function, spdlog::level::err, __VA_ARGS__)
