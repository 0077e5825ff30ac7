// A program's connection to the engine service: one request at a time, each answered within
// its time-out. Not thread-safe: a caller that shares one serialises its calls.
#pragma once

#include <chrono>
#include <string>

#include "service_protocol.h"

namespace engine_service {

// $QUARNEL_SOCKET when set, else the service's default socket.
std::string socket_path();

class connection {
  public:
    explicit connection(std::string path);
    ~connection();
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;

    // Connects first when not connected, sends the request and waits for its reply, all
    // within `timeout`. false with the reason when the service could not be reached or did
    // not answer properly; the connection is closed then, and the next call connects anew.
    // An error reply is a reply: true, with `out->ok` false.
    bool call(const request& r, reply* out, std::chrono::milliseconds timeout, std::string* why);
    // Whether the service has closed an open connection (looked at without waiting).
    bool lost() const;
    bool is_open() const { return fd_ >= 0; }
    void close();
    const std::string& path() const { return path_; }

  private:
    bool open(std::chrono::steady_clock::time_point deadline, std::string* why);

    std::string path_;
    int fd_ = -1;
};

}  // namespace engine_service
