#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

#include "tun_device.h"

namespace {

constexpr char DEVICE_DIR[] = "/dev/net";
constexpr char DEVICE_PATH[] = "/dev/net/tun";
// The kernel's fixed misc device numbers for TUN.
constexpr unsigned MISC_MAJOR = 10;
constexpr unsigned TUN_MINOR = 200;

}  // namespace

bool tun_device_works() {
    // Opening the node also has the kernel load the module when it is not loaded yet.
    const int fd = open(DEVICE_PATH, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    // An empty name lets the kernel pick one; the interface is not persistent, so it goes
    // away with the descriptor.
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    const bool created = ioctl(fd, TUNSETIFF, &request) == 0;
    close(fd);
    return created;
}

int make_tun_device_node() {
    struct stat existing {};
    if (stat(DEVICE_PATH, &existing) == 0) {
        return S_ISCHR(existing.st_mode) ? 0 : EEXIST;
    }
    mkdir(DEVICE_DIR, 0755);
    if (mknod(DEVICE_PATH, S_IFCHR | 0666, makedev(MISC_MAJOR, TUN_MINOR)) != 0) {
        return errno;
    }
    // The umask must not narrow the node's mode.
    return chmod(DEVICE_PATH, 0666) == 0 ? 0 : errno;
}
