// The reference VPN server: one UDP socket, many sessions, one thread per direction. The
// receiving thread takes every datagram from the socket (handshakes, control messages and
// data towards the network) and keeps the timers; the sending thread reads what the data path
// has for clients and sends it, so that neither direction waits for the other. An answer the
// network gives at once to what the receiving thread wrote (a ping's echo) is sent by the
// receiving thread itself when the sending thread is idle: handing it over would cost a
// thread wake-up, often on the other CPU, which is most of a round trip's time.
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

    // Loads the key, binds the socket and starts the threads; false with a message.
    bool start(std::string* error);
    void stop();

    uint16_t port() const { return endpoint_.port(); }
    const signing_key& key() const { return key_; }
    const server_stats& stats() const { return stats_; }
    data_path& data() { return *data_; }

    // Snapshots taken between two datagrams.
    size_t session_count() const;
    std::optional<session> find_session(uint32_t sid) const;

  private:
    void receive_loop();
    void send_loop();
    // Waits for the descriptor, the wake-up or the time-out; false once stopping.
    bool wait(int fd, int timeout_ms, bool* readable);
    // True when the turn took any datagram.
    bool handle_datagrams();
    // The device turn, held: reads what the data path has for clients when `readable`, sends
    // what is due.
    void serve_device(bool readable);

    server_options options_;
    std::unique_ptr<data_path> data_;
    std::shared_ptr<spdlog::logger> log_;
    signing_key key_;
    address_pool pool_;
    udp_endpoint endpoint_;
    outbox replies_;  // the receiving thread's
    // Whoever has the device turn: reading the data path's device, sealing what it gave into
    // to_clients_ and sending it, so that the clients get it in the order it was read.
    std::mutex device_turn_;
    outbox to_clients_;
    server_stats stats_;
    std::unique_ptr<message_dispatcher> dispatcher_;
    std::unique_ptr<outbox_sender> to_clients_sender_;
    mutable std::mutex state_lock_;  // held by the receiving thread while it handles datagrams
    int wake_fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread receiver_;
    std::thread sender_;
};
