#include "child_program.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "netns.h"

namespace netns_test {

program::program(const std::vector<std::string>& argv) {
    out = spawn_with_output(argv.at(0), argv, &pid);
}

program::~program() {
    if (pid > 0) {
        kill(pid, SIGKILL);
        wait_exit();
    }
    if (out >= 0) {
        close(out);
    }
}

bool program::read_until(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (output.find(text) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd readable{out, POLLIN, 0};
        if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) != 1) {
            return false;
        }
        char buffer[1024];
        ssize_t n = read(out, buffer, sizeof(buffer));
        if (n <= 0) {
            return output.find(text) != std::string::npos;
        }
        output.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

void program::read_to_end(std::chrono::milliseconds timeout) {
    const std::string never(1, '\0');
    read_until(never, timeout);
}

int program::wait_exit() {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void program::kill_now() {
    kill(pid, SIGKILL);
    wait_exit();
}

}  // namespace netns_test
