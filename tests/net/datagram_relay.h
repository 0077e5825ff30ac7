// Stands between a tunnel client and its server and keeps a copy of every datagram the client
// sends, one by one as a receiver without coalescing sees them: the wire as the server gets it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class datagram_relay {
  public:
    ~datagram_relay();

    // Listens on listen_addr:listen_port and forwards to server_addr:server_port, both in the
    // namespace the caller is in; replies go back to the client. False with a message.
    bool start(const char* listen_addr, uint16_t listen_port, const char* server_addr,
               uint16_t server_port, std::string* error);
    void stop();

    std::vector<std::vector<uint8_t>> from_client() const;

  private:
    void run();

    int client_side_ = -1;
    int server_side_ = -1;
    std::atomic<bool> running_{false};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<std::vector<uint8_t>> from_client_;
};
