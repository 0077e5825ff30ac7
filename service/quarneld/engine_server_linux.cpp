#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <optional>

#include "client_limits.h"
#include "engine_server.h"
#include "peer_check.h"
#include "service_log.h"
#include "service_protocol.h"
#include "session_owner.h"

using namespace engine_service;
using namespace client_limits;

namespace {

using clock = std::chrono::steady_clock;

// Replies are a few bytes and one is pending at a time: a client that lets this much pile up
// is not reading.
constexpr size_t MAX_PENDING_OUTPUT = 4096;
constexpr uint64_t LISTEN_TAG = 1;
constexpr uint64_t SIGNAL_TAG = 2;
constexpr uint64_t WAKE_TAG = 3;

struct client_state {
    int fd = -1;
    peer_identity peer;
    uint8_t header[LENGTH_BYTES] = {};
    std::vector<uint8_t> body;
    size_t have = 0;
    bool in_body = false;
    std::optional<clock::time_point> deadline;  // of the message under way
    clock::time_point last_heard;               // its last bytes, or its last answer
    bool busy = false;                          // a call of it is with a worker
    bool closing = false;                       // dropped once `out` is sent
    std::vector<uint8_t> out;
};

class server {
  public:
    server(int listen_fd, gid_t group, std::string group_name)
        : listen_fd_(listen_fd), group_(group), group_name_(std::move(group_name)) {}

    ~server() {
        // The workers go before the descriptor they signal.
        session_.reset();
        for (auto& [id, client] : clients_) {
            close(client.fd);
        }
        for (int fd : {epoll_fd_, signal_fd_, wake_fd_}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }

    bool setup(std::string* error) {
        sigset_t stop_signals;
        sigemptyset(&stop_signals);
        sigaddset(&stop_signals, SIGTERM);
        sigaddset(&stop_signals, SIGINT);
        epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
        signal_fd_ = signalfd(-1, &stop_signals, SFD_NONBLOCK | SFD_CLOEXEC);
        wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (epoll_fd_ < 0 || signal_fd_ < 0 || wake_fd_ < 0 || !watch(listen_fd_, LISTEN_TAG) ||
            !watch(signal_fd_, SIGNAL_TAG) || !watch(wake_fd_, WAKE_TAG)) {
            *error = std::string("cannot set up the loop: ") + std::strerror(errno);
            return false;
        }
        session_ = std::make_unique<session_owner>(libraryEngine(), wake_fd_);
        return true;
    }

    void run() {
        epoll_event events[32];
        while (!session_->ending() || !session_->idle()) {
            const int n = epoll_wait(epoll_fd_, events, 32, next_timeout_ms());
            if (n < 0 && errno != EINTR) {
                log_error("epoll_wait failed: {}", std::strerror(errno));
                break;
            }
            for (int i = 0; i < n; ++i) {
                const uint64_t tag = events[i].data.u64;
                if (tag == LISTEN_TAG) {
                    accept_clients();
                } else if (tag == SIGNAL_TAG) {
                    take_signal();
                } else if (tag == WAKE_TAG) {
                    collect_done();
                } else {
                    client_event(tag, events[i].events);
                }
            }
            expire_deadlines();
        }
    }

  private:
    bool watch(int fd, uint64_t tag) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = tag;
        return epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event) == 0;
    }

    int next_timeout_ms() const {
        std::optional<clock::time_point> nearest;
        for (const auto& [id, client] : clients_) {
            const std::optional<clock::time_point> at = due(id, client);
            if (at && (!nearest || *at < *nearest)) {
                nearest = at;
            }
        }
        if (!nearest) {
            return -1;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(*nearest - clock::now());
        return static_cast<int>(std::max<int64_t>(left.count(), 0)) + 1;
    }

    // When the loop must act on a client: at the end of its message's time, or of its idle
    // time; never while it holds the session or waits for a call.
    std::optional<clock::time_point> due(uint64_t id, const client_state& c) const {
        if (c.deadline) {
            return c.deadline;
        }
        if (c.busy || id == session_->owner()) {
            return std::nullopt;
        }
        return c.last_heard + IDLE_TIMEOUT;
    }

    std::string who(uint64_t id, const client_state& c) const {
        return fmt::format("client {} (uid {}, pid {})", client_number(id), c.peer.uid, c.peer.pid);
    }

    // An error to a connection that is not taken, sent if the socket takes it at once.
    static void refuse(int fd, error_code code) {
        const std::vector<uint8_t> frame = encode_reply(error_reply(0, code));
        const ssize_t sent = send(fd, frame.data(), frame.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        (void)sent;
        close(fd);
    }

    void accept_clients() {
        for (;;) {
            const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
                    log_error("accept failed: {}", std::strerror(errno));
                }
                if (errno != EINTR && errno != ECONNABORTED) {
                    return;
                }
                continue;
            }
            peer_identity peer;
            if (!peer_identity_of(fd, &peer)) {
                log_warning("a connection without credentials was closed");
                close(fd);
                continue;
            }
            if (!peer_allowed(peer.uid, group_)) {
                log_warning("refused uid {} (pid {}): neither root nor a member of group {}",
                            peer.uid, peer.pid, group_name_);
                refuse(fd, error_code::peer_not_allowed);
                continue;
            }
            if (session_->ending()) {
                log_warning("refused uid {} (pid {}): shutting down", peer.uid, peer.pid);
                refuse(fd, error_code::shutting_down);
                continue;
            }
            const admission taken =
                admit(peer.uid, clients_.size(), clients_of(peer.uid), session_user());
            if (taken != admission::taken) {
                log_warning("refused uid {} (pid {}): {}", peer.uid, peer.pid,
                            taken == admission::user_full ? "too many clients of this user"
                                                          : "too many clients");
                refuse(fd, error_code::busy);
                continue;
            }
            const uint64_t id = next_id_++;
            client_state& c = clients_[id];
            c.fd = fd;
            c.peer = peer;
            c.last_heard = clock::now();
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.u64 = id;
            if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event) != 0) {
                log_error("cannot watch a client: {}", std::strerror(errno));
                close(fd);
                clients_.erase(id);
                continue;
            }
            log_info("{} connected", who(id, c));
        }
    }

    size_t clients_of(uid_t uid) const {
        return static_cast<size_t>(
            std::count_if(clients_.begin(), clients_.end(),
                          [uid](const auto& entry) { return entry.second.peer.uid == uid; }));
    }

    std::optional<uid_t> session_user() const {
        const auto it = clients_.find(session_->owner());
        return it == clients_.end() ? std::nullopt : std::optional<uid_t>(it->second.peer.uid);
    }

    void take_signal() {
        signalfd_siginfo info{};
        while (read(signal_fd_, &info, sizeof(info)) == sizeof(info)) {
            if (session_->ending()) {
                continue;
            }
            log_info("{}: stopping the session and putting the host back",
                     info.ssi_signo == SIGTERM ? "SIGTERM" : "SIGINT");
            epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, listen_fd_, nullptr);
            session_->end();
        }
    }

    void client_event(uint64_t id, uint32_t events) {
        auto it = clients_.find(id);
        if (it == clients_.end()) {
            return;
        }
        client_state& c = it->second;
        if ((events & EPOLLOUT) != 0 && !flush(id, c)) {
            return;
        }
        if ((events & EPOLLIN) != 0) {
            read_from(id, c);
        } else if ((events & (EPOLLHUP | EPOLLERR)) != 0) {
            drop(id, "the connection ended");
        }
    }

    void read_from(uint64_t id, client_state& c) {
        while (!c.busy && !c.closing) {
            uint8_t* at = c.in_body ? c.body.data() + c.have : c.header + c.have;
            const size_t want = (c.in_body ? c.body.size() : LENGTH_BYTES) - c.have;
            const ssize_t n = want == 0 ? 0 : recv(c.fd, at, want, MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                if (errno != EAGAIN) {
                    drop(id, std::strerror(errno));
                }
                return;
            }
            if (n == 0 && want != 0) {
                if (c.in_body || c.have > 0) {
                    protocol_error(id, c, error_code::truncated);
                } else {
                    drop(id, "it closed the connection");
                }
                return;
            }
            c.last_heard = clock::now();
            if (c.have == 0 && !c.in_body) {
                c.deadline = c.last_heard + MESSAGE_DEADLINE;
            }
            c.have += static_cast<size_t>(n);
            if (!c.in_body && c.have == LENGTH_BYTES) {
                const uint32_t size = frame_length(c.header);
                if (size > MAX_MESSAGE) {
                    protocol_error(id, c, error_code::too_large);
                    return;
                }
                c.body.assign(size, 0);
                c.have = 0;
                c.in_body = true;
            }
            if (c.in_body && c.have == c.body.size()) {
                request r;
                error_code code = error_code::malformed;
                const bool decoded = decode_request(c.body.data(), c.body.size(), &r, &code);
                c.body = std::vector<uint8_t>();
                c.have = 0;
                c.in_body = false;
                c.deadline.reset();
                if (!decoded) {
                    protocol_error(id, c, code);
                    return;
                }
                dispatch(id, c, r);
                if (clients_.count(id) == 0) {
                    return;
                }
            }
        }
    }

    void protocol_error(uint64_t id, client_state& c, error_code code) {
        log_warning("{}: {}", who(id, c), error_name(code));
        c.closing = true;
        c.deadline.reset();
        answer(id, c, error_reply(0, code));
    }

    void dispatch(uint64_t id, client_state& c, const request& r) {
        const std::optional<reply> now = session_->take(id, who(id, c), r);
        if (now) {
            answer(id, c, *now);
            return;
        }
        // Its answer comes when the worker is done; meanwhile nothing more is read from it.
        c.busy = true;
        update_interest(id, c);
    }

    void collect_done() {
        uint64_t count = 0;
        const ssize_t got = read(wake_fd_, &count, sizeof(count));
        (void)got;
        for (const job_done& done : session_->collect()) {
            auto it = clients_.find(done.client);
            if (it == clients_.end()) {
                continue;
            }
            it->second.busy = false;
            it->second.last_heard = clock::now();
            answer(done.client, it->second, done.answer);
        }
    }

    void answer(uint64_t id, client_state& c, const reply& r) {
        const std::vector<uint8_t> frame = encode_reply(r);
        c.out.insert(c.out.end(), frame.begin(), frame.end());
        if (flush(id, c)) {
            update_interest(id, c);
        }
    }

    // Sends what is pending; false when the client was dropped.
    bool flush(uint64_t id, client_state& c) {
        while (!c.out.empty()) {
            const ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno == EAGAIN) {
                break;
            }
            if (n <= 0) {
                drop(id, "its connection failed");
                return false;
            }
            c.out.erase(c.out.begin(), c.out.begin() + n);
        }
        if (c.out.size() > MAX_PENDING_OUTPUT) {
            drop(id, "it does not read its replies");
            return false;
        }
        if (c.out.empty() && c.closing) {
            drop(id, "after its error");
            return false;
        }
        return true;
    }

    void update_interest(uint64_t id, client_state& c) {
        epoll_event event{};
        event.events = (c.busy || c.closing ? 0u : static_cast<uint32_t>(EPOLLIN)) |
                       (c.out.empty() ? 0u : static_cast<uint32_t>(EPOLLOUT));
        event.data.u64 = id;
        epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, c.fd, &event);
    }

    void drop(uint64_t id, const char* why) {
        auto it = clients_.find(id);
        if (it == clients_.end()) {
            return;
        }
        log_info("{} dropped: {}", who(id, it->second), why);
        session_->client_gone(id);
        epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, it->second.fd, nullptr);
        close(it->second.fd);
        clients_.erase(it);
    }

    void expire_deadlines() {
        const clock::time_point now = clock::now();
        std::vector<uint64_t> late;
        for (const auto& [id, client] : clients_) {
            const std::optional<clock::time_point> at = due(id, client);
            if (at && *at <= now) {
                late.push_back(id);
            }
        }
        for (uint64_t id : late) {
            auto it = clients_.find(id);
            if (it == clients_.end()) {
                continue;
            }
            if (it->second.deadline) {
                protocol_error(id, it->second, error_code::timed_out);
            } else {
                // Nothing was asked: the program connects again when it needs the service.
                drop(id, "it sent nothing in its idle time");
            }
        }
    }

    const int listen_fd_;
    const gid_t group_;
    const std::string group_name_;
    int epoll_fd_ = -1;
    int signal_fd_ = -1;
    int wake_fd_ = -1;
    std::map<uint64_t, client_state> clients_;
    uint64_t next_id_ = FIRST_CLIENT;
    std::unique_ptr<session_owner> session_;
};

}  // namespace

bool serve_clients(int listen_fd, gid_t group, const std::string& group_name, std::string* error) {
    server s(listen_fd, group, group_name);
    if (!s.setup(error)) {
        return false;
    }
    s.run();
    return true;
}
