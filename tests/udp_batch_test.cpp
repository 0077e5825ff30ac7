// Batched UDP over loopback: what a plain receiver sees must not depend on segmentation offload
// at the sender or coalescing at the receiver.
#include "udp_batch.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

struct loopback_socket {
    loopback_socket() {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        bind(fd, reinterpret_cast<sockaddr*>(&addr), len);
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    }
    ~loopback_socket() { close(fd); }
    const sockaddr* peer() const { return reinterpret_cast<const sockaddr*>(&addr); }

    int fd;
    sockaddr_in addr{};
};

// Datagrams of the given sizes, each filled with its own index.
std::vector<bytes> datagrams_of(const std::vector<size_t>& sizes) {
    std::vector<bytes> out;
    for (size_t i = 0; i < sizes.size(); ++i) {
        out.emplace_back(sizes[i], static_cast<uint8_t>(i + 1));
    }
    return out;
}

std::vector<udp_datagram> to(const loopback_socket& receiver, const std::vector<bytes>& data) {
    std::vector<udp_datagram> out;
    for (const bytes& d : data) {
        out.push_back({d.data(), d.size(), receiver.peer(), sizeof(receiver.addr)});
    }
    return out;
}

// Receives until `count` datagrams arrived or nothing comes for a second.
std::vector<bytes> receive(udp_batch_socket* sock, udp_receive_area* area, size_t count,
                           std::vector<bool>* truncated = nullptr) {
    std::vector<bytes> got;
    std::vector<udp_received> batch;
    while (got.size() < count) {
        pollfd p{sock->fd, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0 || udp_receive_batch(sock, area, &batch) != 0) {
            break;
        }
        for (const udp_received& r : batch) {
            got.emplace_back(r.data, r.data + r.len);
            if (truncated != nullptr) {
                truncated->push_back(r.truncated);
            }
        }
    }
    return got;
}

TEST(UdpBatch, DatagramsArriveWholeAndInOrderWithAndWithoutOffload) {
    // Equal runs with shorter ends, a lone small one, a larger one that starts a new run.
    const auto sent = datagrams_of({1400, 1400, 1400, 700, 1400, 1400, 60, 1500, 1500, 1500});
    for (bool send_offload : {true, false}) {
        for (bool receive_offload : {true, false}) {
            SCOPED_TRACE(std::string(send_offload ? "GSO" : "no GSO") + ", " +
                         (receive_offload ? "GRO" : "no GRO"));
            loopback_socket tx, rx;
            udp_batch_socket sender{tx.fd}, receiver{rx.fd};
            udp_batch_setup(&sender, send_offload);
            udp_batch_setup(&receiver, receive_offload);
            ASSERT_EQ(sender.gso.load(), send_offload) << "this kernel has UDP_SEGMENT";
            ASSERT_EQ(receiver.gro, receive_offload) << "this kernel has UDP_GRO";
            const auto out = to(rx, sent);
            int error = -1;
            EXPECT_EQ(udp_send_batch(&sender, out.data(), out.size(), &error), out.size());
            EXPECT_EQ(error, 0);
            EXPECT_EQ(sender.gso.load(), send_offload);
            udp_receive_area area(4, udp_receive_message_size(receiver, 2048));
            EXPECT_EQ(receive(&receiver, &area, sent.size()), sent);
        }
    }
}

TEST(UdpBatch, RunsNeverCrossPeersOrTheSegmentLimit) {
    loopback_socket tx, a, b;
    udp_batch_socket sender{tx.fd}, ra{a.fd}, rb{b.fd};
    udp_batch_setup(&sender, true);
    udp_batch_setup(&ra, true);
    udp_batch_setup(&rb, true);
    // More equal datagrams than one segmented send may carry, then the same size to another
    // peer in between.
    std::vector<size_t> sizes(UDP_GSO_MAX_SEGMENTS + 10, 1000);
    const auto sent = datagrams_of(sizes);
    auto out = to(a, sent);
    for (size_t i = 30; i < 35; ++i) {
        out[i].peer = b.peer();
    }
    int error = -1;
    ASSERT_EQ(udp_send_batch(&sender, out.data(), out.size(), &error), out.size());
    EXPECT_TRUE(sender.gso.load()) << "a segmented send was refused";
    std::vector<bytes> to_a(sent.begin(), sent.begin() + 30),
        to_b(sent.begin() + 30, sent.begin() + 35);
    to_a.insert(to_a.end(), sent.begin() + 35, sent.end());
    udp_receive_area area_a(8, udp_receive_message_size(ra, 2048)),
        area_b(8, udp_receive_message_size(rb, 2048));
    EXPECT_EQ(receive(&ra, &area_a, to_a.size()), to_a);
    EXPECT_EQ(receive(&rb, &area_b, to_b.size()), to_b);
}

TEST(UdpBatch, DatagramLargerThanItsBufferIsMarkedTruncated) {
    loopback_socket tx, rx;
    udp_batch_socket sender{tx.fd}, receiver{rx.fd};
    udp_batch_setup(&sender, false);
    udp_batch_setup(&receiver, false);
    const auto sent = datagrams_of({100, 3000, 100});
    const auto out = to(rx, sent);
    int error = -1;
    ASSERT_EQ(udp_send_batch(&sender, out.data(), out.size(), &error), out.size());
    udp_receive_area area(4, udp_receive_message_size(receiver, 2048));
    std::vector<bool> truncated;
    const auto got = receive(&receiver, &area, 3, &truncated);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(truncated, (std::vector<bool>{false, true, false}));
    EXPECT_EQ(got[1].size(), 2048u);
    EXPECT_EQ(got[2], sent[2]);
}

}  // namespace
