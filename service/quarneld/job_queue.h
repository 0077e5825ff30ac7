// Engine calls that take seconds run on worker threads, so that the service's loop goes on
// serving every other client meanwhile. Each job answers one client (or none: 0); the loop is
// woken through a descriptor when answers are ready and collects them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "service_protocol.h"

struct job_done {
    uint64_t client = 0;
    engine_service::reply answer;
};

class job_queue {
  public:
    using job = std::function<engine_service::reply()>;

    // `threads` workers take the jobs in order; at most `capacity` jobs of clients wait or run
    // at once. The service's own (client 0: a session's teardown) always go in.
    // `wake_fd` (an eventfd) is signalled whenever a job is done.
    job_queue(size_t threads, size_t capacity, int wake_fd);
    // Runs what is queued to its end, then joins the workers.
    ~job_queue();
    job_queue(const job_queue&) = delete;
    job_queue& operator=(const job_queue&) = delete;

    // false when the queue is full.
    bool submit(uint64_t client, job work);
    std::vector<job_done> take_done();
    // Nothing waits, runs or is left to collect.
    bool idle();

  private:
    void work();

    const size_t capacity_;
    const int wake_fd_;
    std::mutex lock_;
    std::condition_variable ready_;
    std::deque<std::pair<uint64_t, job>> waiting_;
    std::vector<job_done> done_;
    size_t running_ = 0;
    size_t clients_queued_ = 0;  // jobs of clients waiting or running
    bool ending_ = false;
    std::vector<std::thread> threads_;
};
