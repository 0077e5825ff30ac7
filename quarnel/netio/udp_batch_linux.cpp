#include <netinet/udp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "tcp_offload.h"
#include "udp_batch.h"

namespace {

// Per sendmmsg call: messages (each a datagram or a segmented run) and their buffers.
constexpr size_t SEND_MESSAGES = 64;
constexpr size_t SEND_IOVS = 1024;
// Payload of one segmented send: below the IPv4 limit once the headers are added.
constexpr size_t GSO_MAX_BYTES = 65000;

union control_space {
    cmsghdr align;
    char buf[CMSG_SPACE(sizeof(int))];
};

bool same_peer(const udp_datagram& a, const udp_datagram& b) {
    return a.peer_len == b.peer_len &&
           (a.peer == b.peer || std::memcmp(a.peer, b.peer, a.peer_len) == 0);
}

// How many datagrams from `first` on can go out as one segmented send.
size_t run_length(const udp_datagram* d, size_t count, size_t first, size_t iovs_left) {
    const size_t size = d[first].len;
    size_t total = size;
    size_t n = 1;
    while (first + n < count && n < UDP_GSO_MAX_SEGMENTS && n < iovs_left) {
        const udp_datagram& next = d[first + n];
        if (!same_peer(d[first], next) || next.len == 0 || next.len > size ||
            total + next.len > GSO_MAX_BYTES) {
            break;
        }
        total += next.len;
        ++n;
        if (next.len < size) {
            break;  // only the last segment of a run may be shorter
        }
    }
    return n;
}

void set_segment_size(msghdr* hdr, control_space* control, size_t size) {
    std::memset(control, 0, sizeof(*control));
    hdr->msg_control = control->buf;
    hdr->msg_controllen = CMSG_SPACE(sizeof(uint16_t));
    cmsghdr* c = CMSG_FIRSTHDR(hdr);
    c->cmsg_level = SOL_UDP;
    c->cmsg_type = UDP_SEGMENT;
    c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
    const uint16_t segment = static_cast<uint16_t>(size);
    std::memcpy(CMSG_DATA(c), &segment, sizeof(segment));
}

struct send_plan {
    mmsghdr msgs[SEND_MESSAGES];
    iovec iovs[SEND_IOVS];
    control_space controls[SEND_MESSAGES];
    size_t datagrams[SEND_MESSAGES];  // datagrams carried by each message
    size_t messages = 0;
};

// Lays out datagrams from `first` on into messages; segmented runs only when `gso`.
void plan_messages(const udp_datagram* d, size_t count, size_t first, bool gso, send_plan* plan) {
    size_t iov = 0;
    plan->messages = 0;
    for (size_t i = first; i < count && plan->messages < SEND_MESSAGES && iov < SEND_IOVS;) {
        const size_t run = gso && d[i].len > 0 ? run_length(d, count, i, SEND_IOVS - iov) : 1;
        mmsghdr& m = plan->msgs[plan->messages];
        m = {};
        m.msg_hdr.msg_name = const_cast<sockaddr*>(d[i].peer);
        m.msg_hdr.msg_namelen = d[i].peer_len;
        m.msg_hdr.msg_iov = &plan->iovs[iov];
        m.msg_hdr.msg_iovlen = run;
        for (size_t k = 0; k < run; ++k) {
            plan->iovs[iov++] = {const_cast<uint8_t*>(d[i + k].data), d[i + k].len};
        }
        if (run > 1) {
            set_segment_size(&m.msg_hdr, &plan->controls[plan->messages], d[i].len);
        }
        plan->datagrams[plan->messages++] = run;
        i += run;
    }
}

// The forced size needs privileges (the engine has them for its device); without them the
// size is capped by the system's limit.
void grow_buffer(int fd, int forced, int plain) {
    const int size = UDP_BATCH_BUFFER;
    if (setsockopt(fd, SOL_SOCKET, forced, &size, sizeof(size)) != 0) {
        setsockopt(fd, SOL_SOCKET, plain, &size, sizeof(size));
    }
}

}  // namespace

void udp_batch_setup(udp_batch_socket* sock, bool allow) {
    grow_buffer(sock->fd, SO_RCVBUFFORCE, SO_RCVBUF);
    grow_buffer(sock->fd, SO_SNDBUFFORCE, SO_SNDBUF);
    sock->gso = false;
    sock->gro = false;
    if (!allow) {
        return;
    }
    int value = 0;
    socklen_t len = sizeof(value);
    sock->gso = getsockopt(sock->fd, SOL_UDP, UDP_SEGMENT, &value, &len) == 0;
    const int on = 1;
    sock->gro = setsockopt(sock->fd, SOL_UDP, UDP_GRO, &on, sizeof(on)) == 0;
}

size_t udp_send_batch(udp_batch_socket* sock, const udp_datagram* datagrams, size_t count,
                      int* error) {
    *error = 0;
    send_plan plan;
    size_t done = 0;
    bool plain = false;
    while (done < count) {
        const bool gso = !plain && sock->gso.load(std::memory_order_relaxed);
        plan_messages(datagrams, count, done, gso, &plan);
        const int r =
            sendmmsg(sock->fd, plan.msgs, static_cast<unsigned>(plan.messages), MSG_DONTWAIT);
        if (r > 0) {
            for (int i = 0; i < r; ++i) {
                done += plan.datagrams[i];
            }
            continue;
        }
        if (r < 0 && errno == EINTR) {
            continue;
        }
        // A device or path that cannot segment refuses the first run: send it plainly.
        if (r < 0 && plan.datagrams[0] > 1 && (errno == EIO || errno == EINVAL)) {
            sock->gso.store(false);
            continue;
        }
        // A run's segments larger than the path takes (an uplink of a smaller MTU): the rest of
        // this call goes plainly, as datagrams the kernel may fragment; the next call tries runs
        // again, for the path may have grown back.
        if (r < 0 && plan.datagrams[0] > 1 && errno == EMSGSIZE) {
            plain = true;
            continue;
        }
        *error = r < 0 ? errno : EAGAIN;
        return done;
    }
    return done;
}

struct udp_receive_area::impl {
    size_t message_size;
    std::vector<uint8_t> buffers;
    std::vector<mmsghdr> msgs;
    std::vector<iovec> iovs;
    std::vector<sockaddr_storage> senders;
    std::vector<control_space> controls;
};

udp_receive_area::udp_receive_area(size_t messages, size_t message_size)
    : d(new impl{message_size, std::vector<uint8_t>(messages * message_size),
                 std::vector<mmsghdr>(messages), std::vector<iovec>(messages),
                 std::vector<sockaddr_storage>(messages), std::vector<control_space>(messages)}) {}

udp_receive_area::~udp_receive_area() = default;

size_t udp_receive_message_size(const udp_batch_socket& sock, size_t max_datagram) {
    return sock.gro ? 65536 : max_datagram;
}

namespace {

// Segment size of a coalesced run, 0 for a single datagram.
int gro_segment_size(msghdr* hdr) {
    for (cmsghdr* c = CMSG_FIRSTHDR(hdr); c != nullptr; c = CMSG_NXTHDR(hdr, c)) {
        if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO) {
            int size = 0;
            std::memcpy(&size, CMSG_DATA(c), sizeof(size));
            return size > 0 ? size : 0;
        }
    }
    return 0;
}

}  // namespace

int udp_receive_batch(udp_batch_socket* sock, udp_receive_area* area,
                      std::vector<udp_received>* out) {
    out->clear();
    udp_receive_area::impl& a = *area->d;
    const size_t n = a.msgs.size();
    for (size_t i = 0; i < n; ++i) {
        a.iovs[i] = {a.buffers.data() + i * a.message_size, a.message_size};
        mmsghdr& m = a.msgs[i];
        m = {};
        m.msg_hdr.msg_name = &a.senders[i];
        m.msg_hdr.msg_namelen = sizeof(a.senders[i]);
        m.msg_hdr.msg_iov = &a.iovs[i];
        m.msg_hdr.msg_iovlen = 1;
        if (sock->gro) {
            m.msg_hdr.msg_control = a.controls[i].buf;
            m.msg_hdr.msg_controllen = sizeof(a.controls[i].buf);
        }
    }
    int r = 0;
    do {
        r = recvmmsg(sock->fd, a.msgs.data(), static_cast<unsigned>(n), MSG_DONTWAIT, nullptr);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        return errno;
    }
    for (int i = 0; i < r; ++i) {
        msghdr& hdr = a.msgs[i].msg_hdr;
        uint8_t* data = static_cast<uint8_t*>(a.iovs[i].iov_base);
        const int len = static_cast<int>(a.msgs[i].msg_len);
        const bool truncated = (hdr.msg_flags & MSG_TRUNC) != 0;
        const int segment = sock->gro ? gro_segment_size(&hdr) : 0;
        // A cut run loses its tail: only its last piece is incomplete.
        udp_gro_split(data, len, segment, [&](uint8_t* piece, int piece_len) {
            const bool last = piece + piece_len == data + len;
            out->push_back(
                {piece, static_cast<size_t>(piece_len), &a.senders[i], truncated && last});
            return true;
        });
    }
    return 0;
}
