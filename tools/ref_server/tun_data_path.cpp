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

#include "session_table.h"

namespace {

constexpr int READ_BATCH = 64;
constexpr int IPV4_MIN_HEADER = 20;

uint32_t ipv4_field(const uint8_t* packet, int offset) {
    uint32_t v = 0;
    std::memcpy(&v, packet + offset, 4);
    return ntohl(v);
}

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

}  // namespace

tun_data_path::~tun_data_path() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool tun_data_path::open(const std::string& name, uint32_t gateway, int prefix_len, int mtu,
                         std::string* error) {
    fd_ = ::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        *error = std::string("/dev/net/tun: ") + std::strerror(errno);
        return false;
    }
    ifreq req{};
    req.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(req.ifr_name, name.c_str(), IFNAMSIZ - 1);
    if (!set_interface(fd_, TUNSETIFF, req, "TUNSETIFF", error)) {
        return false;
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
    if (len < IPV4_MIN_HEADER || (packet[0] >> 4) != 4 ||
        ipv4_field(packet, 12) != from.tunnel_addr) {
        spoofed_.fetch_add(1);
        return;
    }
    if (write(fd_, packet, static_cast<size_t>(len)) == len) {
        to_network_.fetch_add(1);
    }
}

void tun_data_path::on_readable(tunnel_sender& out) {
    uint8_t packet[65536];
    for (int i = 0; i < READ_BATCH; ++i) {
        ssize_t n = read(fd_, packet, sizeof(packet));
        if (n < 0) {
            return;  // EAGAIN: drained
        }
        if (n < IPV4_MIN_HEADER || (packet[0] >> 4) != 4) {
            continue;
        }
        if (out.to_tunnel_address(ipv4_field(packet, 16), packet, static_cast<int>(n))) {
            to_clients_.fetch_add(1);
        }
    }
}
