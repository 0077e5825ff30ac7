#include "run_state.h"

#include "data_ports.h"

run_state::run_state() : wakeup_(worker_wakeup_create()) {}

run_state::~run_state() {
    worker_wakeup_destroy(wakeup_);
}

void run_state::start() {
    phase_.store(RUNNING);
}

void run_state::stop() {
    {
        // Under the lock, so that a sleeper between its test and its wait still sees it.
        std::lock_guard<std::mutex> lock(mutex_);
        phase_.store(STOPPED);
    }
    cond_.notify_all();
    for (const other_wait& wait : other_waits_) {
        // Taken once, so that a waiter between its test and its wait still sees the stop.
        { std::lock_guard<std::mutex> lock(*wait.mutex); }
        wait.cond->notify_all();
    }
    worker_wakeup_signal(wakeup_);
}

void run_state::wake_at_stop(std::mutex& mutex, std::condition_variable_any& cond) {
    other_waits_.push_back({&mutex, &cond});
}
