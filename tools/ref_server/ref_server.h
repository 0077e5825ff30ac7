// The reference VPN server: one UDP socket, one event-loop thread, many sessions.
#pragma once

#include <spdlog/logger.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "address_pool.h"
#include "data_path.h"
#include "dispatcher.h"
#include "options.h"
#include "outbox.h"
#include "signing_key.h"
#include "udp_endpoint.h"

class ref_server {
  public:
    explicit ref_server(server_options options,
                        std::unique_ptr<data_path> data = std::make_unique<echo_data_path>());
    ~ref_server();
    ref_server(const ref_server&) = delete;
    ref_server& operator=(const ref_server&) = delete;

    // Loads the key, binds the socket and starts the event loop; false with a message.
    bool start(std::string* error);
    void stop();

    uint16_t port() const { return endpoint_.port(); }
    const signing_key& key() const { return key_; }
    const server_stats& stats() const { return stats_; }
    data_path& data() { return *data_; }

    // Snapshots taken under the loop's lock.
    size_t session_count() const;
    std::optional<session> find_session(uint32_t sid) const;

  private:
    void run();
    void handle_datagrams();

    server_options options_;
    std::unique_ptr<data_path> data_;
    std::shared_ptr<spdlog::logger> log_;
    signing_key key_;
    address_pool pool_;
    udp_endpoint endpoint_;
    outbox outbox_;
    server_stats stats_;
    std::unique_ptr<message_dispatcher> dispatcher_;
    std::vector<uint8_t> receive_buf_;
    mutable std::mutex state_lock_;  // dispatcher state, shared with the snapshots
    int wake_fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread loop_;
};
