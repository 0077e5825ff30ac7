// The data workers' ports on Windows: overlapped reads and writes of the TAP device with the
// device's own records, overlapped sends and receives on the session's socket with records of
// the port. One operation of each kind is outstanding at a time; every wait also ends at the
// session's stop.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <array>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include "data_handler.h"
#include "data_ports.h"
#include "engine_log.h"
#include "log_limit.h"
#include "send_errors.h"
#include "session.h"
#include "socket_util.h"
#include "tun_device_win.h"
#include "tun_util.h"
#include "win_calls.h"

struct worker_wakeup {
    HANDLE event;  // manual reset: once the stop is raised every later wait ends at once
};

worker_wakeup* worker_wakeup_create() {
    const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        return nullptr;  // workers then notice a stop at their next bounded wait
    }
    return new worker_wakeup{event};
}

void worker_wakeup_signal(worker_wakeup* wakeup) {
    if (wakeup != nullptr) {
        SetEvent(wakeup->event);
    }
}

void worker_wakeup_destroy(worker_wakeup* wakeup) {
    if (wakeup != nullptr) {
        CloseHandle(wakeup->event);
        delete wakeup;
    }
}

namespace {

// Any IPv4 packet fits whole, so an oversized one is seen and dropped rather than cut.
constexpr DWORD DEVICE_READ_LEN = 65535;
// Completed reads handed over per call.
constexpr size_t MAX_READS = 64;
// Receive buffers: all but one can be handed over while the last has a receive posted.
constexpr size_t RECEIVE_RING = 33;
constexpr DWORD NO_BUFFER = WSAENOBUFS;  // 10055

port_wait wait_for(HANDLE event, worker_wakeup* wakeup, int timeout_ms, int* error) {
    const HANDLE events[2] = {event, wakeup != nullptr ? wakeup->event : nullptr};
    const DWORD r = WaitForMultipleObjects(wakeup != nullptr ? 2 : 1, events, FALSE,
                                           static_cast<DWORD>(timeout_ms));
    switch (r) {
        case WAIT_OBJECT_0:
            return port_wait::ready;
        case WAIT_OBJECT_0 + 1:
            return port_wait::woken;
        case WAIT_TIMEOUT:
            return port_wait::timed_out;
        default:
            *error = static_cast<int>(r == WAIT_FAILED ? GetLastError() : r);
            return port_wait::failed;
    }
}

// A record ready for its next operation, on its own event.
void rearm(OVERLAPPED* ov) {
    const HANDLE event = ov->hEvent;
    *ov = OVERLAPPED{};
    ov->hEvent = event;
}

// Where one kind of operation stands: nothing posted, posted (pending or done at once), or the
// post itself failed with `error`.
enum class op_state { idle, posted, failed };

// The TAP device. Reads alternate between two buffers: the next is posted before a packet is
// handed over, so the device always has a read outstanding. Reads are posted by the reader
// alone: Windows cancels a thread's outstanding I/O when the thread exits, and the session may
// be opened on a thread that ends before it does. Writes go from a buffer of the
// port's, one at a time; packets the device cannot take yet wait in order.
class device_port {
  public:
    explicit device_port(tun_device* tun) : handle_(tun->handle), io_(tun->io) {}

    ~device_port() {
        // Nothing may complete into buffers or records that are gone.
        DWORD n = 0;
        if (read_state_ == op_state::posted) {
            CancelIoEx(handle_, &io_->read_ov);
            GetOverlappedResult(handle_, &io_->read_ov, &n, TRUE);
        }
        if (write_pending_) {
            CancelIoEx(handle_, &io_->write_ov);
            GetOverlappedResult(handle_, &io_->write_ov, &n, TRUE);
        }
    }

    device_port(const device_port&) = delete;
    device_port& operator=(const device_port&) = delete;

    port_wait wait(bool writable, worker_wakeup* wakeup, int timeout_ms, int* error) {
        if (writable) {
            return write_pending_ ? wait_for(io_->write_ov.hEvent, wakeup, timeout_ms, error)
                                  : port_wait::ready;
        }
        if (read_state_ == op_state::idle) {
            post_read();
        }
        return read_state_ == op_state::posted
                   ? wait_for(io_->read_ov.hEvent, wakeup, timeout_ms, error)
                   : port_wait::ready;
    }

    port_status read(packet_sink sink, int* error) {
        for (size_t reads = 0; reads < MAX_READS; ++reads) {
            if (read_state_ == op_state::idle) {
                post_read();
            }
            DWORD n = 0;
            DWORD failure = read_error_;
            if (read_state_ == op_state::posted) {
                failure =
                    GetOverlappedResult(handle_, &io_->read_ov, &n, FALSE) ? 0 : GetLastError();
                if (failure == ERROR_IO_INCOMPLETE) {
                    return port_status::done;
                }
            }
            read_state_ = op_state::idle;
            if (failure == NO_BUFFER) {
                // The read goes on with what it reported, as a completed one would.
                QN_INFO_IN("tun_reader", "No enough buffer.");
            } else if (failure != 0) {
                *error = static_cast<int>(failure);
                return port_status::failed;
            }
            uint8_t* packet = read_buffers_[current_].data();
            current_ ^= 1;
            post_read();
            if (!sink(packet, static_cast<int>(n))) {
                return port_status::done;
            }
        }
        return port_status::done;
    }

    port_status write(const packet_ref* packets, size_t count, uint64_t* bytes, int* error) {
        *bytes = 0;
        port_status status = finish_write(bytes, error);
        while (status == port_status::done && !held_.empty()) {
            status = start_write(held_.front().data(), held_.front().size(), bytes, error);
            if (status == port_status::done || status == port_status::again) {
                held_.pop_front();
            }
        }
        size_t next = 0;
        while (status == port_status::done && next < count) {
            status = start_write(packets[next].data, static_cast<size_t>(packets[next].len), bytes,
                                 error);
            if (status == port_status::done || status == port_status::again) {
                ++next;
            }
        }
        if (status == port_status::failed) {
            held_.clear();
            return status;
        }
        for (; next < count; ++next) {
            held_.emplace_back(packets[next].data, packets[next].data + packets[next].len);
        }
        return status;
    }

  private:
    void post_read() {
        rearm(&io_->read_ov);
        read_error_ = 0;
        read_state_ = op_state::posted;
        if (!ReadFile(handle_, read_buffers_[current_].data(), DEVICE_READ_LEN, nullptr,
                      &io_->read_ov)) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) {
                read_state_ = op_state::failed;
                read_error_ = error;
            }
        }
    }

    // The write in flight, if any: done once it has gone.
    port_status finish_write(uint64_t* bytes, int* error) {
        if (!write_pending_) {
            return port_status::done;
        }
        DWORD n = 0;
        if (!GetOverlappedResult(handle_, &io_->write_ov, &n, FALSE)) {
            const DWORD failure = GetLastError();
            if (failure == ERROR_IO_INCOMPLETE) {
                return port_status::again;
            }
            write_pending_ = false;
            *error = static_cast<int>(failure);
            return port_status::failed;
        }
        write_pending_ = false;
        *bytes += n;
        return port_status::done;
    }

    // done: written; again: in flight, the port's now; no_buffer: not taken, to be written again.
    port_status start_write(const uint8_t* packet, size_t len, uint64_t* bytes, int* error) {
        write_buffer_.assign(packet, packet + len);
        rearm(&io_->write_ov);
        if (WriteFile(handle_, write_buffer_.data(), static_cast<DWORD>(len), nullptr,
                      &io_->write_ov)) {
            *bytes += len;
            return port_status::done;
        }
        const DWORD failure = GetLastError();
        if (failure == ERROR_IO_PENDING) {
            write_pending_ = true;
            return port_status::again;
        }
        *error = static_cast<int>(failure);
        return failure == NO_BUFFER ? port_status::no_buffer : port_status::failed;
    }

    const HANDLE handle_;
    device_overlapped* const io_;
    // tun_reader's only.
    std::array<std::vector<uint8_t>, 2> read_buffers_{std::vector<uint8_t>(DEVICE_READ_LEN),
                                                      std::vector<uint8_t>(DEVICE_READ_LEN)};
    size_t current_ = 0;
    op_state read_state_ = op_state::idle;
    DWORD read_error_ = 0;
    // Whoever has the device's write in flight.
    std::vector<uint8_t> write_buffer_;
    bool write_pending_ = false;
    std::deque<std::vector<uint8_t>> held_;
};

// One receive buffer and the sender's address its datagram came from.
struct receive_entry {
    std::vector<uint8_t> data = std::vector<uint8_t>(MSG_BUF_LEN);
    sockaddr_storage from{};
    INT from_len = 0;
    DWORD flags = 0;
};

// The session's socket. Receives go round a ring of buffers with one posted at all times, by
// the receiver alone (as device reads, so that they outlive the thread that opened the port);
// sends go from a buffer of the port's, one at a time.
class socket_port {
  public:
    explicit socket_port(const udp_socket* sock)
        : s_(sock->s), peer_(&sock->peer.sa), peer_len_(sock->peer_len) {
        send_ov_.hEvent = WSACreateEvent();
        recv_ov_.hEvent = WSACreateEvent();
        if (send_ov_.hEvent == WSA_INVALID_EVENT || recv_ov_.hEvent == WSA_INVALID_EVENT) {
            close_events();
            throw std::runtime_error("WSACreateEvent failed: " + std::to_string(WSAGetLastError()));
        }
    }

    ~socket_port() {
        DWORD n = 0;
        DWORD flags = 0;
        if (recv_state_ == op_state::posted) {
            CancelIoEx(reinterpret_cast<HANDLE>(s_), &recv_ov_);
            WSAGetOverlappedResult(s_, &recv_ov_, &n, TRUE, &flags);
        }
        if (send_state_ == send_state::pending) {
            CancelIoEx(reinterpret_cast<HANDLE>(s_), &send_ov_);
            WSAGetOverlappedResult(s_, &send_ov_, &n, TRUE, &flags);
        }
        close_events();
    }

    socket_port(const socket_port&) = delete;
    socket_port& operator=(const socket_port&) = delete;

    port_wait wait(bool writable, worker_wakeup* wakeup, int timeout_ms, int* error) {
        if (writable) {
            return send_state_ == send_state::pending
                       ? wait_for(send_ov_.hEvent, wakeup, timeout_ms, error)
                       : port_wait::ready;
        }
        if (recv_state_ == op_state::idle) {
            post_receive();
        }
        return recv_state_ == op_state::posted
                   ? wait_for(recv_ov_.hEvent, wakeup, timeout_ms, error)
                   : port_wait::ready;
    }

    port_status send(const outgoing_datagram* datagrams, size_t count, size_t* sent, int* error) {
        *sent = 0;
        const port_status status = finish_send(error);
        if (status != port_status::done) {
            return status;
        }
        for (; *sent < count; ++*sent) {
            const outgoing_datagram& d = datagrams[*sent];
            send_buffer_.assign(d.data, d.data + d.len);
            const port_status one = post_send(error);
            if (one == port_status::again) {
                // In flight from the port's buffer: sent as far as the caller is concerned.
                send_state_ = send_state::pending;
                ++*sent;
                return one;
            }
            if (one != port_status::done) {
                return one;  // not taken: the caller keeps it
            }
        }
        return port_status::done;
    }

    port_status receive(std::vector<incoming_datagram>* out, int* error) {
        out->clear();
        while (out->size() < RECEIVE_RING - 1) {
            if (recv_state_ == op_state::idle) {
                post_receive();
            }
            DWORD n = 0;
            DWORD flags = 0;
            int failure = recv_error_;
            if (recv_state_ == op_state::posted) {
                failure = WSAGetOverlappedResult(s_, &recv_ov_, &n, FALSE, &flags)
                              ? 0
                              : WSAGetLastError();
                if (failure == WSA_IO_INCOMPLETE) {
                    break;
                }
            }
            recv_state_ = op_state::idle;
            if (failure == WSAECONNRESET || failure == WSAENETRESET) {
                // An ICMP error answering an earlier send, not a fault of the socket: the next
                // wait receives on.
                QN_INFO_IN("udp_receiver", "WSARecvFrom: ICMP error {} passed over.", failure);
                break;
            }
            if (failure == static_cast<int>(NO_BUFFER)) {
                // The receive goes on with what it reported, as a completed one would.
                QN_INFO_LIMITED_IN("udp_receiver", "No enough buffer.");
            } else if (failure != 0 && failure != WSAEMSGSIZE) {
                *error = failure;
                return port_status::failed;
            }
            receive_entry& entry = ring_[current_];
            out->push_back({entry.data.data(), n, failure == WSAEMSGSIZE, &entry.from});
            current_ = (current_ + 1) % RECEIVE_RING;
            post_receive();
        }
        return port_status::done;
    }

  private:
    enum class send_state { idle, pending, unsent };

    void close_events() {
        for (WSAOVERLAPPED* ov : {&send_ov_, &recv_ov_}) {
            if (ov->hEvent != nullptr && ov->hEvent != WSA_INVALID_EVENT) {
                WSACloseEvent(ov->hEvent);
            }
        }
    }

    void post_receive() {
        receive_entry& entry = ring_[current_];
        entry.from_len = sizeof(entry.from);
        entry.flags = 0;
        rearm(&recv_ov_);
        WSABUF buffer{static_cast<ULONG>(entry.data.size()),
                      reinterpret_cast<char*>(entry.data.data())};
        recv_error_ = 0;
        recv_state_ = op_state::posted;
        if (win().WSARecvFrom(s_, &buffer, 1, nullptr, &entry.flags,
                              reinterpret_cast<sockaddr*>(&entry.from), &entry.from_len, &recv_ov_,
                              nullptr) != 0) {
            const int error = WSAGetLastError();
            if (error != WSA_IO_PENDING) {
                recv_state_ = op_state::failed;
                recv_error_ = error;
            }
        }
    }

    // Sends what the port's buffer holds: done (gone), again (pending), no_buffer or failed.
    port_status post_send(int* error) {
        rearm(&send_ov_);
        WSABUF buffer{static_cast<ULONG>(send_buffer_.size()),
                      reinterpret_cast<char*>(send_buffer_.data())};
        if (WSASendTo(s_, &buffer, 1, nullptr, 0, peer_, peer_len_, &send_ov_, nullptr) == 0) {
            return port_status::done;
        }
        const int failure = WSAGetLastError();
        if (failure == WSA_IO_PENDING) {
            return port_status::again;
        }
        *error = failure;
        return send_error_status(failure);
    }

    // The datagram the port holds, if any: done once it has gone.
    port_status finish_send(int* error) {
        if (send_state_ == send_state::pending) {
            DWORD n = 0;
            DWORD flags = 0;
            if (WSAGetOverlappedResult(s_, &send_ov_, &n, FALSE, &flags)) {
                send_state_ = send_state::idle;
                return port_status::done;
            }
            const int failure = WSAGetLastError();
            if (failure == WSA_IO_INCOMPLETE) {
                return port_status::again;
            }
            const port_status status = send_error_status(failure);
            if (status != port_status::no_buffer) {
                // Gone from the caller's hands already: lost with the path, or the end.
                send_state_ = send_state::idle;
                *error = failure;
                return status == port_status::unreachable ? status : port_status::failed;
            }
            send_state_ = send_state::unsent;
            QN_INFO_LIMITED_IN("udp_sender", "No enough buffer.");
        }
        if (send_state_ == send_state::unsent) {
            const port_status status = post_send(error);
            send_state_ = status == port_status::again       ? send_state::pending
                          : status == port_status::no_buffer ? send_state::unsent
                                                             : send_state::idle;
            return status;
        }
        return port_status::done;
    }

    const SOCKET s_;
    const sockaddr* const peer_;
    const int peer_len_;
    // Whoever has the socket's send in flight.
    WSAOVERLAPPED send_ov_{};
    std::vector<uint8_t> send_buffer_;
    send_state send_state_ = send_state::idle;
    // udp_receiver's only.
    WSAOVERLAPPED recv_ov_{};
    std::array<receive_entry, RECEIVE_RING> ring_;
    size_t current_ = 0;
    op_state recv_state_ = op_state::idle;
    int recv_error_ = 0;
};

class windows_ports : public data_ports {
  public:
    explicit windows_ports(qn_ctx_t* ctx)
        : wakeup_(ctx->running.wakeup()), device_(ctx->tun), socket_(ctx->sock) {
        QN_INFO(
            "Device reads and writes, UDP sends and receives: overlapped, one of each kind "
            "outstanding.");
    }

    port_wait wait_device(bool writable, int timeout_ms, int* error) override {
        return device_.wait(writable, wakeup_, timeout_ms, error);
    }

    port_wait wait_socket(bool writable, int timeout_ms, int* error) override {
        return socket_.wait(writable, wakeup_, timeout_ms, error);
    }

    port_status read_device(packet_sink sink, int* error) override {
        return device_.read(sink, error);
    }

    port_status write_device(const packet_ref* packets, size_t count, uint64_t* bytes,
                             int* error) override {
        return device_.write(packets, count, bytes, error);
    }

    port_status send_datagrams(const outgoing_datagram* datagrams, size_t count, size_t* sent,
                               int* error) override {
        return socket_.send(datagrams, count, sent, error);
    }

    port_status receive_datagrams(std::vector<incoming_datagram>* out, int* error) override {
        return socket_.receive(out, error);
    }

    void describe_sender(const void* from, std::string* host, uint16_t* port) const override {
        describe_address(from, host, port);
    }

  private:
    worker_wakeup* const wakeup_;
    device_port device_;
    socket_port socket_;
};

}  // namespace

std::unique_ptr<data_ports> data_ports_open(qn_ctx_t* ctx) {
    return std::make_unique<windows_ports>(ctx);
}
