#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "engine_log.h"
#include "fd_io_linux.h"
#include "resolver.h"

extern char** environ;

namespace {

const char RESOLV_CONF[] = "/etc/resolv.conf";
const char RESOLV_TEMP[] = "/etc/resolv.conf.quarnel-new";
const char MANAGER[] = "resolvconf";

// A resolver manager that is slow is waited for this long, then killed: the caller holds the
// session lock, and every export waits with it.
constexpr int MANAGER_TIMEOUT_MS = 10000;
constexpr int WAIT_STEP_MS = 10;

// Only absolute entries: the engine runs as root, and an empty or relative entry would run
// whatever the working directory holds.
std::string find_on_path(const char* program) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        std::string candidate = dir + "/" + program;
        if (!dir.empty() && dir[0] == '/' && access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return std::string();
}

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
        error = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
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

int read_file(const char* path, std::string* content, mode_t* mode) {
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return errno;
    }
    struct stat st {};
    int error = fstat(fd, &st) == 0 ? 0 : errno;
    *mode = st.st_mode & 0777;
    char buffer[4096];
    while (error == 0) {
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = n < 0 ? errno : 0;
            break;
        }
        content->append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return error;
}

// Writes a whole file in place, which keeps its inode, owner and any bind mount on it.
int write_file(const char* path, const std::string& content, mode_t mode, bool durable) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) {
        return errno;
    }
    int error = write_all(fd, content);
    if (error == 0 && fchmod(fd, mode) != 0) {
        error = errno;
    }
    if (error == 0 && durable && fsync(fd) != 0) {
        error = errno;
    }
    if (close(fd) != 0 && error == 0) {
        error = errno;
    }
    return error;
}

// Puts a new file or link in place of the resolver file in one step.
int replace_with(const resolver_file_state& state) {
    unlink(RESOLV_TEMP);
    int error = state.kind == resolver_file_state::link
                    ? (symlink(state.data.c_str(), RESOLV_TEMP) == 0 ? 0 : errno)
                    : write_file(RESOLV_TEMP, state.data, state.mode, true);
    if (error == 0 && rename(RESOLV_TEMP, RESOLV_CONF) != 0) {
        error = errno;
    }
    if (error != 0) {
        unlink(RESOLV_TEMP);
    }
    return error;
}

}  // namespace

std::string resolver_manager() {
    return find_on_path(MANAGER);
}

int register_resolver(const std::string& manager, const std::string& name,
                      const std::string& lines) {
    return run_program(manager, {"-a", name}, lines);
}

int unregister_resolver(const std::string& name) {
    const std::string manager = resolver_manager();
    return manager.empty() ? ENOENT : run_program(manager, {"-d", name}, "");
}

int read_resolver_file(resolver_file_state* state) {
    *state = resolver_file_state{};
    struct stat st {};
    if (lstat(RESOLV_CONF, &st) != 0) {
        return errno == ENOENT ? 0 : errno;
    }
    if (S_ISLNK(st.st_mode)) {
        std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
        ssize_t n = readlink(RESOLV_CONF, &target[0], target.size());
        if (n <= 0 || static_cast<size_t>(n) >= target.size()) {
            return n < 0 ? errno : EAGAIN;
        }
        target.resize(static_cast<size_t>(n));
        state->kind = resolver_file_state::link;
        state->data = target;
        return 0;
    }
    if (!S_ISREG(st.st_mode)) {
        return EINVAL;
    }
    mode_t mode = 0;
    int error = read_file(RESOLV_CONF, &state->data, &mode);
    state->kind = resolver_file_state::file;
    state->mode = mode;
    return error;
}

// A symlinked file belongs to whoever manages its target: replace the link, leave the target.
int write_resolver_file(const std::string& content) {
    struct stat st {};
    if (lstat(RESOLV_CONF, &st) == 0 && S_ISREG(st.st_mode)) {
        return write_file(RESOLV_CONF, content, st.st_mode & 0777, true);
    }
    return replace_with(resolver_file_state{resolver_file_state::file, 0644, content});
}

int restore_resolver_file(const resolver_file_state& found, const std::string& written) {
    resolver_file_state now;
    int error = read_resolver_file(&now);
    if (error != 0) {
        return error;
    }
    if (now.kind != resolver_file_state::file || now.data != written) {
        QN_INFO("resolver file changed by someone else since the session wrote it: left as it is");
        return 0;
    }
    return put_back_resolver_file(found);
}

int put_back_resolver_file(const resolver_file_state& found) {
    switch (found.kind) {
        case resolver_file_state::file:
            return write_file(RESOLV_CONF, found.data, found.mode, true);
        case resolver_file_state::link:
            return replace_with(found);
        case resolver_file_state::absent:
            return unlink(RESOLV_CONF) == 0 || errno == ENOENT ? 0 : errno;
    }
    return EINVAL;
}
