// A one-way stop flag whose waits end as soon as it is raised.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

class stop_signal {
public:
    void raise() {
        std::lock_guard<std::mutex> lock(mutex_);
        raised_ = true;
        cond_.notify_all();
    }
    void reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        raised_ = false;
    }
    bool raised() {
        std::lock_guard<std::mutex> lock(mutex_);
        return raised_;
    }
    // Sleeps up to the duration; true when the stop was raised meanwhile.
    template <typename Rep, typename Period>
    bool wait_for(std::chrono::duration<Rep, Period> duration) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cond_.wait_for(lock, duration, [this] { return raised_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cond_;
    bool raised_ = false;
};
