#include "log_capture.h"

#include <spdlog/sinks/base_sink.h>

#include "engine_log.h"
#include "log_limit.h"

namespace test_support {

class capture_sink : public spdlog::sinks::base_sink<std::mutex> {
  public:
    std::vector<log_line> lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }

  protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        lines_.push_back(log_line{msg.level,
                                  msg.source.funcname != nullptr ? msg.source.funcname : "",
                                  std::string(msg.payload.data(), msg.payload.size())});
    }
    void flush_() override {}

  private:
    std::vector<log_line> lines_;
};

log_capture::log_capture()
    : sink_(std::make_shared<capture_sink>()),
      previous_(spdlog::default_logger()),
      previous_level_(engine_log::g_active_level.load()) {
    auto logger = std::make_shared<spdlog::logger>("test_capture", sink_);
    logger->set_level(spdlog::level::debug);
    spdlog::set_default_logger(logger);
    engine_log::g_active_level.store(spdlog::level::debug);
    // What earlier tests of the process logged does not count against this one's lines.
    engine_log::reset_line_limits();
}

log_capture::~log_capture() {
    spdlog::set_default_logger(previous_);
    engine_log::g_active_level.store(previous_level_);
}

std::vector<log_line> log_capture::lines() const {
    return sink_->lines();
}

int log_capture::count(const std::string& text, const std::string& function) const {
    int n = 0;
    for (const log_line& line : sink_->lines()) {
        if (line.text == text && (function.empty() || line.function == function))
            ++n;
    }
    return n;
}

std::string log_capture::dump() const {
    std::string out;
    for (const log_line& line : sink_->lines())
        out += "[" + line.function + "] " + line.text + "\n";
    return out;
}

void log_capture::clear() {
    sink_->clear();
    engine_log::reset_line_limits();
}

}  // namespace test_support
