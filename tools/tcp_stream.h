// A deterministic byte stream over one TCP connection, verified on arrival, so a transfer
// through the tunnel proves that every byte came through unchanged.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace tcp_stream {

struct progress_sample {
    double seconds;  // since the connection was accepted
    uint64_t bytes;
};

struct receive_result {
    bool connected = false;
    bool verified = false;  // every byte matched the stream, and the sender closed cleanly
    uint64_t bytes = 0;
    double seconds = 0;
    std::vector<progress_sample> samples;  // about every 100 ms
    std::string error;
};

// Listens on the port (all addresses) and returns the descriptor, or -1 with *error.
int listen_on(uint16_t port, std::string* error);

// Accepts one connection on the listener within the time-out, then reads and verifies
// until the sender closes or nothing arrives for the time-out. Closes the listener.
receive_result receive_verified(int listener, std::chrono::seconds timeout);

// Connects to host:port and sends `bytes` of the stream; false with *error.
bool send_stream(const std::string& host, uint16_t port, uint64_t bytes, std::string* error);

}  // namespace tcp_stream
