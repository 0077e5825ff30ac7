#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "engine_log.h"
#include "resolver.h"
#include "resolver_file_keeper_linux.h"

namespace {

const char ETC[] = "/etc";
const char NAME[] = "resolv.conf";
// A program that rewrites the file whenever it changes is answered at most this often, so two
// of them cannot keep each other and the disk busy.
constexpr auto REWRITE_SPACING = std::chrono::seconds(1);

// The file is replaced by rename as often as written in place: the directory is watched.
class keeper {
  public:
    ~keeper() { stop(); }

    void start(const std::string& written) {
        stop();
        notify_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (notify_ < 0 || wake_ < 0 ||
            inotify_add_watch(notify_, ETC, IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE) <
                0) {
            QN_WARN("resolver file not watched, errNo={}: a rewrite by another program stays",
                    errno);
            close_fds();
            return;
        }
        written_ = written;
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::exception& e) {
            QN_WARN("resolver file not watched: {}", e.what());
            close_fds();
        }
    }

    void stop() {
        if (thread_.joinable()) {
            const uint64_t one = 1;
            ssize_t n = write(wake_, &one, sizeof(one));
            (void)n;
            thread_.join();
        }
        close_fds();
    }

  private:
    void close_fds() {
        for (int* fd : {&notify_, &wake_}) {
            if (*fd >= 0) {
                close(*fd);
                *fd = -1;
            }
        }
    }

    // Whether an event of the directory concerns the file.
    bool touched() {
        alignas(inotify_event) char buffer[4096];
        bool found = false;
        ssize_t n;
        while ((n = read(notify_, buffer, sizeof(buffer))) > 0) {
            for (char* p = buffer; p < buffer + n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(p);
                found = found || (event->len > 0 && std::strcmp(event->name, NAME) == 0);
                p += sizeof(inotify_event) + event->len;
            }
        }
        return found;
    }

    void run() {
        using clock = std::chrono::steady_clock;
        bool logged = false;
        auto last = clock::now() - REWRITE_SPACING;
        pollfd fds[2] = {{notify_, POLLIN, 0}, {wake_, POLLIN, 0}};
        bool pending = false;
        for (;;) {
            int timeout = -1;
            if (pending) {
                const auto left = last + REWRITE_SPACING - clock::now();
                timeout = std::max<int>(
                    0, static_cast<int>(
                           std::chrono::duration_cast<std::chrono::milliseconds>(left).count()) +
                           1);
            }
            if (poll(fds, 2, timeout) < 0 && errno != EINTR) {
                return;
            }
            if ((fds[1].revents & POLLIN) != 0) {
                return;
            }
            pending = ((fds[0].revents & POLLIN) != 0 && touched()) || pending;
            if (!pending || clock::now() < last + REWRITE_SPACING) {
                continue;
            }
            pending = false;
            resolver_file_state found;
            if (read_resolver_file(&found) == 0 && found.kind == resolver_file_state::file &&
                found.data == written_) {
                continue;  // its own write
            }
            if (!logged) {
                QN_WARN(
                    "resolver file rewritten by another program while the session runs: "
                    "written again");
                logged = true;
            }
            last = clock::now();
            const int error = write_resolver_file(written_);
            if (error != 0) {
                QN_ERROR("resolver file could not be written again, errNo={}", error);
            }
        }
    }

    int notify_ = -1;
    int wake_ = -1;
    std::string written_;
    std::thread thread_;
};

std::mutex keeper_lock;

keeper& the_keeper() {
    static keeper instance;
    return instance;
}

}  // namespace

void keep_resolver_file(const std::string& written) {
    std::lock_guard<std::mutex> guard(keeper_lock);
    the_keeper().start(written);
}

void stop_keeping_resolver_file() {
    std::lock_guard<std::mutex> guard(keeper_lock);
    the_keeper().stop();
}
