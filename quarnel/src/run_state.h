// Whether a session's workers run, and the session's one stop: raising it ends every wait of
// the session's threads at once (the data workers' device and socket waits through the
// system's wake-up, their queue waits through the queues' conditions, the keepalive's and the
// protect worker's sleeps).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

struct worker_wakeup;

class run_state {
  public:
    run_state();
    ~run_state();
    run_state(const run_state&) = delete;
    run_state& operator=(const run_state&) = delete;

    // True from start until the stop.
    bool load() const { return phase_.load() == RUNNING; }
    void start();
    // Raises the stop, also before start and again after it.
    void stop();
    // The stop also wakes whoever waits on this condition under this mutex for a predicate
    // that reads load(). Before start.
    void wake_at_stop(std::mutex& mutex, std::condition_variable_any& cond);
    // Sleeps up to the duration; true once the stop is raised.
    template <typename Rep, typename Period>
    bool wait_for(std::chrono::duration<Rep, Period> duration) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cond_.wait_for(lock, duration, [this] { return phase_.load() == STOPPED; });
    }
    // What the system's ports wait on beside the device and the socket; null when the system
    // could not make one (the waits then end at their time-outs).
    worker_wakeup* wakeup() const { return wakeup_; }

  private:
    enum phase { IDLE, RUNNING, STOPPED };
    std::atomic<int> phase_{IDLE};
    std::mutex mutex_;
    std::condition_variable cond_;
    worker_wakeup* const wakeup_;
    struct other_wait {
        std::mutex* mutex;
        std::condition_variable_any* cond;
    };
    std::vector<other_wait> other_waits_;
};
