// A program a test starts in the network namespace of the calling thread, its standard output
// and error on a pipe; killed at the end of its scope if it still runs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace netns_test {

struct program {
    pid_t pid = -1;
    int out = -1;
    std::string output;

    // argv[0] is the program's path.
    explicit program(const std::vector<std::string>& argv);
    ~program();
    program(const program&) = delete;
    program& operator=(const program&) = delete;

    // Reads until the output holds the text; false at its end or after the time-out.
    bool read_until(const std::string& text, std::chrono::milliseconds timeout);
    // Everything it writes until it closes its output.
    void read_to_end(std::chrono::milliseconds timeout);
    // Its exit status; -1 when it did not exit by itself.
    int wait_exit();
    void kill_now();
};

}  // namespace netns_test
