#include "ref_server.h"

#include <poll.h>
#include <sodium.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "aead.h"

namespace {

constexpr int BATCHES_PER_TURN = 2;  // then the timers and the outbox get their turn
constexpr auto EXPIRY_PERIOD = std::chrono::seconds(1);

std::shared_ptr<spdlog::logger> make_logger() {
    auto sink = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
    auto log = std::make_shared<spdlog::logger>("ref_server", sink);
    log->set_pattern("[%H:%M:%S.%e] [ref_server] [%l] %v");
    return log;
}

int ms_until(server_clock::time_point when, server_clock::time_point now) {
    return std::max(
        0, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(when - now).count()));
}

// The earlier of two poll time-outs, -1 meaning none.
int earlier(int a, int b) {
    return a < 0 ? b : b < 0 ? a : std::min(a, b);
}

}  // namespace

ref_server::ref_server(server_options options, std::unique_ptr<data_path> data)
    : options_(std::move(options)),
      data_(std::move(data)),
      log_(make_logger()),
      replies_(std::chrono::milliseconds(options_.faults.delay_ms)),
      to_clients_(std::chrono::milliseconds(options_.faults.delay_ms)) {}

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
    if (!endpoint_.open(options_.listen, options_.port, options_.offload, error))
        return false;
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd_ < 0) {
        *error = "eventfd failed";
        return false;
    }
    dispatcher_ =
        std::make_unique<message_dispatcher>(options_, key_, pool_, *data_, stats_, *log_);
    to_clients_sender_ = std::make_unique<outbox_sender>(*dispatcher_, to_clients_);
    log_->info("listening on {} port {}, public key {}", options_.listen, port(),
               key_.public_hex());
    log_->info("UDP: {}", endpoint_.batching());
    log_->info("data path: {}", data_->describe());
    log_->info("ChaCha20-Poly1305: {}", active_aead().reason);
    receiver_ = std::thread(&ref_server::receive_loop, this);
    if (data_->poll_fd() >= 0)
        sender_ = std::thread(&ref_server::send_loop, this);
    return true;
}

void ref_server::stop() {
    if (!receiver_.joinable())
        return;
    stopping_.store(true);
    // Never read: it stays readable and wakes both threads.
    const uint64_t one = 1;
    (void)!write(wake_fd_, &one, sizeof one);
    receiver_.join();
    if (sender_.joinable())
        sender_.join();
}

size_t ref_server::session_count() const {
    std::lock_guard<std::mutex> lock(state_lock_);
    return dispatcher_ ? dispatcher_->session_count() : 0;
}

std::optional<session> ref_server::find_session(uint32_t sid) const {
    std::lock_guard<std::mutex> lock(state_lock_);
    return dispatcher_ ? dispatcher_->find_session(sid) : std::nullopt;
}

bool ref_server::wait(int fd, int timeout_ms, bool* readable) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    if (poll(fds, 2, timeout_ms) < 0 && errno != EINTR) {
        log_->error("poll failed: {}", std::strerror(errno));
        return false;
    }
    *readable = (fds[0].revents & POLLIN) != 0;
    return !stopping_.load();
}

void ref_server::receive_loop() {
    auto next_expiry = server_clock::now() + EXPIRY_PERIOD;
    bool readable = false;
    for (;;) {
        const auto now = server_clock::now();
        if (!wait(endpoint_.fd(), earlier(ms_until(next_expiry, now), replies_.wait_ms(now)),
                  &readable))
            return;
        bool took = false;
        {
            std::lock_guard<std::mutex> lock(state_lock_);
            if (readable)
                took = handle_datagrams();
            if (server_clock::now() >= next_expiry) {
                dispatcher_->expire_idle(server_clock::now());
                next_expiry = server_clock::now() + EXPIRY_PERIOD;
            }
        }
        replies_.flush(server_clock::now(), endpoint_);
        // Only where a sending thread keeps the device (not sender_, which start() may still
        // be setting), and only an outbox that sends at once: a held message needs the sending
        // thread's timer.
        if (took && data_->poll_fd() >= 0 && options_.faults.delay_ms == 0 &&
            device_turn_.try_lock()) {
            std::lock_guard<std::mutex> turn(device_turn_, std::adopt_lock);
            serve_device(true);
        }
    }
}

bool ref_server::handle_datagrams() {
    bool took = false;
    for (int turn = 0; turn < BATCHES_PER_TURN; ++turn) {
        const std::vector<received_datagram>& batch = endpoint_.receive();
        for (const received_datagram& d : batch)
            dispatcher_->handle(d.data, d.len, d.from, server_clock::now(), replies_);
        data_->end_of_batch();
        if (batch.empty())
            break;
        took = true;
    }
    return took;
}

void ref_server::serve_device(bool readable) {
    if (readable)
        data_->on_readable(*to_clients_sender_);
    to_clients_.flush(server_clock::now(), endpoint_);
}

void ref_server::send_loop() {
    bool readable = false;
    for (;;) {
        int timeout_ms = -1;
        {
            std::lock_guard<std::mutex> turn(device_turn_);
            timeout_ms = to_clients_.wait_ms(server_clock::now());
        }
        if (!wait(data_->poll_fd(), timeout_ms, &readable))
            return;
        std::lock_guard<std::mutex> turn(device_turn_);
        serve_device(readable);
    }
}
