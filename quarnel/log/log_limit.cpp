#include "log_limit.h"

#include <atomic>

namespace engine_log {

namespace {

// Raised by reset_line_limits; a limit that sees a new value starts afresh at its next line.
std::atomic<uint32_t> g_generation{0};

}  // namespace

void reset_line_limits() {
    g_generation.fetch_add(1);
}

line_limit::verdict line_limit::admit(clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint32_t generation = g_generation.load();
    if (generation != generation_) {
        generation_ = generation;
        started_ = false;
        left_out_ = 0;
    }
    if (!started_ || now - window_start_ >= WINDOW) {
        // A kind still being left out gets one line a window, with the count; a quiet one starts
        // with the first few again.
        quota_ = started_ && left_out_ > 0 ? 1 : BURST;
        window_start_ = now;
        written_ = 0;
        started_ = true;
    }
    verdict v;
    if (written_ >= quota_) {
        ++left_out_;
        return v;
    }
    ++written_;
    v.write = true;
    v.left_out = left_out_;
    v.since_last = now - last_written_;
    v.burst_ends = quota_ == BURST && written_ == BURST;
    left_out_ = 0;
    last_written_ = now;
    return v;
}

void write_limited(const spdlog::source_loc& loc, spdlog::level::level_enum level,
                   const line_limit::verdict& verdict, const std::string& text) {
    if (verdict.left_out > 0) {
        const auto seconds =
            std::chrono::duration_cast<std::chrono::seconds>(verdict.since_last).count();
        write(loc, level, "{} ({} more like this in the last {} s, not logged)", text,
              verdict.left_out, seconds);
    } else if (verdict.burst_ends) {
        write(loc, level, "{} (more like this: at most one line a minute)", text);
    } else {
        write(loc, level, "{}", text);
    }
}

}  // namespace engine_log
