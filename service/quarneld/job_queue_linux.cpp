#include <unistd.h>

#include "job_queue.h"

job_queue::job_queue(size_t threads, size_t capacity, int wake_fd)
    : capacity_(capacity), wake_fd_(wake_fd) {
    for (size_t i = 0; i < threads; ++i) {
        threads_.emplace_back([this] { work(); });
    }
}

job_queue::~job_queue() {
    {
        std::lock_guard<std::mutex> lock(lock_);
        ending_ = true;
    }
    ready_.notify_all();
    for (std::thread& thread : threads_) {
        thread.join();
    }
}

bool job_queue::submit(uint64_t client, job work) {
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (client != 0 && clients_queued_ >= capacity_) {
            return false;
        }
        clients_queued_ += client != 0 ? 1 : 0;
        waiting_.emplace_back(client, std::move(work));
    }
    ready_.notify_one();
    return true;
}

std::vector<job_done> job_queue::take_done() {
    std::lock_guard<std::mutex> lock(lock_);
    std::vector<job_done> done;
    done.swap(done_);
    return done;
}

bool job_queue::idle() {
    std::lock_guard<std::mutex> lock(lock_);
    return waiting_.empty() && running_ == 0 && done_.empty();
}

void job_queue::work() {
    std::unique_lock<std::mutex> lock(lock_);
    for (;;) {
        ready_.wait(lock, [this] { return ending_ || !waiting_.empty(); });
        if (waiting_.empty()) {
            return;
        }
        auto [client, job] = std::move(waiting_.front());
        waiting_.pop_front();
        ++running_;
        lock.unlock();
        const engine_service::reply answer = job();
        lock.lock();
        --running_;
        clients_queued_ -= client != 0 ? 1 : 0;
        done_.push_back(job_done{client, answer});
        const uint64_t one = 1;
        const ssize_t written = write(wake_fd_, &one, sizeof(one));
        (void)written;
    }
}
