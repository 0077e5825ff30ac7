#include "ref_server.h"

#include <poll.h>
#include <sodium.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr int RECEIVE_BUF_LEN = 0x10000 + VPN_HEADER_LEN;
constexpr int DATAGRAMS_PER_BATCH = 32;  // one system call's worth
constexpr int BATCHES_PER_TURN = 2;      // then the outbox gets its turn
constexpr auto EXPIRY_PERIOD = std::chrono::seconds(1);

std::shared_ptr<spdlog::logger> make_logger() {
    auto sink = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
    auto log = std::make_shared<spdlog::logger>("ref_server", sink);
    log->set_pattern("[%H:%M:%S.%e] [ref_server] [%l] %v");
    return log;
}

}  // namespace

ref_server::ref_server(server_options options, std::unique_ptr<data_path> data)
    : options_(std::move(options)),
      data_(std::move(data)),
      log_(make_logger()),
      receive_buf_(static_cast<size_t>(RECEIVE_BUF_LEN) * DATAGRAMS_PER_BATCH) {}

ref_server::~ref_server() {
    stop();
    if (wake_fd_ >= 0)
        close(wake_fd_);
}

bool ref_server::start(std::string* error) {
    const auto level = spdlog::level::from_str(options_.log_level);
    if (level == spdlog::level::off && options_.log_level != "off") {
        *error = "unknown log level " + options_.log_level;
        return false;
    }
    log_->set_level(level);
    if (sodium_init() < 0) {
        *error = "sodium_init failed";
        return false;
    }
    if (!pool_.configure(options_.pool)) {
        *error = "bad address pool " + options_.pool + " (want a.b.c.d/8..30)";
        return false;
    }
    if (options_.key_file.empty())
        key_ = signing_key::generate();
    else if (!signing_key::load_or_create(options_.key_file, &key_, error))
        return false;
    if (!endpoint_.open(options_.listen, options_.port, error))
        return false;
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd_ < 0) {
        *error = "eventfd failed";
        return false;
    }
    const auto delay = std::chrono::milliseconds(options_.faults.delay_ms);
    dispatcher_ = std::make_unique<message_dispatcher>(
        options_, key_, pool_, *data_, stats_, *log_,
        [this, delay](const peer_address& to, const uint8_t* msg, int len) {
            outbox_.push(server_clock::now() + delay, to, msg, len);
        });
    log_->info("listening on {} port {}, public key {}", options_.listen, port(),
               key_.public_hex());
    loop_ = std::thread(&ref_server::run, this);
    return true;
}

void ref_server::stop() {
    if (!loop_.joinable())
        return;
    stopping_.store(true);
    const uint64_t one = 1;
    (void)!write(wake_fd_, &one, sizeof one);
    loop_.join();
}

size_t ref_server::session_count() const {
    std::lock_guard<std::mutex> lock(state_lock_);
    return dispatcher_ ? dispatcher_->sessions().size() : 0;
}

std::optional<session> ref_server::find_session(uint32_t sid) const {
    std::lock_guard<std::mutex> lock(state_lock_);
    const session* s = dispatcher_ ? dispatcher_->sessions().find(sid) : nullptr;
    return s != nullptr ? std::optional<session>(*s) : std::nullopt;
}

void ref_server::run() {
    auto next_expiry = server_clock::now() + EXPIRY_PERIOD;
    while (!stopping_.load()) {
        pollfd fds[3] = {
            {endpoint_.fd(), POLLIN, 0}, {wake_fd_, POLLIN, 0}, {data_->poll_fd(), POLLIN, 0}};
        const nfds_t count = data_->poll_fd() >= 0 ? 3 : 2;
        const auto now = server_clock::now();
        const int until_expiry = static_cast<int>(
            std::chrono::ceil<std::chrono::milliseconds>(next_expiry - now).count());
        const int until_reply = outbox_.wait_ms(now);
        int timeout = std::max(until_expiry, 0);
        if (until_reply >= 0)
            timeout = std::min(timeout, until_reply);
        if (poll(fds, count, timeout) < 0 && errno != EINTR) {
            log_->error("poll failed: {}", std::strerror(errno));
            return;
        }
        {
            std::lock_guard<std::mutex> lock(state_lock_);
            if (fds[0].revents & POLLIN)
                handle_datagrams();
            if (count == 3 && (fds[2].revents & POLLIN))
                data_->on_readable(*dispatcher_);
            if (server_clock::now() >= next_expiry) {
                dispatcher_->expire_idle(server_clock::now());
                next_expiry = server_clock::now() + EXPIRY_PERIOD;
            }
        }
        outbox_.flush(server_clock::now(), endpoint_);
    }
}

void ref_server::handle_datagrams() {
    peer_address from[DATAGRAMS_PER_BATCH];
    int lengths[DATAGRAMS_PER_BATCH];
    for (int turn = 0; turn < BATCHES_PER_TURN; ++turn) {
        const int n = endpoint_.receive_batch(receive_buf_.data(), RECEIVE_BUF_LEN,
                                              DATAGRAMS_PER_BATCH, from, lengths);
        for (int i = 0; i < n; ++i) {
            dispatcher_->handle(receive_buf_.data() + static_cast<size_t>(i) * RECEIVE_BUF_LEN,
                                lengths[i], from[i], server_clock::now());
        }
        if (n < DATAGRAMS_PER_BATCH)
            return;
    }
}
