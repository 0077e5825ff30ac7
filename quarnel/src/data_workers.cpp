// The four data workers over the system's ports (data_ports.h): batches of plain IP packets
// and sealed datagrams, and their hand-over between the workers.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "data_handler.h"
#include "data_ports.h"
#include "engine_log.h"
#include "icmpv6_refusal.h"
#include "log_limit.h"
#include "packet_bytes.h"
#include "result_codes.h"
#include "session.h"
#include "socket_util.h"
#include "token_bucket.h"
#include "tun_util.h"

namespace {

using packet_batch = std::vector<std::vector<uint8_t>>;

// Entries taken from a queue per pass when no rate limit asks for one at a time.
constexpr size_t QUEUE_BATCH = 128;
constexpr int MAX_FRAMED_PACKET = MSG_BUF_LEN - VPN_HEADER_LEN - AEAD_TAG_LEN;
// Answers to IPv6 packets per second, so that a flood of them cannot keep the device's
// writer busy.
constexpr int64_t IPV6_REFUSALS_PER_S = 100;

// Helpers of a worker log under its name.
constexpr const char* TUN_READER = "tun_reader";
constexpr const char* UDP_SENDER = "udp_sender";
constexpr const char* UDP_RECEIVER = "udp_receiver";
constexpr const char* TUN_WRITER = "tun_writer";

void give_up(int32_t code) {
    g_engine_status.exchange(code);
}

// An allocation failure inside a worker ends that worker with -1, not the program.
template <typename Body>
int guarded(const char* worker, Body body) {
    try {
        body();
    } catch (const std::exception& e) {
        QN_ERROR_IN(worker, "{}.", e.what());
        give_up(QN_FAILED);
    }
    return 0;
}

enum readiness { READY, NOT_YET, FAILED };

// The readers' bounded wait: a time-out is logged as idle, a stop's wake-up sends the worker
// back to its loop test, a failed wait is logged and ends the worker.
readiness judge_wait(port_wait wait, int error, const char* worker, const char* idle_text) {
    switch (wait) {
        case port_wait::ready:
            return READY;
        case port_wait::timed_out:
            QN_DEBUG_IN(worker, "{}", idle_text);
            return NOT_YET;
        case port_wait::woken:
            return NOT_YET;
        default:
            QN_ERROR_IN(worker, "WaitForSingleObject failed: {0}.", error);
            return FAILED;
    }
}

// A writer's wait for room: false (logged) unless the port became writable; *stopped when a
// stop's wake-up ended it.
bool wait_for_room(port_wait wait, int error, const char* worker, bool* stopped) {
    *stopped = wait == port_wait::woken;
    if (wait == port_wait::ready || *stopped) {
        return wait == port_wait::ready;
    }
    QN_ERROR_IN(worker, "WaitForSingleObject failed: {0}.",
                wait == port_wait::timed_out ? 0 : error);
    return false;
}

// The system is short of buffers: pause 1 ms; false once the session is stopping.
bool pause_for_buffers(qn_ctx_t* ctx, const char* worker) {
    QN_INFO_LIMITED_IN(worker, "No enough buffer.");
    return !ctx->running.wait_for(std::chrono::milliseconds(1));
}

// Passes a batch on to the next stage. A direction without a limit, with nothing queued and
// nothing in flight, is served at once by the calling thread (`direct` returns how many
// entries it got rid of), which saves a thread hand-off per batch; the rest, or everything
// otherwise, is copied onto the queue for the worker in the order it came.
template <typename Direct>
void hand_over(std::mutex& mutex, std::condition_variable_any& cond, packet_queue& queue,
               bool& in_flight, bool unlimited, const std::vector<packet_ref>& batch,
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
    std::lock_guard<std::mutex> lock(mutex);
    if (mine) {
        in_flight = false;
    }
    for (size_t i = done; i < batch.size(); ++i) {
        queue.push(std::vector<uint8_t>(batch[i].data, batch[i].data + batch[i].len));
    }
    if (done < batch.size()) {
        cond.notify_one();
    }
}

// Waits for entries (woken by the producer's push or the session's stop; the bound only
// guards against a lost wake-up) and moves some out of the queue: one when the direction is
// limited, so the limiter sees every one. The batch stays in flight until finish_batch.
void take_batch(qn_ctx_t* ctx, std::mutex& mutex, std::condition_variable_any& cond,
                packet_queue& queue, bool& in_flight, const std::atomic<int32_t>& limit_value,
                packet_batch& batch) {
    std::unique_lock<std::mutex> lock(mutex);
    if (!cond.wait_for(lock, std::chrono::milliseconds(IO_WAIT_MS),
                       [&] { return !queue.empty() || !ctx->running.load(); }) ||
        queue.empty()) {
        return;
    }
    const size_t limit = limit_value.load() == 0 ? QUEUE_BATCH : 1;
    while (!queue.empty() && batch.size() < limit) {
        batch.push_back(std::move(queue.front()));
        queue.pop();
    }
    in_flight = true;
}

void finish_batch(std::mutex& mutex, bool& in_flight, packet_batch& batch) {
    batch.clear();
    std::lock_guard<std::mutex> lock(mutex);
    in_flight = false;
}

// The loop of udp_sender and tun_writer: the rate limit check, then up to one batch from the
// queue handed to `deliver` (false: give up), then the accounting. False when it gave up.
template <typename Deliver>
bool drain_queue(qn_ctx_t* ctx, const char* worker, const char* limited_text,
                 const std::atomic<int32_t>& limit_value, rate_account& account, std::mutex& mutex,
                 std::condition_variable_any& cond, packet_queue& queue, bool& in_flight,
                 Deliver deliver) {
    packet_batch batch;
    batch.reserve(QUEUE_BATCH);
    while (ctx->running.load()) {
        if (rate_limited(limit_value.load(), account.bytes, account.time_us)) {
            QN_DEBUG_IN(worker, "{}", limited_text);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            account_pass(account, 0);
            continue;
        }
        take_batch(ctx, mutex, cond, queue, in_flight, limit_value, batch);
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

// ---- Device to server -------------------------------------------------------------------

// The sealed messages of one read, back to back in storage that keeps its capacity from one
// read to the next: a packet costs no allocation.
class message_batch {
  public:
    // Room for a message of up to len bytes, valid until the next call.
    uint8_t* room(size_t len) {
        if (bytes_.size() < used_ + len) {
            bytes_.resize(std::max(used_ + len, 2 * bytes_.size()));
        }
        return bytes_.data() + used_;
    }
    // The message just written into the room is len bytes.
    void add(size_t len) {
        used_ += len;
        ends_.push_back(used_);
    }
    // The messages, valid until the next room() or clear().
    const std::vector<packet_ref>& messages() {
        refs_.clear();
        size_t start = 0;
        for (size_t end : ends_) {
            refs_.push_back({bytes_.data() + start, static_cast<int>(end - start)});
            start = end;
        }
        return refs_;
    }
    void clear() {
        used_ = 0;
        ends_.clear();
    }

  private:
    std::vector<uint8_t> bytes_;
    size_t used_ = 0;
    std::vector<size_t> ends_;
    std::vector<packet_ref> refs_;
};

// One packet from the device, sealed into its own message unless the send sequence is at its
// limit.
void seal_packet(qn_ctx_t* ctx, uint8_t* packet, int n, message_batch& out,
                 std::atomic<int64_t>& last_rekey_ms) {
    QN_DEBUG_IN(TUN_READER, "Read {} bytes from tun", n);
    if (n == 0) {
        return;
    }
    if (ctx->proto->tx_seq.load() >= TX_SEQ_REKEY_LIMIT) {
        request_rekey_throttled(ctx, last_rekey_ms, TUN_READER);
        return;
    }
    if (n > MAX_FRAMED_PACKET) {
        QN_WARN_LIMITED_IN(TUN_READER, "Packet of {} bytes does not fit a message, dropped.", n);
        return;
    }
    clamp_tcp_mss(packet, n, ctx->tun->mtu - 40);
    int len = 0;
    if (data_trans_encrypt(ctx->proto, packet, n,
                           out.room(static_cast<size_t>(n) + VPN_HEADER_LEN + AEAD_TAG_LEN),
                           &len) == 0) {
        out.add(static_cast<size_t>(len));
    }
}

// The tunnel carries IPv4 only: in proxy mode an IPv6 packet is answered on the device at
// once, as far as the budget allows, and never sent.
void refuse_ipv6_packet(const uint8_t* packet, int n, message_batch& answers,
                        token_bucket& budget) {
    uint8_t* room = answers.room(ICMPV6_REFUSAL_MAX);
    const size_t len = icmpv6_refusal(packet, static_cast<size_t>(n), room);
    if (len > 0 && budget.take(token_bucket::clock::now())) {
        answers.add(len);
    }
}

// The entries of a batch taken from a queue, by reference.
void refs_of(const packet_batch& batch, std::vector<packet_ref>& refs) {
    refs.clear();
    for (const auto& entry : batch) {
        refs.push_back({entry.data(), static_cast<int>(entry.size())});
    }
}

void as_outgoing(const std::vector<packet_ref>& messages, std::vector<outgoing_datagram>& out) {
    out.clear();
    for (const packet_ref& msg : messages) {
        out.push_back({msg.data, static_cast<size_t>(msg.len)});
    }
}

uint64_t bytes_of(const outgoing_datagram* datagrams, size_t count) {
    uint64_t bytes = 0;
    for (size_t i = 0; i < count; ++i) {
        bytes += datagrams[i].len;
    }
    return bytes;
}

// Reader to sender: what the socket takes at once goes straight out from the reader; what
// the path refuses is lost here as it would be in the sender.
void send_batch(traffic_stats* traffic, data_ports& ports, const std::vector<packet_ref>& batch,
                std::vector<outgoing_datagram>& outgoing) {
    qn_ctx_t* ctx = traffic->ctx;
    hand_over(ctx->send_mutex, ctx->send_cond, ctx->send_queue, ctx->send_in_flight,
              ctx->upload_limit.load() == 0, batch, [&](const std::vector<packet_ref>& b) {
                  as_outgoing(b, outgoing);
                  size_t sent = 0;
                  int error = 0;
                  const port_status status =
                      ports.send_datagrams(outgoing.data(), outgoing.size(), &sent, &error);
                  traffic->tx_bytes.fetch_add(bytes_of(outgoing.data(), sent));
                  if (status == port_status::done) {
                      traffic->losses.sent();
                  } else if (status == port_status::unreachable) {
                      traffic->losses.lost(outgoing.size() - sent, error);
                      return outgoing.size();
                  }
                  return sent;  // the sender worker deals with a full socket and with errors
              });
}

void write_batch(traffic_stats* traffic, data_ports& ports, const std::vector<packet_ref>& packets);

// The server's IPv4 endpoint, host order; none for an IPv6 server, whose datagrams the tunnel
// (IPv4 only) never carries.
struct server_endpoint {
    bool ipv4 = false;
    uint32_t address = 0;
    uint16_t port = 0;
};

server_endpoint server_endpoint_of(const udp_socket* sock) {
    server_endpoint server;
    if (sock != nullptr && sock->peer.sa.sa_family == AF_INET) {
        server.ipv4 = true;
        server.address = ntohl(sock->peer.v4.sin_addr.s_addr);
        server.port = ntohs(sock->peer.v4.sin_port);
    }
    return server;
}

// A datagram of the session's own that the host routed into the tunnel, as it does when the
// route to the server outside it is gone with the uplink: sealed again it would come back once
// more, larger each round and fragmented at last, until the uplink returns.
bool own_datagram(const server_endpoint& server, const uint8_t* packet, int n) {
    if (!server.ipv4 || !ipv4_udp_to(packet, n, server.address, server.port)) {
        return false;
    }
    QN_WARN_LIMITED_IN(TUN_READER,
                       "A datagram to the server came back through tun: the host has no route "
                       "to the server outside the tunnel. Dropped.");
    return true;
}

void run_tun_reader(traffic_stats* traffic) {
    qn_ctx_t* ctx = traffic->ctx;
    static std::atomic<int64_t> last_rekey_ms{0};
    data_ports& ports = *traffic->ports;
    message_batch batch;
    std::vector<outgoing_datagram> outgoing;
    const bool refuse_ipv6 = ctx->proxy_mode;
    const server_endpoint server = server_endpoint_of(ctx->sock);
    message_batch refusals;
    token_bucket refusal_budget(IPV6_REFUSALS_PER_S);
    while (ctx->running.load()) {
        int error = 0;
        const readiness ready = judge_wait(ports.wait_device(false, IO_WAIT_MS, &error), error,
                                           TUN_READER, "Read no data from tun.");
        if (ready == FAILED) {
            give_up(QN_FAILED);
            return;
        }
        if (ready == NOT_YET) {
            continue;
        }
        const port_status status = ports.read_device(
            [&](uint8_t* packet, int n) {
                if (n > 0 && ip_version(packet) == 6 && refuse_ipv6) {
                    refuse_ipv6_packet(packet, n, refusals, refusal_budget);
                } else if (!own_datagram(server, packet, n)) {
                    seal_packet(ctx, packet, n, batch, last_rekey_ms);
                }
                return true;
            },
            &error);
        send_batch(traffic, ports, batch.messages(), outgoing);
        batch.clear();
        // The device's writes stay with whoever has one in flight: the answers join the
        // packets from the server on their way.
        write_batch(traffic, ports, refusals.messages());
        refusals.clear();
        if (status == port_status::no_buffer) {
            QN_INFO_LIMITED_IN(TUN_READER, "No enough buffer.");
        } else if (status != port_status::done) {
            QN_ERROR_IN(TUN_READER, "ReadFile failed: {0}.", error);
            give_up(QN_FAILED);
            return;
        }
    }
}

// Sends every datagram of the batch; false when the worker must give up. When the path to the
// server is gone, the rest of the batch is lost: its datagrams all take that path.
bool send_all(traffic_stats* traffic, data_ports& ports, const std::vector<packet_ref>& batch,
              std::vector<outgoing_datagram>& outgoing, uint64_t* sent_bytes) {
    qn_ctx_t* ctx = traffic->ctx;
    as_outgoing(batch, outgoing);
    size_t done = 0;
    while (done < outgoing.size()) {
        size_t sent = 0;
        int error = 0;
        const port_status status =
            ports.send_datagrams(outgoing.data() + done, outgoing.size() - done, &sent, &error);
        *sent_bytes += bytes_of(outgoing.data() + done, sent);
        done += sent;
        if (status == port_status::done) {
            traffic->losses.sent();
            continue;
        }
        if (status == port_status::again) {
            bool stopped = false;
            if (!wait_for_room(ports.wait_socket(true, IO_WAIT_MS, &error), error, UDP_SENDER,
                               &stopped)) {
                return stopped;
            }
        } else if (status == port_status::no_buffer) {
            if (!pause_for_buffers(ctx, UDP_SENDER)) {
                return true;
            }
        } else if (status == port_status::unreachable) {
            traffic->losses.lost(outgoing.size() - done, error);
            return true;
        } else {
            QN_ERROR_IN(UDP_SENDER, "WSASendTo failed: {0}.", error);
            return false;
        }
    }
    return true;
}

void run_udp_sender(traffic_stats* traffic) {
    qn_ctx_t* ctx = traffic->ctx;
    static std::chrono::steady_clock::time_point mark = std::chrono::steady_clock::now();
    rate_account account{traffic->tx_bytes, traffic->tx_time_us, mark};
    data_ports& ports = *traffic->ports;
    std::vector<packet_ref> refs;
    std::vector<outgoing_datagram> outgoing;
    if (!drain_queue(ctx, UDP_SENDER, "Upload rate limited.", ctx->upload_limit, account,
                     ctx->send_mutex, ctx->send_cond, ctx->send_queue, ctx->send_in_flight,
                     [&](const packet_batch& batch, uint64_t* sent) {
                         refs_of(batch, refs);
                         return send_all(traffic, ports, refs, outgoing, sent);
                     })) {
        give_up(QN_SEND_FAILED);
    }
}

// ---- Server to device -------------------------------------------------------------------

enum write_result { WRITE_DONE, WRITE_STOPPED, WRITE_FAILED };

// Writes a batch of IP packets, waiting for room and pausing while the system is short of
// buffers, as udp_sender does; *written counts bytes of IP packets.
write_result write_packets(qn_ctx_t* ctx, data_ports& ports, const std::vector<packet_ref>& batch,
                           uint64_t* written) {
    // The port takes every packet at the first call; later calls write what it still holds.
    const packet_ref* packets = batch.data();
    size_t count = batch.size();
    for (;;) {
        int error = 0;
        uint64_t bytes = 0;
        const port_status status = ports.write_device(packets, count, &bytes, &error);
        *written += bytes;
        count = 0;
        switch (status) {
            case port_status::done:
                return WRITE_DONE;
            case port_status::again: {
                bool stopped = false;
                if (!wait_for_room(ports.wait_device(true, IO_WAIT_MS, &error), error, TUN_WRITER,
                                   &stopped)) {
                    return stopped ? WRITE_STOPPED : WRITE_FAILED;
                }
                break;
            }
            case port_status::no_buffer:
                if (!pause_for_buffers(ctx, TUN_WRITER)) {
                    return WRITE_STOPPED;
                }
                break;
            case port_status::refused:
                QN_WARN_LIMITED_IN(TUN_WRITER,
                                   "Batch of {} packets refused by the device, dropped.",
                                   batch.size());
                return WRITE_DONE;
            default:
                QN_ERROR_IN(TUN_WRITER, "WriteFile failed: {0}.", error);
                return WRITE_FAILED;
        }
    }
}

void reset_traffic(traffic_stats* traffic) {
    traffic->tx_bytes.store(0);
    traffic->rx_bytes.store(0);
    traffic->tx_time_us.store(0);
    traffic->rx_time_us.store(0);
}

// An S3 message is opened in place: its packet stays in the port's storage.
void dispatch_datagram(traffic_stats* traffic, data_ports& ports, const incoming_datagram& d,
                       std::vector<packet_ref>& packets, std::atomic<int64_t>& last_rekey_ms) {
    qn_ctx_t* ctx = traffic->ctx;
    uint8_t* msg = d.data;
    const int n = static_cast<int>(d.len);
    if (n <= VPN_HEADER_LEN) {
        std::string host;
        uint16_t port = 0;
        ports.describe_sender(d.from, &host, &port);
        QN_ERROR_LIMITED_IN(UDP_RECEIVER, "recv {} bytes from host({}:{})", n, host, port);
        return;
    }
    switch (msg[0]) {
        case MSG_DATA_TRANS: {
            if (ctx->proto->rx_seq.load() >= RX_SEQ_REKEY_LIMIT) {
                request_rekey_throttled(ctx, last_rekey_ms, UDP_RECEIVER);
                return;
            }
            uint8_t* packet = msg + VPN_HEADER_LEN;
            int packet_len = 0;
            if (data_trans_decrypt(ctx->proto, msg, n, packet, &packet_len) != 0) {
                QN_ERROR_LIMITED_IN(UDP_RECEIVER, "data_trans_decrypt failed.");
                return;
            }
            packets.push_back({packet, packet_len});
            return;
        }
        case MSG_REKEY:
            if (check_rekey_reply(ctx->proto, msg, n, ctx->server_pk) == -1) {
                QN_ERROR_LIMITED_IN(UDP_RECEIVER, "check_rekey_reply failed.");
                ctx->keepalive_missed.exchange(KEEPALIVE_MISSED_LIMIT);
            }
            return;
        case MSG_KEEPALIVE:
            // Only the server's own refusal ends the keepalive; anyone on the path can send a
            // reply that does not open.
            switch (check_keepalive_reply(ctx->proto, msg, n)) {
                case 0:
                    ctx->keepalive_missed.exchange(0);
                    ctx->life_signs.fetch_add(1);
                    reset_traffic(traffic);
                    break;
                case REPLY_IGNORED:
                    break;
                default:
                    QN_ERROR_LIMITED_IN(UDP_RECEIVER, "check_keepalive_reply failed.");
                    ctx->keepalive_missed.exchange(KEEPALIVE_MISSED_LIMIT);
            }
            return;
        default:
            QN_ERROR_LIMITED_IN(UDP_RECEIVER, "Error packet type.");
    }
}

// Receiver to writer: with no limit and nothing queued the receiver writes to the device
// itself, and a failed device fails the session as the writer's own write would.
void write_batch(traffic_stats* traffic, data_ports& ports,
                 const std::vector<packet_ref>& packets) {
    qn_ctx_t* ctx = traffic->ctx;
    hand_over(ctx->recv_mutex, ctx->recv_cond, ctx->recv_queue, ctx->write_in_flight,
              ctx->download_limit.load() == 0, packets, [&](const std::vector<packet_ref>& b) {
                  uint64_t written = 0;
                  if (write_packets(ctx, ports, b, &written) == WRITE_FAILED) {
                      give_up(QN_FAILED);
                  }
                  traffic->rx_bytes.fetch_add(written);
                  return b.size();
              });
}

void run_udp_receiver(traffic_stats* traffic) {
    qn_ctx_t* ctx = traffic->ctx;
    static std::atomic<int64_t> last_rekey_ms{0};
    data_ports& ports = *traffic->ports;
    std::vector<incoming_datagram> datagrams;
    std::vector<packet_ref> packets;
    while (ctx->running.load()) {
        int error = 0;
        const readiness ready = judge_wait(ports.wait_socket(false, IO_WAIT_MS, &error), error,
                                           UDP_RECEIVER, "Read no data from UDP.");
        if (ready == FAILED) {
            give_up(QN_FAILED);
            return;
        }
        if (ready == NOT_YET) {
            continue;
        }
        const port_status status = ports.receive_datagrams(&datagrams, &error);
        if (status == port_status::no_buffer) {
            QN_INFO_LIMITED_IN(UDP_RECEIVER, "No enough buffer.");
            continue;
        }
        if (status != port_status::done && status != port_status::again) {
            QN_ERROR_IN(UDP_RECEIVER, "WSARecvFrom failed: {0}.", error);
            give_up(QN_RECEIVE_FAILED);
            return;
        }
        for (const incoming_datagram& d : datagrams) {
            if (d.truncated || d.len > MSG_BUF_LEN) {
                // One oversized datagram, from anyone, must not end the session.
                QN_ERROR_LIMITED_IN(UDP_RECEIVER, "Datagram larger than {} bytes dropped.",
                                    MSG_BUF_LEN);
                continue;
            }
            dispatch_datagram(traffic, ports, d, packets, last_rekey_ms);
        }
        if (!packets.empty()) {
            write_batch(traffic, ports, packets);
            packets.clear();
            ctx->keepalive_missed.exchange(0);
            ctx->life_signs.fetch_add(1);
        }
    }
}

void run_tun_writer(traffic_stats* traffic) {
    qn_ctx_t* ctx = traffic->ctx;
    static std::chrono::steady_clock::time_point mark = std::chrono::steady_clock::now();
    rate_account account{traffic->rx_bytes, traffic->rx_time_us, mark};
    data_ports& ports = *traffic->ports;
    std::vector<packet_ref> refs;
    if (!drain_queue(ctx, TUN_WRITER, "Download rate limited.", ctx->download_limit, account,
                     ctx->recv_mutex, ctx->recv_cond, ctx->recv_queue, ctx->write_in_flight,
                     [&](const packet_batch& batch, uint64_t* written) {
                         refs_of(batch, refs);
                         return write_packets(ctx, ports, refs, written) != WRITE_FAILED;
                     })) {
        give_up(QN_FAILED);
    }
}

}  // namespace

int tun_reader(traffic_stats* traffic) {
    return guarded(__func__, [traffic] { run_tun_reader(traffic); });
}

int udp_sender(traffic_stats* traffic) {
    return guarded(__func__, [traffic] { run_udp_sender(traffic); });
}

int udp_receiver(traffic_stats* traffic) {
    return guarded(__func__, [traffic] { run_udp_receiver(traffic); });
}

int tun_writer(traffic_stats* traffic) {
    return guarded(__func__, [traffic] { run_tun_writer(traffic); });
}
