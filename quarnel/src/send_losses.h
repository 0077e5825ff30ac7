// Datagrams to the server that the path refused (send_errors.h): counted for the session, and
// told in the log as the path goes and comes back, a few lines at most however long it lasts.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

class send_losses {
  public:
    // Both sending threads (the device's reader and udp_sender) call these.
    void lost(size_t count, int error);
    // A send went through: ends an outage, which is then logged with what it cost.
    void sent() {
        if (outage_.load(std::memory_order_relaxed)) {
            end_outage();
        }
    }
    uint64_t total() const { return total_.load(); }

  private:
    void end_outage();

    std::atomic<uint64_t> total_{0};
    std::atomic<bool> outage_{false};
    std::atomic<uint64_t> outage_lost_{0};
    std::atomic<std::chrono::steady_clock::rep> outage_start_{0};
};
