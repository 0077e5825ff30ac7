#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include "engine_log.h"
#include "netcard_tool.h"
#include "netlink_linux.h"
#include "route_backend.h"
#include "tcp_offload.h"
#include "tun_offload.h"
#include "tun_util.h"

namespace {

constexpr int MIN_MTU = 68;
constexpr int MAX_MTU = 65535;

// Until released, closing the descriptor destroys the interface with its addresses and routes.
class tun_guard {
  public:
    ~tun_guard() {
        if (fd >= 0) {
            interface_metric_forget(if_index);
            close(fd);
        }
    }
    int release() {
        int released = fd;
        fd = -1;
        return released;
    }

    int fd = -1;
    int32_t if_index = 0;
};

int open_tun_interface(const char* name, short extra_flags, ifreq* ifr) {
    int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    std::memset(ifr, 0, sizeof(*ifr));
    ifr->ifr_flags = static_cast<short>(IFF_TUN | IFF_NO_PI | extra_flags);
    std::strncpy(ifr->ifr_name, name, IFNAMSIZ - 1);
    if (ioctl(fd, TUNSETIFF, ifr) < 0) {
        int error = errno;  // the caller decides on it
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// Another program's interface of that name (attached, persistent, or of another kind) is left
// alone: the kernel then names a new one, as Windows skips an adapter that another program holds.
int attach_tun(const char* dev_name, short extra_flags, ifreq* ifr) {
    if (dev_name != nullptr && *dev_name != '\0' && std::strlen(dev_name) < IFNAMSIZ) {
        int fd = open_tun_interface(dev_name, extra_flags, ifr);
        if (fd >= 0) {
            ifreq current{};
            if (ioctl(fd, TUNGETIFF, &current) == 0 && (current.ifr_flags & IFF_PERSIST) == 0) {
                return fd;
            }
            close(fd);
        } else if (errno != EBUSY && errno != EINVAL && errno != EPERM) {
            return -1;
        }
        QN_DEBUG("{} is held by another program, the kernel names the interface", dev_name);
    }
    return open_tun_interface("", extra_flags, ifr);
}

// The offloads whose super-packets the data path can split.
unsigned splittable_offloads() {
    unsigned wanted = TUN_OFFLOAD_CSUM | TUN_OFFLOAD_TSO4;
    if (offload_split_supports(OFFLOAD_GSO_TCPV6)) {
        wanted |= TUN_OFFLOAD_TSO6;
    }
    if (offload_split_supports(OFFLOAD_GSO_UDP_L4)) {
        wanted |= TUN_OFFLOAD_USO;
    }
    return wanted;
}

// Turns on what offload the kernel grants and says which path the device takes.
unsigned enable_offload(int fd) {
    const unsigned on = tun_enable_offload(fd, splittable_offloads());
    if (on == 0) {
        QN_INFO("Device offload refused by the kernel: one packet per read and write.");
        return 0;
    }
    QN_INFO(
        "Device offload on: checksums{}{}{}; super-packets from the device are split into "
        "tunnel-sized packets and packets to it coalesced.",
        (on & TUN_OFFLOAD_TSO4) != 0 ? ", TCP segmentation over IPv4" : "",
        (on & TUN_OFFLOAD_TSO6) != 0 ? ", TCP segmentation over IPv6" : "",
        (on & TUN_OFFLOAD_USO) != 0 ? ", UDP segmentation" : "");
    return on;
}

}  // namespace

int tun_open(const char* dev_name, int /*flags*/, const char* ip, const char* netmask, int mtu,
             bool use_auto_metric, tun_device** out) {
    try {
        // The MTU must be a number of at most five digits that a link can carry.
        if (mtu < MIN_MTU || mtu > MAX_MTU) {
            QN_ERROR("Invalid MTU {}!", mtu);
            return -1;
        }
        tun_guard guard;
        ifreq ifr{};
        const bool header = offload_allowed();
        guard.fd = attach_tun(dev_name, header ? IFF_VNET_HDR : 0, &ifr);
        if (guard.fd < 0) {
            QN_ERROR("Could not find a valid device!");
            return -1;
        }
        const char* name = ifr.ifr_name;
        if (rtnl_link_update(name, static_cast<uint32_t>(mtu), 0) != 0) {
            QN_ERROR("RegSetKeyValue failed!");
            return -1;
        }
        if (!EnableTapAdapter(name)) {
            QN_ERROR("EnableTapAdapter failed!");
        }
        if (!SetAdapterIP(name, ip, netmask)) {
            QN_ERROR("SetAdapterIP failed!");
            return -1;
        }
        guard.if_index = static_cast<int32_t>(if_nametoindex(name));
        if (guard.if_index == 0) {
            QN_ERROR("GetApdapterIndex failed!");
            return -1;
        }
        if (!EnableAutoMetric(guard.if_index, use_auto_metric)) {
            QN_ERROR("EnableAutoMetric failed!");
            return -1;
        }
        // IFF_TUN is the TUN mode; a TUN interface has no MAC address.
        int carrier = 1;
        if (ioctl(guard.fd, TUNSETCARRIER, &carrier) < 0) {
            QN_ERROR("WARNING: Unable to enable TAP adapter.");
            return -1;
        }
        unsigned offload = 0;
        if (header) {
            offload = enable_offload(guard.fd);
        } else {
            QN_INFO("Device offload off (QUARNEL_OFFLOAD=0): one packet per read and write.");
        }
        auto* tun = new tun_device{};
        tun->offload_header = header;
        tun->offload = offload;
        tun->if_index = guard.if_index;
        std::strncpy(tun->guid, name, sizeof(tun->guid) - 1);
        std::strncpy(tun->name, name, sizeof(tun->name) - 1);
        tun->mtu = mtu;
        tun->handle = guard.release();
        *out = tun;
        return 0;
    } catch (const std::exception& e) {
        QN_ERROR("{}.", e.what());
        *out = nullptr;
        return -1;
    }
}

void tun_close(tun_device* tun) {
    if (tun == nullptr) {
        return;
    }
    if (tun->handle >= 0) {
        int carrier = 0;
        ioctl(tun->handle, TUNSETCARRIER, &carrier);
        close(tun->handle);
        tun->handle = -1;
    }
    interface_metric_forget(tun->if_index);
    delete tun;
}
