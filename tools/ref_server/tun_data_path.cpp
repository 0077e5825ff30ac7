#include "tun_data_path.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "packet_bytes.h"
#include "session_table.h"
#include "tun_offload.h"

namespace {

constexpr int READ_BATCH = 64;
// A sending turn ends after this much, so that its datagrams leave before the next reads.
constexpr size_t READ_BYTES_PER_TURN = 256 * 1024;

bool set_interface(int sock, unsigned long request, ifreq& req, const char* what,
                   std::string* error) {
    if (ioctl(sock, request, &req) != 0) {
        *error = std::string(what) + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

sockaddr_in ipv4_sockaddr(uint32_t host_order) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(host_order);
    return a;
}

std::string offload_text(unsigned on) {
    if (on == 0)
        return "refused by the kernel: one packet per read and write";
    std::string text = "segmentation offload on (";
    text += (on & TUN_OFFLOAD_TSO4) ? "TCP over IPv4" : "";
    text += (on & TUN_OFFLOAD_USO) ? ", UDP" : "";
    return text + "); super-packets split for the clients, their packets coalesced";
}

}  // namespace

tun_data_path::~tun_data_path() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool tun_data_path::open(const std::string& name, uint32_t gateway, int prefix_len, int mtu,
                         std::string* error, bool offload) {
    fd_ = ::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        *error = std::string("/dev/net/tun: ") + std::strerror(errno);
        return false;
    }
    const bool vnet = offload && offload_allowed();
    framing_ = device_framing(vnet, mtu);
    ifreq req{};
    req.ifr_flags = IFF_TUN | IFF_NO_PI | (vnet ? IFF_VNET_HDR : 0);
    std::strncpy(req.ifr_name, name.c_str(), IFNAMSIZ - 1);
    if (!set_interface(fd_, TUNSETIFF, req, "TUNSETIFF", error)) {
        return false;
    }
    description_ = "TUN " + name + ": ";
    if (vnet) {
        // Only what the splitter can take apart; the server carries IPv4 only.
        unsigned wanted = TUN_OFFLOAD_CSUM | TUN_OFFLOAD_TSO4;
        if (offload_split_supports(OFFLOAD_GSO_UDP_L4))
            wanted |= TUN_OFFLOAD_USO;
        description_ += offload_text(tun_enable_offload(fd_, wanted));
    } else {
        description_ += offload ? "offload off (QUARNEL_OFFLOAD=0): one packet per read and write"
                                : "offload off: one packet per read and write";
    }
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    const uint32_t mask = prefix_len == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix_len);
    sockaddr_in addr = ipv4_sockaddr(gateway);
    std::memcpy(&req.ifr_addr, &addr, sizeof(addr));
    bool ok = set_interface(sock, SIOCSIFADDR, req, "SIOCSIFADDR", error);
    addr = ipv4_sockaddr(mask);
    std::memcpy(&req.ifr_netmask, &addr, sizeof(addr));
    ok = ok && set_interface(sock, SIOCSIFNETMASK, req, "SIOCSIFNETMASK", error);
    req.ifr_mtu = mtu;
    ok = ok && set_interface(sock, SIOCSIFMTU, req, "SIOCSIFMTU", error);
    ok = ok && set_interface(sock, SIOCGIFFLAGS, req, "SIOCGIFFLAGS", error);
    req.ifr_flags |= IFF_UP | IFF_RUNNING;
    ok = ok && set_interface(sock, SIOCSIFFLAGS, req, "SIOCSIFFLAGS", error);
    close(sock);
    return ok;
}

void tun_data_path::from_client(const session& from, const uint8_t* packet, int len,
                                tunnel_sender& /*out*/) {
    // Only IPv4 from the address the session was given goes on: no spoofing through it.
    if (len < IPV4_MIN_HEADER || ip_version(packet) != 4 ||
        ipv4_source(packet) != from.tunnel_addr) {
        spoofed_.fetch_add(1);
        return;
    }
    pending_.insert(pending_.end(), packet, packet + len);
    pending_lengths_.push_back(len);
}

void tun_data_path::end_of_batch() {
    if (pending_lengths_.empty())
        return;
    pending_refs_.clear();
    const uint8_t* packet = pending_.data();
    for (int len : pending_lengths_) {
        pending_refs_.push_back({packet, len});
        packet += len;
    }
    framing_.pack(
        pending_refs_.data(), pending_refs_.size(), [this](const uint8_t* frame, int len) {
            if (write(fd_, frame, static_cast<size_t>(len)) != len)
                return true;
            const auto packets =
                static_cast<uint64_t>(framing_.packets_in(frame, static_cast<size_t>(len)));
            to_network_.fetch_add(packets);
            if (packets > 1)
                coalesced_writes_.fetch_add(1);
            return true;
        });
    pending_.clear();
    pending_lengths_.clear();
}

void tun_data_path::on_readable(tunnel_sender& out) {
    read_buf_.resize(OFFLOAD_HEADER_LEN + OFFLOAD_MAX_PACKET);
    uint8_t* buf = read_buf_.data();
    size_t taken = 0;
    for (int i = 0; i < READ_BATCH && taken < READ_BYTES_PER_TURN; ++i) {
        const ssize_t n = read(fd_, buf, read_buf_.size());
        if (n < 0) {
            return;  // EAGAIN: drained
        }
        taken += static_cast<size_t>(n);
        const int split = framing_.unpack(buf, static_cast<size_t>(n), [&](uint8_t* p, int len) {
            to_session(p, len, out);
            return true;
        });
        if (split < 0)
            unsplittable_.fetch_add(1);
        else if (split > 1)
            split_reads_.fetch_add(1);
    }
}

void tun_data_path::to_session(const uint8_t* packet, int len, tunnel_sender& out) {
    if (len < IPV4_MIN_HEADER || ip_version(packet) != 4) {
        return;
    }
    if (out.to_tunnel_address(ipv4_destination(packet), packet, len)) {
        to_clients_.fetch_add(1);
    }
}
