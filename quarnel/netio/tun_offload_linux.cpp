#include <linux/if_tun.h>
#include <sys/ioctl.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "tun_offload.h"

namespace {

// Older UAPI headers lack the UDP segmentation bits that newer kernels accept.
#ifndef TUN_F_USO4
constexpr unsigned TUN_F_USO4 = 0x20;
#endif
#ifndef TUN_F_USO6
constexpr unsigned TUN_F_USO6 = 0x40;
#endif

constexpr int VNET_HEADER_SIZE = 10;

unsigned kernel_bits(unsigned wanted) {
    unsigned bits = 0;
    if (wanted & TUN_OFFLOAD_CSUM) {
        bits |= TUN_F_CSUM;
    }
    if (wanted & TUN_OFFLOAD_TSO4) {
        bits |= TUN_F_TSO4;
    }
    if (wanted & TUN_OFFLOAD_TSO6) {
        bits |= TUN_F_TSO6;
    }
    if (wanted & TUN_OFFLOAD_USO) {
        bits |= TUN_F_USO4 | TUN_F_USO6;
    }
    return bits;
}

}  // namespace

unsigned tun_enable_offload(int fd, unsigned wanted) {
    int header = VNET_HEADER_SIZE;
    if (ioctl(fd, TUNSETVNETHDRSZ, &header) < 0) {
        return 0;
    }
    // Segmentation needs the checksum offload under it.
    if ((wanted & (TUN_OFFLOAD_TSO4 | TUN_OFFLOAD_TSO6 | TUN_OFFLOAD_USO)) != 0) {
        wanted |= TUN_OFFLOAD_CSUM;
    }
    for (unsigned ask : {wanted, wanted & ~unsigned{TUN_OFFLOAD_USO}}) {
        if (ask != 0 &&
            ioctl(fd, TUNSETOFFLOAD, static_cast<unsigned long>(kernel_bits(ask))) == 0) {
            return ask;
        }
    }
    return 0;
}

bool offload_allowed() {
    const char* value = std::getenv("QUARNEL_OFFLOAD");
    return value == nullptr || std::strcmp(value, "0") != 0;
}
