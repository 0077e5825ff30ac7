// Captures the engine's log lines in memory while a test runs.
#pragma once

#include <spdlog/spdlog.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace test_support {

struct log_line {
    spdlog::level::level_enum level;
    std::string function;
    std::string text;
};

class capture_sink;

// Installs a synchronous default logger at debug level, with fresh limits of the lines others
// can cause; restores the previous logger on exit.
class log_capture {
  public:
    log_capture();
    ~log_capture();
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    std::vector<log_line> lines() const;
    // Lines with exactly this text, logged by this function unless function is empty.
    int count(const std::string& text, const std::string& function = "") const;
    bool has(const std::string& text, const std::string& function = "") const {
        return count(text, function) > 0;
    }
    // Every captured line, one per row, for failure messages.
    std::string dump() const;
    // Forgets the lines, and the limits of lines others can cause start afresh (log_limit.h).
    void clear();

  private:
    std::shared_ptr<capture_sink> sink_;
    std::shared_ptr<spdlog::logger> previous_;
    int previous_level_;
};

}  // namespace test_support
