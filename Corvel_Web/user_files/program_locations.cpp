#include "program_locations.h"

#include <QCoreApplication>
#include <QDir>

#include "build_settings.h"
#include "user_directories.h"

namespace {

const QString kProgramName = QStringLiteral("lumar");

}  // namespace

QString programDirectory() {
    return QDir::cleanPath(QCoreApplication::applicationDirPath());
}

bool runsInstalled() {
    const QString installed = QString::fromUtf8(build_settings::installDirectory);
    return !installed.isEmpty() && programDirectory() == QDir::cleanPath(installed);
}

QString settingsDirectory() {
    if (!runsInstalled()) {
        return programDirectory();
    }
    return userConfigHome() + QLatin1Char('/') + kProgramName;
}

QString stateDirectory(QString* why) {
    if (!runsInstalled()) {
        return programDirectory();
    }
    const QString dir = userStateHome() + QLatin1Char('/') + kProgramName;
    return makeUserDirectory(dir, why) ? dir : QString();
}
