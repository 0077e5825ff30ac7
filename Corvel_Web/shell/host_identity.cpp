#include "host_identity.h"

#include <QCoreApplication>
#include <QFileInfo>

QString builtVersion() {
    return QStringLiteral("%1.%2.%3.%4")
        .arg(LUMAR_VERSION_MAJOR)
        .arg(LUMAR_VERSION_MINOR)
        .arg(LUMAR_VERSION_PATCH)
        .arg(LUMAR_VERSION_TWEAK);
}

QString appFileVersion() {
    const QString path = QCoreApplication::applicationFilePath();
    if (path.isEmpty() || !QFileInfo::exists(path)) {
        return QString();
    }
    return builtVersion();
}

QString versionHead(const QString& version) {
    const int dot = version.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? version : version.left(dot);
}

QString versionTail(const QString& version) {
    const int dot = version.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? version : version.mid(dot + 1);
}
