#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <cstring>

#include "driver_provisioning.h"
#include "tun_driver.h"

namespace {

constexpr char kDevicePath[] = "/dev/net/tun";
// The kernel's fixed misc device numbers for TUN.
constexpr unsigned kMiscMajor = 10;
constexpr unsigned kTunMinor = 200;

// Files under /proc report a size of 0: read them whole, never test for their end.
QList<QByteArray> fileLines(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QList<QByteArray>();
}

// A module list names the module with its path ("kernel/drivers/net/tun.ko[.xz]:").
bool moduleListed(const QString& path) {
    for (const QByteArray& line : fileLines(path)) {
        const QByteArray module = line.left(line.indexOf(':')).trimmed();
        const QByteArray name = module.mid(module.lastIndexOf('/') + 1);
        if (name == "tun.ko" || name.startsWith("tun.ko.")) {
            return true;
        }
    }
    return false;
}

QString kernelModuleDir() {
    utsname names{};
    uname(&names);
    return QStringLiteral("/lib/modules/%1/").arg(QString::fromLocal8Bit(names.release));
}

QString findModprobe() {
    QStringList dirs{QStringLiteral("/sbin"), QStringLiteral("/usr/sbin")};
    // A relative PATH entry would run whatever the working directory holds.
    for (const QString& dir : qEnvironmentVariable("PATH").split(QLatin1Char(':'))) {
        if (QDir::isAbsolutePath(dir)) {
            dirs << dir;
        }
    }
    return QStandardPaths::findExecutable(QStringLiteral("modprobe"), dirs);
}

}  // namespace

bool isTapDriverInstalled() {
    const int fd = open(kDevicePath, O_RDWR | O_CLOEXEC);
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

bool tunDriverSupported() {
    // Built in or loaded: the misc device is registered. Otherwise a module must exist for
    // the running kernel.
    for (const QByteArray& line : fileLines(QStringLiteral("/proc/misc"))) {
        if (line.trimmed() == "200 tun") {
            return true;
        }
    }
    const QString modules = kernelModuleDir();
    return moduleListed(modules + QStringLiteral("modules.dep")) ||
           moduleListed(modules + QStringLiteral("modules.builtin"));
}

bool prepareTunDriverInstall() {
    struct stat existing {};
    if (stat(kDevicePath, &existing) == 0) {
        return S_ISCHR(existing.st_mode);
    }
    mkdir("/dev/net", 0755);
    if (mknod(kDevicePath, S_IFCHR | 0666, makedev(kMiscMajor, kTunMinor)) != 0) {
        return false;
    }
    // The umask must not narrow the node's mode.
    return chmod(kDevicePath, 0666) == 0;
}

bool runTunDriverInstall() {
    const QString modprobe = findModprobe();
    if (modprobe.isEmpty()) {
        return false;
    }
    // -2: could not be started, -1: crashed; a non-zero exit is judged by the check after it.
    return QProcess::execute(modprobe, {QStringLiteral("tun")}) >= 0;
}
