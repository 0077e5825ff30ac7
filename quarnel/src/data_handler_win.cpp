// The data workers' ports on Windows: overlapped reads and writes of the TAP device and
// overlapped sends and receives on the session's socket, each operation with its own event
// and bounded waits that a stop's wake-up ends.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <chrono>
#include <thread>
#include <vector>

#include "data_handler.h"
#include "data_ports.h"
#include "engine_log.h"
#include "quarnel.h"
#include "socket_util.h"
#include "tun_device_win.h"
#include "tun_util.h"

struct worker_wakeup {
    HANDLE event;
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

void worker_wakeup_wait(worker_wakeup* wakeup, int timeout_ms) {
    if (wakeup == nullptr) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
        return;
    }
    WaitForSingleObject(wakeup->event, static_cast<DWORD>(timeout_ms));
}

void worker_wakeup_destroy(worker_wakeup* wakeup) {
    if (wakeup != nullptr) {
        CloseHandle(wakeup->event);
        delete wakeup;
    }
}

namespace {

constexpr size_t READ_LEN = 2048;
// Operations in one batch; one more buffer than that stays posted meanwhile, so the device and
// the socket always have a read outstanding (the double buffering, for batches).
constexpr size_t BATCH = 32;
constexpr size_t RING = BATCH + 1;
constexpr DWORD PENDING = ERROR_IO_PENDING;  // 997

// Up to timeout_ms for the operation's event or the wake-up.
port_wait wait_event(HANDLE event, worker_wakeup* wakeup, int timeout_ms, int* error) {
    const HANDLE events[2] = {event, wakeup != nullptr ? wakeup->event : nullptr};
    const DWORD count = wakeup != nullptr ? 2 : 1;
    const DWORD r = WaitForMultipleObjects(count, events, FALSE, static_cast<DWORD>(timeout_ms));
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

port_status status_of(DWORD error) {
    switch (error) {
        case 0:
            return port_status::done;
        case WSAENOBUFS:
            return port_status::no_buffer;
        default:
            return port_status::failed;
    }
}

// One buffer of a ring and the overlapped operation that fills it.
struct ring_entry {
    OVERLAPPED ov{};
    std::vector<uint8_t> data = std::vector<uint8_t>(READ_LEN);
    DWORD count = 0;
    DWORD error = 0;  // of the post: 0 pending or done, else the system's
    sockaddr_storage from{};
    INT from_len = 0;
    DWORD flags = 0;
};

// Reads of one handle or socket into a ring of buffers, one posted at any time.
class read_ring {
  public:
    using post_fn = DWORD (*)(void* owner, ring_entry& entry);
    using result_fn = bool (*)(void* owner, ring_entry& entry, DWORD* count, DWORD* error);

    read_ring(void* owner, post_fn post, result_fn result)
        : owner_(owner), post_(post), result_(result), entries_(RING) {
        for (ring_entry& e : entries_) {
            e.ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        }
    }
    ~read_ring() {
        for (ring_entry& e : entries_) {
            if (e.ov.hEvent != nullptr) {
                CloseHandle(e.ov.hEvent);
            }
        }
    }
    read_ring(const read_ring&) = delete;
    read_ring& operator=(const read_ring&) = delete;

    bool ready() const {
        for (const ring_entry& e : entries_) {
            if (e.ov.hEvent == nullptr) {
                return false;
            }
        }
        return true;
    }
    HANDLE event() const { return entries_[current_].ov.hEvent; }
    void start() { post(entries_[current_]); }

    // Takes the completed reads, up to one batch, posting the next read before each is handed
    // on; stops at the first one still in flight. The entries stay valid until the next call.
    port_status take(std::vector<ring_entry*>* done, int* error) {
        done->clear();
        while (done->size() < BATCH) {
            ring_entry& e = entries_[current_];
            DWORD count = 0;
            DWORD failure = e.error;
            if (failure == 0 && !result_(owner_, e, &count, &failure)) {
                if (failure == ERROR_IO_INCOMPLETE) {
                    return port_status::done;
                }
            }
            e.count = count;
            current_ = (current_ + 1) % RING;
            post(entries_[current_]);
            if (failure != 0 && failure != WSAEMSGSIZE && failure != ERROR_MORE_DATA) {
                *error = static_cast<int>(failure);
                return status_of(failure);
            }
            e.error = failure;
            done->push_back(&e);
        }
        return port_status::done;
    }

    // The read in flight, cancelled and seen to end before its buffer goes.
    void cancel(HANDLE handle) {
        ring_entry& e = entries_[current_];
        if (e.error == 0) {
            CancelIoEx(handle, &e.ov);
            DWORD count = 0;
            DWORD failure = 0;
            if (!result_(owner_, e, &count, &failure) && failure == ERROR_IO_INCOMPLETE) {
                WaitForSingleObject(e.ov.hEvent, INFINITE);
            }
        }
    }

  private:
    void post(ring_entry& e) {
        const HANDLE event = e.ov.hEvent;
        e.ov = OVERLAPPED{};
        e.ov.hEvent = event;
        ResetEvent(event);
        e.count = 0;
        const DWORD error = post_(owner_, e);
        e.error = error == PENDING ? 0 : error;
    }

    void* owner_;
    post_fn post_;
    result_fn result_;
    std::vector<ring_entry> entries_;
    size_t current_ = 0;
};

class windows_ports : public data_ports {
  public:
    explicit windows_ports(qn_ctx_t* ctx)
        : device_(ctx->tun->handle),
          write_ov_(&ctx->tun->io->write_ov),
          socket_(ctx->sock->s),
          peer_(&ctx->sock->peer.sa),
          peer_len_(ctx->sock->peer_len),
          wakeup_(ctx->wakeup),
          device_reads_(this, &post_device_read, &device_result),
          socket_reads_(this, &post_receive, &socket_result) {
        send_ov_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        device_reads_.start();
        socket_reads_.start();
    }
    ~windows_ports() override {
        device_reads_.cancel(device_);
        socket_reads_.cancel(reinterpret_cast<HANDLE>(socket_));
        if (send_ov_.hEvent != nullptr) {
            CloseHandle(send_ov_.hEvent);
        }
    }

    bool device_header() const override { return false; }

    port_wait wait_device(bool writable, int timeout_ms, int* error) override {
        // Writes wait inside write_device.
        return writable ? port_wait::ready
                        : wait_event(device_reads_.event(), wakeup_, timeout_ms, error);
    }

    port_wait wait_socket(bool writable, int timeout_ms, int* error) override {
        return writable ? port_wait::ready
                        : wait_event(socket_reads_.event(), wakeup_, timeout_ms, error);
    }

    port_status read_device(std::vector<frame>* frames, int* error) override {
        frames->clear();
        const port_status status = device_reads_.take(&taken_device_, error);
        for (ring_entry* e : taken_device_) {
            frames->push_back({e->data.data(), e->count});
        }
        return status;
    }

    port_status write_device(const uint8_t* data, size_t len, int* error) override {
        return write_overlapped(data, len, error);
    }

    port_status send_datagrams(const outgoing_datagram* datagrams, size_t count, size_t* sent,
                               int* error) override {
        *sent = 0;
        for (; *sent < count; ++*sent) {
            const port_status status = send_one(datagrams[*sent], error);
            if (status != port_status::done) {
                return status;
            }
        }
        return port_status::done;
    }

    port_status receive_datagrams(std::vector<incoming_datagram>* out, int* error) override {
        out->clear();
        const port_status status = socket_reads_.take(&taken_socket_, error);
        for (ring_entry* e : taken_socket_) {
            out->push_back({e->data.data(), e->count, e->error == WSAEMSGSIZE, &e->from});
        }
        return status;
    }

    void describe_sender(const void* from, std::string* host, uint16_t* port) const override {
        const auto* addr = static_cast<const sockaddr_storage*>(from);
        char text[INET6_ADDRSTRLEN] = {};
        *port = 0;
        if (addr->ss_family == AF_INET) {
            const auto* a = reinterpret_cast<const sockaddr_in*>(addr);
            inet_ntop(AF_INET, &a->sin_addr, text, sizeof(text));
            *port = ntohs(a->sin_port);
        } else if (addr->ss_family == AF_INET6) {
            const auto* a = reinterpret_cast<const sockaddr_in6*>(addr);
            inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof(text));
            *port = ntohs(a->sin6_port);
        }
        *host = text;
    }

  private:
    static DWORD post_device_read(void* owner, ring_entry& e) {
        auto* self = static_cast<windows_ports*>(owner);
        if (ReadFile(self->device_, e.data.data(), static_cast<DWORD>(e.data.size()), nullptr,
                     &e.ov)) {
            return 0;
        }
        return GetLastError();
    }
    static bool device_result(void* owner, ring_entry& e, DWORD* count, DWORD* error) {
        auto* self = static_cast<windows_ports*>(owner);
        if (GetOverlappedResult(self->device_, &e.ov, count, FALSE)) {
            return true;
        }
        *error = GetLastError();
        return false;
    }
    static DWORD post_receive(void* owner, ring_entry& e) {
        auto* self = static_cast<windows_ports*>(owner);
        WSABUF buffer{static_cast<ULONG>(e.data.size()), reinterpret_cast<char*>(e.data.data())};
        e.from_len = sizeof(e.from);
        e.flags = 0;
        if (WSARecvFrom(self->socket_, &buffer, 1, nullptr, &e.flags,
                        reinterpret_cast<sockaddr*>(&e.from), &e.from_len,
                        reinterpret_cast<WSAOVERLAPPED*>(&e.ov), nullptr) == 0) {
            return 0;
        }
        return static_cast<DWORD>(WSAGetLastError());
    }
    static bool socket_result(void* owner, ring_entry& e, DWORD* count, DWORD* error) {
        auto* self = static_cast<windows_ports*>(owner);
        DWORD flags = 0;
        if (WSAGetOverlappedResult(self->socket_, reinterpret_cast<WSAOVERLAPPED*>(&e.ov), count,
                                   FALSE, &flags)) {
            return true;
        }
        *error = static_cast<DWORD>(WSAGetLastError());
        return false;
    }

    // Waits up to the bounded time for a pending operation; false with *error set when it did
    // not complete (cancelled then, and seen to end).
    template <typename Result>
    bool finish(HANDLE handle, OVERLAPPED* ov, Result result, DWORD* count, int* error) {
        const DWORD wait = WaitForSingleObject(ov->hEvent, IO_WAIT_MS);
        if (wait != WAIT_OBJECT_0) {
            *error = static_cast<int>(wait == WAIT_FAILED ? GetLastError() : wait);
            CancelIoEx(handle, ov);
            WaitForSingleObject(ov->hEvent, INFINITE);
            return false;
        }
        DWORD failure = 0;
        if (!result(count, &failure)) {
            *error = static_cast<int>(failure);
            return false;
        }
        return true;
    }

    port_status write_overlapped(const uint8_t* data, size_t len, int* error) {
        OVERLAPPED* ov = write_ov_;
        for (;;) {
            const HANDLE event = ov->hEvent;
            *ov = OVERLAPPED{};
            ov->hEvent = event;
            ResetEvent(event);
            if (WriteFile(device_, data, static_cast<DWORD>(len), nullptr, ov)) {
                return port_status::done;
            }
            const DWORD failure = GetLastError();
            if (failure == WSAENOBUFS) {
                QN_INFO_IN("tun_writer", "No enough buffer.");
                continue;
            }
            if (failure != PENDING) {
                *error = static_cast<int>(failure);
                return port_status::failed;
            }
            DWORD count = 0;
            const bool ok = finish(
                device_, ov,
                [&](DWORD* n, DWORD* e) {
                    if (GetOverlappedResult(device_, ov, n, FALSE)) {
                        return true;
                    }
                    *e = GetLastError();
                    return false;
                },
                &count, error);
            return ok ? port_status::done : port_status::failed;
        }
    }

    port_status send_one(const outgoing_datagram& d, int* error) {
        WSABUF buffer{static_cast<ULONG>(d.len),
                      reinterpret_cast<char*>(const_cast<uint8_t*>(d.data))};
        for (;;) {
            const HANDLE event = send_ov_.hEvent;
            send_ov_ = OVERLAPPED{};
            send_ov_.hEvent = event;
            ResetEvent(event);
            if (WSASendTo(socket_, &buffer, 1, nullptr, 0, peer_, peer_len_,
                          reinterpret_cast<WSAOVERLAPPED*>(&send_ov_), nullptr) == 0) {
                return port_status::done;
            }
            const int failure = WSAGetLastError();
            if (failure != WSA_IO_PENDING) {
                *error = failure;
                return port_status::failed;
            }
            DWORD count = 0;
            if (finish(
                    reinterpret_cast<HANDLE>(socket_), &send_ov_,
                    [&](DWORD* n, DWORD* e) {
                        DWORD flags = 0;
                        if (WSAGetOverlappedResult(socket_,
                                                   reinterpret_cast<WSAOVERLAPPED*>(&send_ov_), n,
                                                   FALSE, &flags)) {
                            return true;
                        }
                        *e = static_cast<DWORD>(WSAGetLastError());
                        return false;
                    },
                    &count, error)) {
                return port_status::done;
            }
            if (*error != WSAENOBUFS) {
                return port_status::failed;
            }
            QN_INFO_IN("udp_sender", "No enough buffer.");
        }
    }

    const HANDLE device_;
    OVERLAPPED* const write_ov_;
    const SOCKET socket_;
    const sockaddr* const peer_;
    const int peer_len_;
    worker_wakeup* const wakeup_;
    OVERLAPPED send_ov_{};
    read_ring device_reads_;  // tun_reader's
    read_ring socket_reads_;  // udp_receiver's
    std::vector<ring_entry*> taken_device_;
    std::vector<ring_entry*> taken_socket_;
};

}  // namespace

std::unique_ptr<data_ports> data_ports_open(qn_ctx_t* ctx) {
    return std::make_unique<windows_ports>(ctx);
}
