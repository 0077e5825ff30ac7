#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstring>
#include <vector>

#include "user_directories.h"

namespace {

// The home directory the user database gives the effective user.
QString databaseHome() {
    const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
        return {};
    }
    return QFile::decodeName(found->pw_dir);
}

// An absolute path from the environment; empty when unset or relative, which the rules say to
// ignore. Root takes none: sudo may hand down the caller's variables, and root's files would
// then land in the caller's home.
QString environmentPath(const char* name) {
    if (geteuid() == 0) {
        return {};
    }
    const QString value = QFile::decodeName(qgetenv(name));
    return value.startsWith(QLatin1Char('/')) ? value : QString();
}

QString baseDirectory(const char* variable, const char* inHome) {
    QString dir = environmentPath(variable);
    if (dir.isEmpty()) {
        QString home = environmentPath("HOME");
        if (home.isEmpty()) {
            home = databaseHome();
        }
        dir = home + QLatin1Char('/') + QLatin1String(inHome);
    }
    return QDir::cleanPath(dir);
}

}  // namespace

QString userConfigHome() {
    return baseDirectory("XDG_CONFIG_HOME", ".config");
}

QString userStateHome() {
    return baseDirectory("XDG_STATE_HOME", ".local/state");
}

bool makeUserDirectory(const QString& path, QString* why) {
    const QByteArray target = QFile::encodeName(QDir::cleanPath(path));
    int error = 0;
    for (int end = 0; error == 0 && end >= 0;) {
        end = target.indexOf('/', end + 1);
        const QByteArray part = end < 0 ? target : target.left(end);
        if (mkdir(part.constData(), 0700) != 0 && errno != EEXIST) {
            error = errno;
        }
    }
    struct stat st {};
    if (error == 0 && stat(target.constData(), &st) != 0) {
        error = errno;
    } else if (error == 0 && !S_ISDIR(st.st_mode)) {
        error = ENOTDIR;
    }
    if (error != 0 && why != nullptr) {
        *why = QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(error)));
    }
    return error == 0;
}
