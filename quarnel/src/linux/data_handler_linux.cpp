#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "data_handler.h"
#include "data_ports.h"
#include "device_framing.h"
#include "engine_log.h"
#include "io_status_linux.h"
#include "log_limit.h"
#include "reader_wait_linux.h"
#include "send_errors.h"
#include "session.h"
#include "socket_util.h"
#include "tun_offload.h"
#include "tun_util.h"
#include "udp_batch.h"
#include "worker_wakeup_linux.h"

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

void worker_wakeup_destroy(worker_wakeup* wakeup) {
    if (wakeup != nullptr) {
        close(wakeup->fd);
        delete wakeup;
    }
}

namespace {

// Large enough for anything the device can hand over, so an oversized packet is seen whole
// and dropped instead of being cut; with a header, a whole super-packet.
constexpr size_t MAX_DEVICE_READ = OFFLOAD_READ_LEN;
// Reads per batch, and bytes: a few super-packets or many plain packets.
constexpr size_t MAX_READS = 64;
constexpr size_t READ_BUDGET = 4 * MAX_DEVICE_READ;
// The workers these primitives serve log under their names.
constexpr const char* TUN_READER = "tun_reader";
constexpr const char* TUN_WRITER = "tun_writer";
// Datagrams handed to the kernel per call.
constexpr size_t SEND_CHUNK = 256;
// Messages per receive: coalesced runs of up to 64 KiB, or single datagrams.
constexpr size_t RECEIVE_RUNS = 8;
constexpr size_t RECEIVE_DATAGRAMS = 32;

class linux_ports : public data_ports {
  public:
    explicit linux_ports(qn_ctx_t* ctx)
        : tun_fd_(ctx->tun->handle),
          framing_(ctx->tun->offload_header, ctx->tun->mtu),
          wakeup_(ctx->running.wakeup()),
          peer_(&ctx->sock->peer.sa),
          peer_len_(static_cast<socklen_t>(ctx->sock->peer_len)),
          read_buf_(MAX_DEVICE_READ) {
        udp_.fd = ctx->sock->s;
        udp_batch_setup(&udp_, offload_allowed());
        receive_area_ =
            std::make_unique<udp_receive_area>(udp_.gro ? RECEIVE_RUNS : RECEIVE_DATAGRAMS,
                                               udp_receive_message_size(udp_, MSG_BUF_LEN));
        gso_reported_ = !udp_.gso;
        QN_INFO("UDP sending {}; UDP receiving {}.",
                udp_.gso ? "with segmentation offload (one system call per run of datagrams)"
                         : "one datagram per message (no segmentation offload)",
                udp_.gro ? "with coalescing (runs of datagrams split by the engine)"
                         : "one datagram per message (no coalescing)");
    }

    port_wait wait_device(bool writable, int timeout_ms, int* error) override {
        return wait_fd(tun_fd_, writable ? POLLOUT : POLLIN, wakeup_fd(), timeout_ms, error);
    }

    port_wait wait_socket(bool writable, int timeout_ms, int* error) override {
        return wait_fd(udp_.fd, writable ? POLLOUT : POLLIN, wakeup_fd(), timeout_ms, error);
    }

    port_status read_device(packet_sink sink, int* error) override {
        size_t taken = 0;
        for (size_t reads = 0; reads < MAX_READS && taken + MAX_DEVICE_READ <= READ_BUDGET;) {
            const ssize_t n = read(tun_fd_, read_buf_.data(), read_buf_.size());
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                *error = errno;
                return errno == EAGAIN ? port_status::done : io_error_status(errno);
            }
            ++reads;
            taken += static_cast<size_t>(n);
            if (framing_.unpack(read_buf_.data(), static_cast<size_t>(n), sink) < 0) {
                QN_WARN_LIMITED_IN(TUN_READER,
                                   "Offloaded packet of {} bytes from tun not split, dropped.", n);
            }
        }
        return port_status::done;
    }

    port_status write_device(const packet_ref* packets, size_t count, uint64_t* bytes,
                             int* error) override {
        return framing_.write(
            packets, count,
            [this](const uint8_t* frame, size_t len, int* write_error) {
                for (;;) {
                    if (write(tun_fd_, frame, len) >= 0) {
                        return port_status::done;
                    }
                    if (errno == EINVAL) {
                        // Not an IP packet: the device refuses it, the session goes on.
                        QN_WARN_LIMITED_IN(
                            TUN_WRITER, "Packet of {} bytes refused by the device, dropped.", len);
                        return port_status::refused;
                    }
                    if (errno != EINTR) {
                        *write_error = errno;
                        return io_error_status(errno);
                    }
                }
            },
            bytes, error);
    }

    port_status send_datagrams(const outgoing_datagram* datagrams, size_t count, size_t* sent,
                               int* error) override {
        *sent = 0;
        udp_datagram chunk[SEND_CHUNK];
        while (*sent < count) {
            const size_t n = std::min(count - *sent, SEND_CHUNK);
            for (size_t i = 0; i < n; ++i) {
                chunk[i] = {datagrams[*sent + i].data, datagrams[*sent + i].len, peer_, peer_len_};
            }
            const size_t done = udp_send_batch(&udp_, chunk, n, error);
            *sent += done;
            report_gso_lost();
            if (*error != 0) {
                return send_error_status(*error);
            }
        }
        return port_status::done;
    }

    port_status receive_datagrams(std::vector<incoming_datagram>* out, int* error) override {
        out->clear();
        *error = udp_receive_batch(&udp_, receive_area_.get(), &received_);
        if (*error != 0) {
            return io_error_status(*error);
        }
        for (const udp_received& r : received_) {
            out->push_back({r.data, r.len, r.truncated, r.from});
        }
        return port_status::done;
    }

    void describe_sender(const void* from, std::string* host, uint16_t* port) const override {
        describe_address(from, host, port);
    }

  private:
    int wakeup_fd() const { return wakeup_ != nullptr ? wakeup_->fd : -1; }

    void report_gso_lost() {
        if (!udp_.gso.load(std::memory_order_relaxed) && !gso_reported_.exchange(true)) {
            QN_INFO_IN("udp_sender",
                       "UDP segmentation offload refused by the kernel; one datagram per message "
                       "from now on.");
        }
    }

    const int tun_fd_;
    device_framing framing_;  // its writes: whoever has the device's write in flight
    worker_wakeup* const wakeup_;
    const sockaddr* const peer_;
    const socklen_t peer_len_;
    std::vector<uint8_t> read_buf_;  // tun_reader's only
    udp_batch_socket udp_;
    std::atomic<bool> gso_reported_{false};
    std::unique_ptr<udp_receive_area> receive_area_;  // udp_receiver's only
    std::vector<udp_received> received_;
};

}  // namespace

std::unique_ptr<data_ports> data_ports_open(qn_ctx_t* ctx) {
    return std::make_unique<linux_ports>(ctx);
}
