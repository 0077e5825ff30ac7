// A token bucket for one thread: at most `rate` grants a second on average, and `rate` at once
// after a second without any.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

class token_bucket {
  public:
    using clock = std::chrono::steady_clock;

    explicit token_bucket(int64_t rate) : rate_(rate), credit_us_(rate * ONE_S_US) {}

    bool take(clock::time_point now) {
        if (last_ != clock::time_point{} && now > last_) {
            const int64_t elapsed_us =
                std::chrono::duration_cast<std::chrono::microseconds>(now - last_).count();
            // Clamped before multiplying: a long pause cannot overflow the credit.
            credit_us_ =
                std::min(rate_ * ONE_S_US, credit_us_ + std::min(elapsed_us, ONE_S_US) * rate_);
        }
        last_ = std::max(last_, now);
        if (credit_us_ < ONE_S_US) {
            return false;
        }
        credit_us_ -= ONE_S_US;
        return true;
    }

  private:
    static constexpr int64_t ONE_S_US = 1000000;
    const int64_t rate_;
    int64_t credit_us_;  // grants times one million
    clock::time_point last_{};
};
