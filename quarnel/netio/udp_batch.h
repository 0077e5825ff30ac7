// Batched UDP: many datagrams per system call, with segmentation offload (UDP_SEGMENT) on
// sending and receive coalescing (UDP_GRO) where the kernel has them, sendmmsg and recvmmsg
// otherwise. The datagrams on the wire are the same either way.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// A socket with the batching it uses. Two threads may send on it at once.
struct udp_batch_socket {
    int fd;
    std::atomic<bool> gso{false};  // equal-sized runs go out as one segmented send
    bool gro = false;              // the kernel may hand over several datagrams in one receive
};

// Probes UDP_SEGMENT and turns on UDP_GRO when `allow`; records in the flags what works.
// Either way the socket's buffers grow to UDP_BATCH_BUFFER bytes where permitted: a
// segmented run arrives as one burst, and a full receive buffer drops all of it.
void udp_batch_setup(udp_batch_socket* sock, bool allow);

constexpr int UDP_BATCH_BUFFER = 2 << 20;

struct udp_datagram {
    const uint8_t* data;
    size_t len;
    const sockaddr* peer;
    socklen_t peer_len;
};

// Most datagrams the kernel takes in one segmented send.
constexpr size_t UDP_GSO_MAX_SEGMENTS = 64;

// Sends the datagrams in order without waiting. Consecutive datagrams to the same peer of
// equal size (the last of a run may be shorter) go out as one segmented send. Returns how
// many were sent; fewer than count with *error set (EAGAIN when the socket is full), or all
// with *error 0. A segmented send the kernel refuses (EIO, EINVAL) is sent again without
// segmentation and sock->gso is turned off for good.
size_t udp_send_batch(udp_batch_socket* sock, const udp_datagram* datagrams, size_t count,
                      int* error);

struct udp_received {
    uint8_t* data;  // in the receive area: the caller's to change until the next receive
    size_t len;
    const sockaddr_storage* from;
    bool truncated;  // the datagram did not fit its buffer; what is there is incomplete
};

// Buffers of batched receives: several messages per call, each large enough for a coalesced
// run when the socket has GRO on.
class udp_receive_area {
  public:
    // Room for `messages` messages of `message_size` bytes each.
    udp_receive_area(size_t messages, size_t message_size);
    ~udp_receive_area();
    udp_receive_area(const udp_receive_area&) = delete;
    udp_receive_area& operator=(const udp_receive_area&) = delete;

    struct impl;
    std::unique_ptr<impl> d;
};

// Message size a receive area needs on a socket: a whole coalesced run with GRO, otherwise
// one datagram of at most max_datagram bytes.
size_t udp_receive_message_size(const udp_batch_socket& sock, size_t max_datagram);

// Receives what is waiting without blocking and splits coalesced runs; `out` is replaced by
// the datagrams in arrival order. Returns 0, or the errno of a failed receive (EAGAIN when
// nothing was waiting).
int udp_receive_batch(udp_batch_socket* sock, udp_receive_area* area,
                      std::vector<udp_received>* out);
