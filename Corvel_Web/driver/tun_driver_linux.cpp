#include <sys/utsname.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <cstring>

#include "client_engine.h"
#include "driver_provisioning.h"
#include "result_codes.h"
#include "tun_device.h"
#include "tun_driver.h"

namespace {

// Without root the service makes the device work; its answer to prepareTunDriverInstall's
// request decides runTunDriverInstall's result too.
int g_serviceLoad = QN_SERVICE_UNREACHABLE;

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
    if (engineRunsInProcess()) {
        return tun_device_works();
    }
    const int works = clientServiceEngine().deviceCheck();
    if (works < 0) {
        // Nothing can be told about the device then; a connect says what is wrong.
        qWarning("The TUN device is not checked: the engine service cannot be asked.");
        return true;
    }
    return works == 1;
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
    if (engineRunsInProcess()) {
        return make_tun_device_node() == 0;
    }
    g_serviceLoad = clientServiceEngine().loadTun();
    return g_serviceLoad != static_cast<int>(engine_service::tun_load::node_failed);
}

bool runTunDriverInstall() {
    if (!engineRunsInProcess()) {
        // Negative: the request did not reach the service, or it refused it.
        return g_serviceLoad >= 0;
    }
    const QString modprobe = findModprobe();
    if (modprobe.isEmpty()) {
        return false;
    }
    // -2: could not be started, -1: crashed; a non-zero exit is judged by the check after it.
    return QProcess::execute(modprobe, {QStringLiteral("tun")}) >= 0;
}
