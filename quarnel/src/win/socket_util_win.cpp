#include <algorithm>
#include <mutex>
#include <string>

#include "engine_log.h"
#include "socket_util.h"
#include "win_calls.h"

#ifndef SIO_UDP_NETRESET
#define SIO_UDP_NETRESET _WSAIOW(IOC_VENDOR, 15)
#endif

// udp_send_and_recv's overlapped records; S4 and S5 may be sent from different threads, so
// one exchange runs at a time.
struct socket_overlapped {
    WSAOVERLAPPED send_ov{};
    WSAOVERLAPPED recv_ov{};
    std::mutex exchange;
};

namespace {

constexpr int PENDING = WSA_IO_PENDING;  // 997
constexpr int NO_BUFFER = WSAENOBUFS;    // 10055

// A fresh record on its own event, which is left non-signalled.
void rearm(WSAOVERLAPPED* ov) {
    const WSAEVENT event = ov->hEvent;
    *ov = WSAOVERLAPPED{};
    ov->hEvent = event;
    WSAResetEvent(event);
}

// Cancels the operation and waits until the cancellation is seen, so that neither the record
// nor the buffer is written to after the caller moves on.
void cancel(SOCKET s, WSAOVERLAPPED* ov) {
    CancelIoEx(reinterpret_cast<HANDLE>(s), ov);
    DWORD n = 0;
    DWORD flags = 0;
    WSAGetOverlappedResult(s, ov, &n, TRUE, &flags);
}

// The bounded wait of a pending operation and its result: true with *n, or false (logged).
// *error is the completion's error when it failed (0 otherwise).
bool complete(SOCKET s, WSAOVERLAPPED* ov, DWORD* n, int* error) {
    *error = 0;
    const DWORD wait = WaitForSingleObject(ov->hEvent, IO_WAIT_MS);
    if (wait == WAIT_TIMEOUT) {
        QN_ERROR_IN("udp_send_and_recv", "WaitForSingleObject timeout.");
        cancel(s, ov);
        return false;
    }
    if (wait != WAIT_OBJECT_0) {
        QN_ERROR_IN("udp_send_and_recv", "WaitForSingleObject failed: {}.", wait);
        cancel(s, ov);
        return false;
    }
    DWORD flags = 0;
    if (!WSAGetOverlappedResult(s, ov, n, FALSE, &flags)) {
        *error = WSAGetLastError();
        return false;
    }
    return true;
}

int send_request(udp_socket* sock, const uint8_t* msg, int len) {
    WSAOVERLAPPED* ov = &sock->io->send_ov;
    rearm(ov);
    WSABUF buffer{static_cast<ULONG>(len), reinterpret_cast<char*>(const_cast<uint8_t*>(msg))};
    if (WSASendTo(sock->s, &buffer, 1, nullptr, 0, &sock->peer.sa, sock->peer_len, ov, nullptr) ==
        0) {
        return 0;
    }
    const int error = WSAGetLastError();
    if (error != PENDING) {
        QN_ERROR_IN("udp_send_and_recv", "WSASendTo failed: {}.", error);
        return -1;
    }
    DWORD n = 0;
    int completion = 0;
    if (complete(sock->s, ov, &n, &completion)) {
        return 0;
    }
    if (completion == NO_BUFFER) {
        QN_INFO_IN("udp_send_and_recv", "No enough buffer.");
        return 0;
    }
    if (completion != 0) {
        QN_ERROR_IN("udp_send_and_recv", "WSAGetOverlappedResult failed: {}.", completion);
    }
    return -1;
}

int receive_reply(udp_socket* sock, uint8_t* reply, int* reply_len) {
    WSAOVERLAPPED* ov = &sock->io->recv_ov;
    rearm(ov);
    WSABUF buffer{static_cast<ULONG>(*reply_len), reinterpret_cast<char*>(reply)};
    DWORD n = 0;
    DWORD flags = 0;
    sockaddr_storage from{};
    int from_len = sizeof(from);
    if (WSARecvFrom(sock->s, &buffer, 1, &n, &flags, reinterpret_cast<sockaddr*>(&from), &from_len,
                    ov, nullptr) == 0) {
        *reply_len = static_cast<int>(n);
        return 0;
    }
    const int error = WSAGetLastError();
    if (error != PENDING) {
        QN_ERROR_IN("udp_send_and_recv", "WSARecvFrom failed: {}.", error);
        return -1;
    }
    int completion = 0;
    if (complete(sock->s, ov, &n, &completion)) {
        *reply_len = static_cast<int>(n);
        return 0;
    }
    if (completion != 0) {
        QN_ERROR_IN("udp_send_and_recv", "WSAGetOverlappedResult failed: {}.", completion);
    }
    return -1;
}

}  // namespace

int socket_create(udp_socket* sock) {
    sock->io = new socket_overlapped();
    sock->io->send_ov.hEvent = WSACreateEvent();
    sock->io->recv_ov.hEvent = WSACreateEvent();
    if (sock->io->send_ov.hEvent == WSA_INVALID_EVENT ||
        sock->io->recv_ov.hEvent == WSA_INVALID_EVENT) {
        return WSAGetLastError();
    }
    sock->s = WSASocketA(sock->peer.sa.sa_family, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                         WSA_FLAG_OVERLAPPED);
    if (sock->s == NO_SOCKET) {
        return WSAGetLastError();
    }
    // Otherwise an ICMP port unreachable (a server restarting) or time exceeded answering any
    // earlier send fails the next receive; where a switch is missing the receiver lets the
    // error pass.
    for (const DWORD code : {SIO_UDP_CONNRESET, SIO_UDP_NETRESET}) {
        BOOL report = FALSE;
        DWORD n = 0;
        if (win().WSAIoctl(sock->s, code, &report, sizeof(report), nullptr, 0, &n, nullptr,
                           nullptr) != 0) {
            QN_WARN("WSAIoctl {:#x} failed: {}.", code, WSAGetLastError());
        }
    }
    return 0;
}

std::string resolve_error_text(int code) {
    char text[1024] = {};
    const DWORD n =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text,
                       sizeof(text), nullptr);
    std::string result(text, n);
    // One log line: the system's text ends with a line break, some contain more.
    result.erase(
        std::remove_if(result.begin(), result.end(), [](char c) { return c == '\r' || c == '\n'; }),
        result.end());
    return result.empty() ? std::to_string(code) : result;
}

int udp_send_and_recv(udp_socket* sock, const uint8_t* msg, int len, uint8_t* reply,
                      int* reply_len) {
    std::lock_guard<std::mutex> lock(sock->io->exchange);
    if (send_request(sock, msg, len) != 0) {
        return -1;
    }
    if (reply == nullptr || reply_len == nullptr) {
        return 0;
    }
    return receive_reply(sock, reply, reply_len);
}

void socket_close(udp_socket* sock) {
    if (sock == nullptr) {
        return;
    }
    socket_overlapped* io = sock->io;
    if (sock->s != NO_SOCKET) {
        CancelIoEx(reinterpret_cast<HANDLE>(sock->s), &io->send_ov);
        CancelIoEx(reinterpret_cast<HANDLE>(sock->s), &io->recv_ov);
        closesocket(sock->s);
        sock->s = NO_SOCKET;
    }
    if (io != nullptr) {
        for (WSAOVERLAPPED* ov : {&io->send_ov, &io->recv_ov}) {
            if (ov->hEvent != nullptr && ov->hEvent != WSA_INVALID_EVENT) {
                WSACloseEvent(ov->hEvent);
            }
        }
        delete io;
    }
    delete sock;
}
