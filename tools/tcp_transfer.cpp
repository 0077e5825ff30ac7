// Moves a verifiable byte stream over one TCP connection.
//   tcp_transfer serve --port P [--timeout S]   receive one connection, verify, report
//   tcp_transfer send --host A --port P --bytes N
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tcp_stream.h"

namespace {

const char* arg(int argc, char** argv, const char* name, const char* fallback) {
    for (int i = 2; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) {
            return argv[i + 1];
        }
    }
    return fallback;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const int port = std::atoi(arg(argc, argv, "--port", "0"));
    std::string error;
    if (mode == "serve" && port > 0 && port < 65536) {
        int listener = tcp_stream::listen_on(static_cast<uint16_t>(port), &error);
        if (listener < 0) {
            std::fprintf(stderr, "tcp_transfer: %s\n", error.c_str());
            return 2;
        }
        std::printf("listening on port %d\n", port);
        std::fflush(stdout);
        auto r = tcp_stream::receive_verified(
            listener, std::chrono::seconds(std::atoi(arg(argc, argv, "--timeout", "60"))));
        if (!r.verified) {
            std::printf("FAILED after %llu bytes: %s\n", static_cast<unsigned long long>(r.bytes),
                        r.error.c_str());
            return 1;
        }
        std::printf("received %llu bytes, content verified, %.1f Mbit/s\n",
                    static_cast<unsigned long long>(r.bytes), r.bytes * 8 / r.seconds / 1e6);
        return 0;
    }
    if (mode == "send" && port > 0 && port < 65536) {
        const uint64_t bytes = std::strtoull(arg(argc, argv, "--bytes", "1048576"), nullptr, 10);
        if (!tcp_stream::send_stream(arg(argc, argv, "--host", "127.0.0.1"),
                                     static_cast<uint16_t>(port), bytes, &error)) {
            std::fprintf(stderr, "tcp_transfer: %s\n", error.c_str());
            return 2;
        }
        std::printf("sent %llu bytes\n", static_cast<unsigned long long>(bytes));
        return 0;
    }
    std::fprintf(stderr,
                 "usage: tcp_transfer serve --port P [--timeout S]\n"
                 "       tcp_transfer send --host A --port P --bytes N\n");
    return 64;
}
