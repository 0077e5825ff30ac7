#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "data_handler.h"
#include "engine_log.h"
#include "quarnel.h"
#include "socket_util.h"
#include "tun_util.h"

struct worker_wakeup {
    int fd;
};

worker_wakeup* worker_wakeup_create() {
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        return nullptr;  // workers then notice a stop at their next bounded wait
    }
    return new worker_wakeup{fd};
}

void worker_wakeup_signal(worker_wakeup* wakeup) {
    if (wakeup != nullptr) {
        const uint64_t one = 1;
        ssize_t ignored = write(wakeup->fd, &one, sizeof(one));
        (void)ignored;
    }
}

void worker_wakeup_wait(worker_wakeup* wakeup, int timeout_ms) {
    if (wakeup == nullptr) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
        return;
    }
    pollfd p{wakeup->fd, POLLIN, 0};
    poll(&p, 1, timeout_ms);
}

void worker_wakeup_destroy(worker_wakeup* wakeup) {
    if (wakeup != nullptr) {
        close(wakeup->fd);
        delete wakeup;
    }
}

namespace {

// Packets moved per lock or system call when no rate limit asks for one at a time.
constexpr int BATCH = 32;
// Large enough for any packet the device can hand over, so an oversized one is seen whole
// and dropped instead of being cut.
constexpr int TUN_READ_BUF = 65536;
constexpr int MAX_FRAMED_PACKET = MSG_BUF_LEN - VPN_HEADER_LEN - AEAD_TAG_LEN;

// Helpers of a worker log under its name.
constexpr const char* TUN_READER = "tun_reader";
constexpr const char* UDP_SENDER = "udp_sender";
constexpr const char* UDP_RECEIVER = "udp_receiver";
constexpr const char* TUN_WRITER = "tun_writer";

enum wait_result { WAIT_READY, WAIT_TIMEOUT, WAIT_WOKEN, WAIT_FAILED };

wait_result wait_fd(int fd, short events, worker_wakeup* wakeup, int timeout_ms) {
    pollfd fds[2] = {{fd, events, 0}, {wakeup != nullptr ? wakeup->fd : -1, POLLIN, 0}};
    for (;;) {
        int r = poll(fds, 2, timeout_ms);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0) {
            return WAIT_FAILED;
        }
        if (r == 0) {
            return WAIT_TIMEOUT;
        }
        if (fds[1].revents != 0) {
            return WAIT_WOKEN;
        }
        return WAIT_READY;
    }
}

void give_up(int32_t code) {
    g_engine_status.exchange(code);
}

enum readiness { READY, NOT_YET, FAILED };

// The readers' bounded wait: a time-out is logged as idle, a stop's wake-up sends the
// worker back to its loop test, a failed wait is logged and ends the worker.
readiness wait_readable(qn_ctx_t* ctx, int fd, const char* worker, const char* idle_text) {
    switch (wait_fd(fd, POLLIN, ctx->wakeup, IO_WAIT_MS)) {
        case WAIT_READY:
            return READY;
        case WAIT_TIMEOUT:
            QN_DEBUG_IN(worker, "{}", idle_text);
            return NOT_YET;
        case WAIT_WOKEN:
            return NOT_YET;
        default:
            QN_ERROR_IN(worker, "WaitForSingleObject failed: {0}.", errno);
            return FAILED;
    }
}

// Passes a batch on to the next stage. A direction without a limit, with nothing queued and
// nothing in flight, is served at once by the calling thread (`direct` returns how many
// entries it got rid of), which saves a thread hand-off per batch; the rest, or everything
// otherwise, goes onto the queue for the worker in the order it came.
template <typename Direct>
void hand_over(std::mutex& mutex, std::condition_variable_any& cond, packet_queue& queue,
               bool& in_flight, bool unlimited, std::vector<std::vector<uint8_t>>& batch,
               Direct direct) {
    if (batch.empty()) {
        return;
    }
    bool mine = false;
    if (unlimited) {
        std::lock_guard<std::mutex> lock(mutex);
        if (queue.empty() && !in_flight) {
            in_flight = mine = true;
        }
    }
    const size_t done = mine ? direct(batch) : 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (mine) {
            in_flight = false;
        }
        for (size_t i = done; i < batch.size(); ++i) {
            queue.push(std::move(batch[i]));
        }
        if (done < batch.size()) {
            cond.notify_one();
        }
    }
    batch.clear();
}

// Waits up to 1 ms for entries and moves up to `limit` of them out of the queue; the batch
// stays in flight until finish_batch.
void take_batch(std::mutex& mutex, std::condition_variable_any& cond, packet_queue& queue,
                bool& in_flight, size_t limit, std::vector<std::vector<uint8_t>>& batch) {
    std::unique_lock<std::mutex> lock(mutex);
    if (!cond.wait_for(lock, std::chrono::milliseconds(1), [&] { return !queue.empty(); })) {
        return;
    }
    while (!queue.empty() && batch.size() < limit) {
        batch.push_back(std::move(queue.front()));
        queue.pop();
    }
    in_flight = true;
}

void finish_batch(std::mutex& mutex, bool& in_flight, std::vector<std::vector<uint8_t>>& batch) {
    batch.clear();
    std::lock_guard<std::mutex> lock(mutex);
    in_flight = false;
}

// One message header per datagram of the batch (at most BATCH), all to the server.
size_t prepare_datagrams(udp_socket* sock, const std::vector<std::vector<uint8_t>>& batch,
                         mmsghdr* msgs, iovec* iovs) {
    const size_t count = std::min(batch.size(), static_cast<size_t>(BATCH));
    for (size_t i = 0; i < count; ++i) {
        iovs[i] = {const_cast<uint8_t*>(batch[i].data()), batch[i].size()};
        msgs[i] = {};
        msgs[i].msg_hdr.msg_name = &sock->peer;
        msgs[i].msg_hdr.msg_namelen = static_cast<socklen_t>(sock->peer_len);
        msgs[i].msg_hdr.msg_iov = &iovs[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    return count;
}

// Sends what the socket takes without waiting; returns how many datagrams went out.
size_t send_without_waiting(qn_ctx_t* ctx, traffic_stats* traffic,
                            const std::vector<std::vector<uint8_t>>& batch) {
    udp_socket* sock = ctx->sock;
    mmsghdr msgs[BATCH];
    iovec iovs[BATCH];
    const size_t count = prepare_datagrams(sock, batch, msgs, iovs);
    size_t done = 0;
    while (done < count) {
        int r = sendmmsg(sock->s, msgs + done, static_cast<unsigned>(count - done), MSG_DONTWAIT);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            break;  // the sender worker deals with a full socket and with errors
        }
        for (int i = 0; i < r; ++i) {
            traffic->tx_bytes.fetch_add(batch[done + i].size());
        }
        done += static_cast<size_t>(r);
    }
    return done;
}

// Writes packets to the device until it would block or refuses one; returns how many.
size_t write_without_waiting(qn_ctx_t* ctx, traffic_stats* traffic,
                             const std::vector<std::vector<uint8_t>>& batch) {
    size_t done = 0;
    for (const auto& packet : batch) {
        if (write(ctx->tun->handle, packet.data(), packet.size()) < 0) {
            break;  // the writer worker deals with a full device and with errors
        }
        traffic->rx_bytes.fetch_add(packet.size());
        ++done;
    }
    return done;
}

void seal_packet(qn_ctx_t* ctx, uint8_t* packet, int n, std::vector<std::vector<uint8_t>>& out,
                 std::atomic<int64_t>& last_rekey_ms) {
    if (ctx->proto->tx_seq.load() >= TX_SEQ_REKEY_LIMIT) {
        request_rekey_throttled(ctx, last_rekey_ms, TUN_READER);
        return;
    }
    if (n > MAX_FRAMED_PACKET) {
        QN_WARN_IN(TUN_READER, "Packet of {} bytes does not fit a message, dropped.", n);
        return;
    }
    clamp_tcp_mss(packet, n, ctx->tun->mtu - 40);
    std::vector<uint8_t> msg(static_cast<size_t>(n) + VPN_HEADER_LEN + AEAD_TAG_LEN);
    int len = 0;
    if (data_trans_encrypt(ctx->proto, packet, n, msg.data(), &len) == 0) {
        msg.resize(static_cast<size_t>(len));
        out.push_back(std::move(msg));
    }
}

}  // namespace

namespace {

void send_batch(traffic_stats* traffic, std::vector<std::vector<uint8_t>>& batch) {
    qn_ctx_t* ctx = traffic->ctx;
    hand_over(ctx->send_mutex, ctx->send_cond, ctx->send_queue, ctx->send_in_flight,
              ctx->upload_limit.load() == 0, batch,
              [&](const auto& b) { return send_without_waiting(ctx, traffic, b); });
}

}  // namespace

int tun_reader(traffic_stats* traffic) {
    qn_ctx_t* ctx = traffic->ctx;
    static std::atomic<int64_t> last_rekey_ms{0};
    const int fd = ctx->tun->handle;
    std::vector<uint8_t> buf(TUN_READ_BUF);
    std::vector<std::vector<uint8_t>> batch;
    batch.reserve(BATCH);
    while (ctx->running.load()) {
        const readiness ready = wait_readable(ctx, fd, __func__, "Read no data from tun.");
        if (ready == FAILED) {
            give_up(-1);
            return 0;
        }
        if (ready == NOT_YET) {
            continue;
        }
        for (int i = 0; i < BATCH; ++i) {
            ssize_t n = read(fd, buf.data(), buf.size());
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR) {
                    break;
                }
                if (errno == ENOBUFS) {
                    QN_INFO("No enough buffer.");
                    continue;
                }
                QN_ERROR("ReadFile failed: {0}.", errno);
                send_batch(traffic, batch);
                give_up(-1);
                return 0;
            }
            QN_DEBUG("Read {} bytes from tun", n);
            if (n > 0) {
                seal_packet(ctx, buf.data(), static_cast<int>(n), batch, last_rekey_ms);
            }
        }
        send_batch(traffic, batch);
    }
    return 0;
}

namespace {

// Sends every datagram of the batch; false when the worker must give up.
bool send_datagrams(qn_ctx_t* ctx, std::vector<std::vector<uint8_t>>& batch, uint64_t* sent) {
    udp_socket* sock = ctx->sock;
    mmsghdr msgs[BATCH];
    iovec iovs[BATCH];
    const size_t count = prepare_datagrams(sock, batch, msgs, iovs);
    size_t done = 0;
    while (done < count) {
        int r = sendmmsg(sock->s, msgs + done, static_cast<unsigned>(count - done), 0);
        if (r > 0) {
            for (int i = 0; i < r; ++i) {
                *sent += batch[done + i].size();
            }
            done += static_cast<size_t>(r);
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN) {
            wait_result w = wait_fd(sock->s, POLLOUT, ctx->wakeup, IO_WAIT_MS);
            if (w == WAIT_WOKEN) {
                return true;
            }
            if (w != WAIT_READY) {
                QN_ERROR_IN(UDP_SENDER, "WaitForSingleObject failed: {0}.",
                            w == WAIT_TIMEOUT ? 0 : errno);
                return false;
            }
            continue;
        }
        if (errno == ENOBUFS) {
            QN_INFO_IN(UDP_SENDER, "No enough buffer.");
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (!ctx->running.load()) {
                return true;
            }
            continue;
        }
        QN_ERROR_IN(UDP_SENDER, "WSASendTo failed: {0}.", errno);
        return false;
    }
    return true;
}

// The loop of udp_sender and tun_writer: the rate limit check, then up to one batch from the
// queue handed to `deliver` (false: give up), then the accounting. False when it gave up.
template <typename Deliver>
bool drain_queue(qn_ctx_t* ctx, const char* worker, const char* limited_text,
                 const std::atomic<int32_t>& limit_value, rate_account& account, std::mutex& mutex,
                 std::condition_variable_any& cond, packet_queue& queue, bool& in_flight,
                 Deliver deliver) {
    std::vector<std::vector<uint8_t>> batch;
    batch.reserve(BATCH);
    while (ctx->running.load()) {
        const int32_t limit = limit_value.load();
        if (rate_limited(limit, account.bytes, account.time_us)) {
            QN_DEBUG_IN(worker, "{}", limited_text);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            account_pass(account, 0);
            continue;
        }
        // A limited direction takes one entry per pass so the limiter sees every one.
        take_batch(mutex, cond, queue, in_flight, limit == 0 ? BATCH : 1, batch);
        if (batch.empty()) {
            continue;
        }
        uint64_t bytes = 0;
        const bool ok = deliver(batch, &bytes);
        finish_batch(mutex, in_flight, batch);
        if (!ok) {
            return false;
        }
        account_pass(account, bytes);
    }
    return true;
}

}  // namespace

int udp_sender(traffic_stats* traffic) {
    qn_ctx_t* ctx = traffic->ctx;
    static std::chrono::steady_clock::time_point mark = std::chrono::steady_clock::now();
    rate_account account{traffic->tx_bytes, traffic->tx_time_us, mark};
    if (!drain_queue(
            ctx, __func__, "Upload rate limited.", ctx->upload_limit, account, ctx->send_mutex,
            ctx->send_cond, ctx->send_queue, ctx->send_in_flight,
            [ctx](auto& batch, uint64_t* sent) { return send_datagrams(ctx, batch, sent); })) {
        give_up(-70);
    }
    return 0;
}

namespace {

std::string sender_text(const sockaddr_storage& from, uint16_t* port) {
    char text[INET6_ADDRSTRLEN] = {};
    *port = 0;
    if (from.ss_family == AF_INET) {
        const auto* a = reinterpret_cast<const sockaddr_in*>(&from);
        inet_ntop(AF_INET, &a->sin_addr, text, sizeof(text));
        *port = ntohs(a->sin_port);
    } else if (from.ss_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&from);
        inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof(text));
        *port = ntohs(a->sin6_port);
    }
    return text;
}

void reset_traffic(traffic_stats* traffic) {
    traffic->tx_bytes.store(0);
    traffic->rx_bytes.store(0);
    traffic->tx_time_us.store(0);
    traffic->rx_time_us.store(0);
}

void dispatch_datagram(traffic_stats* traffic, const uint8_t* msg, int n,
                       const sockaddr_storage& from, std::vector<std::vector<uint8_t>>& packets,
                       std::atomic<int64_t>& last_rekey_ms) {
    qn_ctx_t* ctx = traffic->ctx;
    if (n <= VPN_HEADER_LEN) {
        uint16_t port = 0;
        std::string host = sender_text(from, &port);
        QN_ERROR_IN(UDP_RECEIVER, "recv {} bytes from host({}:{})", n, host, port);
        return;
    }
    switch (msg[0]) {
        case MSG_DATA_TRANS: {
            if (ctx->proto->rx_seq.load() >= RX_SEQ_REKEY_LIMIT) {
                request_rekey_throttled(ctx, last_rekey_ms, UDP_RECEIVER);
                return;
            }
            const int overhead = VPN_HEADER_LEN + AEAD_TAG_LEN;
            std::vector<uint8_t> packet(n > overhead ? static_cast<size_t>(n - overhead) : 0);
            int packet_len = 0;
            if (data_trans_decrypt(ctx->proto, msg, n, packet.data(), &packet_len) != 0) {
                QN_ERROR_IN(UDP_RECEIVER, "data_trans_decrypt failed.");
                return;
            }
            packet.resize(static_cast<size_t>(packet_len));
            packets.push_back(std::move(packet));
            return;
        }
        case MSG_REKEY:
            if (check_rekey_reply(ctx->proto, msg, n, ctx->server_pk) == -1) {
                QN_ERROR_IN(UDP_RECEIVER, "check_rekey_reply failed.");
                ctx->keepalive_missed.exchange(KEEPALIVE_MISSED_LIMIT);
            }
            return;
        case MSG_KEEPALIVE:
            if (check_keepalive_reply(ctx->proto, msg, n) == 0) {
                ctx->keepalive_missed.exchange(0);
                reset_traffic(traffic);
            } else {
                QN_ERROR_IN(UDP_RECEIVER, "check_keepalive_reply failed.");
                ctx->keepalive_missed.exchange(KEEPALIVE_MISSED_LIMIT);
            }
            return;
        default:
            QN_ERROR_IN(UDP_RECEIVER, "Error packet type.");
    }
}

}  // namespace

int udp_receiver(traffic_stats* traffic) {
    qn_ctx_t* ctx = traffic->ctx;
    static std::atomic<int64_t> last_rekey_ms{0};
    const int fd = ctx->sock->s;
    std::vector<uint8_t> buffers(static_cast<size_t>(BATCH) * MSG_BUF_LEN);
    mmsghdr msgs[BATCH];
    iovec iovs[BATCH];
    sockaddr_storage senders[BATCH];
    std::vector<std::vector<uint8_t>> packets;
    packets.reserve(BATCH);
    while (ctx->running.load()) {
        const readiness ready = wait_readable(ctx, fd, __func__, "Read no data from UDP.");
        if (ready == FAILED) {
            give_up(-1);
            return 0;
        }
        if (ready == NOT_YET) {
            continue;
        }
        for (int i = 0; i < BATCH; ++i) {
            iovs[i] = {buffers.data() + static_cast<size_t>(i) * MSG_BUF_LEN, MSG_BUF_LEN};
            msgs[i] = {};
            msgs[i].msg_hdr.msg_name = &senders[i];
            msgs[i].msg_hdr.msg_namelen = sizeof(senders[i]);
            msgs[i].msg_hdr.msg_iov = &iovs[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        int r = recvmmsg(fd, msgs, BATCH, MSG_DONTWAIT, nullptr);
        if (r < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                continue;
            }
            if (errno == ENOBUFS) {
                QN_INFO("No enough buffer.");
                continue;
            }
            QN_ERROR("WSARecvFrom failed: {0}.", errno);
            give_up(-71);
            return 0;
        }
        for (int i = 0; i < r; ++i) {
            const uint8_t* msg = static_cast<const uint8_t*>(iovs[i].iov_base);
            if ((msgs[i].msg_hdr.msg_flags & MSG_TRUNC) != 0) {
                // One oversized datagram, from anyone, must not end the session.
                QN_ERROR("Datagram larger than {} bytes dropped.", MSG_BUF_LEN);
                continue;
            }
            dispatch_datagram(traffic, msg, static_cast<int>(msgs[i].msg_len), senders[i], packets,
                              last_rekey_ms);
        }
        if (!packets.empty()) {
            hand_over(ctx->recv_mutex, ctx->recv_cond, ctx->recv_queue, ctx->write_in_flight,
                      ctx->download_limit.load() == 0, packets,
                      [&](const auto& b) { return write_without_waiting(ctx, traffic, b); });
            ctx->keepalive_missed.exchange(0);
        }
    }
    return 0;
}

namespace {

enum write_result { WRITE_DONE, WRITE_DROPPED, WRITE_STOPPED, WRITE_FAILED };

write_result write_packet(qn_ctx_t* ctx, const std::vector<uint8_t>& packet) {
    const int fd = ctx->tun->handle;
    for (;;) {
        ssize_t n = write(fd, packet.data(), packet.size());
        if (n >= 0) {
            return WRITE_DONE;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN) {
            wait_result w = wait_fd(fd, POLLOUT, ctx->wakeup, IO_WAIT_MS);
            if (w == WAIT_WOKEN) {
                return WRITE_STOPPED;
            }
            if (w != WAIT_READY) {
                QN_ERROR_IN(TUN_WRITER, "WaitForSingleObject failed: {0}.",
                            w == WAIT_TIMEOUT ? 0 : errno);
                return WRITE_FAILED;
            }
            continue;
        }
        if (errno == ENOBUFS) {
            QN_INFO_IN(TUN_WRITER, "No enough buffer.");
            continue;
        }
        if (errno == EINVAL) {
            // Not an IP packet: the device refuses it, the session goes on.
            QN_WARN_IN(TUN_WRITER, "Packet of {} bytes refused by the device, dropped.",
                       packet.size());
            return WRITE_DROPPED;
        }
        QN_ERROR_IN(TUN_WRITER, "WriteFile failed: {0}.", errno);
        return WRITE_FAILED;
    }
}

// Writes the batch packet by packet; false when the worker must give up.
bool write_batch(qn_ctx_t* ctx, const std::vector<std::vector<uint8_t>>& batch, uint64_t* written) {
    for (const auto& packet : batch) {
        const write_result r = write_packet(ctx, packet);
        if (r == WRITE_FAILED) {
            return false;
        }
        if (r == WRITE_STOPPED) {
            break;
        }
        if (r == WRITE_DONE) {
            *written += packet.size();
        }
    }
    return true;
}

}  // namespace

int tun_writer(traffic_stats* traffic) {
    qn_ctx_t* ctx = traffic->ctx;
    static std::chrono::steady_clock::time_point mark = std::chrono::steady_clock::now();
    rate_account account{traffic->rx_bytes, traffic->rx_time_us, mark};
    if (!drain_queue(ctx, __func__, "Download rate limited.", ctx->download_limit, account,
                     ctx->recv_mutex, ctx->recv_cond, ctx->recv_queue, ctx->write_in_flight,
                     [ctx](const auto& batch, uint64_t* written) {
                         return write_batch(ctx, batch, written);
                     })) {
        give_up(-1);
    }
    return 0;
}
