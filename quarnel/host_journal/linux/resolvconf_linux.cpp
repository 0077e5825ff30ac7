#include <net/if.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine_log.h"
#include "fd_io_linux.h"
#include "resolver.h"

extern char** environ;

namespace {

// A resolver manager that is slow is waited for this long, then killed: the caller holds the
// session lock, and every export waits with it.
constexpr int MANAGER_TIMEOUT_MS = 10000;
constexpr int WAIT_STEP_MS = 10;

// Waits for the program until the deadline; then it and whatever it started are killed.
int wait_bounded(const std::string& program, pid_t pid, int* status) {
    for (int waited = 0;; waited += WAIT_STEP_MS) {
        pid_t done = waitpid(pid, status, WNOHANG);
        if (done == pid) {
            return 0;
        }
        if (done < 0 && errno != EINTR) {
            return errno;
        }
        if (waited >= MANAGER_TIMEOUT_MS) {
            break;
        }
        usleep(WAIT_STEP_MS * 1000);
    }
    kill(-pid, SIGKILL);
    while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
    const std::string name = program.substr(program.rfind('/') + 1);
    QN_ERROR("{} did not finish within {} ms and was killed", name, MANAGER_TIMEOUT_MS);
    return ETIMEDOUT;
}

// Runs the program with the text as its standard input: 0, its nonzero exit status, or an
// errno (ETIMEDOUT when it had to be killed).
int run_program(const std::string& program, const std::vector<std::string>& args,
                const std::string& input) {
    int in = memfd_create("quarnel-input", MFD_CLOEXEC);
    if (in < 0) {
        return errno;
    }
    int error = write_all(in, input);
    if (error == 0 && lseek(in, 0, SEEK_SET) < 0) {
        error = errno;
    }
    posix_spawn_file_actions_t actions;
    pid_t pid = -1;
    if (error == 0) {
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        // A group of its own, so that a kill reaches what it started; no signal blocked, as the
        // calling thread may block some for its program.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setpgroup(&attributes, 0);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
        // Not the service manager's notification socket: the program would speak for the service.
        std::vector<char*> env;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            if (std::strncmp(*entry, "NOTIFY_SOCKET=", 14) != 0) {
                env.push_back(*entry);
            }
        }
        env.push_back(nullptr);
        error = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), env.data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    close(in);
    if (error != 0) {
        return error;
    }
    int status = 0;
    error = wait_bounded(program, pid, &status);
    if (error != 0) {
        return error;
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return 128 + WTERMSIG(status);
}

}  // namespace

int register_resolver(const std::string& program, bool exclusive, const std::string& name,
                      const std::string& lines) {
    std::vector<std::string> args{"-a", name};
    if (exclusive) {
        args.insert(args.begin(), "-x");
    }
    return run_program(program, args, lines);
}

int unregister_resolver(const std::string& name) {
    resolver_facts facts;
    observe_resolvconf(&facts);
    if (facts.resolvconf.empty()) {
        return ENOENT;
    }
    // systemd-resolved's program speaks for a link, which forgets everything when it goes.
    if (facts.resolvconf_is_resolved && if_nametoindex(name.c_str()) == 0) {
        return 0;
    }
    return run_program(facts.resolvconf, {"-d", name}, "");
}
