#include <QFile>
#include <QSysInfo>

#include "host_identity.h"

QString hostComputerName() {
    return QSysInfo::machineHostName();
}

QString hostMachineGuid() {
    QFile file(QStringLiteral("/etc/machine-id"));
    if (!file.open(QIODevice::ReadOnly)) {
        return QString();
    }
    return QString::fromLatin1(file.readAll()).trimmed();
}
