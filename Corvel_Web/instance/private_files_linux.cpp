#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "private_files.h"

namespace InstanceGuard {

namespace {

// A directory of this user's that no one else may read, write or enter, itself no link.
bool isPrivateDirectory(const QString& path, QString* problem) {
    struct stat info {};
    if (lstat(QFile::encodeName(path).constData(), &info) != 0) {
        *problem = QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != geteuid() || (info.st_mode & 077) != 0) {
        *problem = QStringLiteral("%1 is not a directory of user %2 closed to others")
                       .arg(path)
                       .arg(geteuid());
        return false;
    }
    return true;
}

}  // namespace

QString guardDirectory(QString* problem) {
    QString ignored;
    QString& why = problem != nullptr ? *problem : ignored;
    QString parent = QStringLiteral("/run");
    if (geteuid() != 0) {
        parent = QFile::decodeName(qgetenv("XDG_RUNTIME_DIR"));
        if (!parent.startsWith(QLatin1Char('/'))) {
            why = QStringLiteral("XDG_RUNTIME_DIR is not set to an absolute path");
            return {};
        }
        if (!isPrivateDirectory(parent, &why)) {
            return {};
        }
    }
    const QString dir = parent + QStringLiteral("/lumar");
    if (mkdir(QFile::encodeName(dir).constData(), 0700) != 0 && errno != EEXIST) {
        why = QStringLiteral("%1: %2").arg(dir, QString::fromLocal8Bit(strerror(errno)));
        return {};
    }
    return isPrivateDirectory(dir, &why) ? dir : QString();
}

bool openPrivateFile(QFile& file, QIODevice::OpenMode mode, QString* problem) {
    const int checked = open(QFile::encodeName(file.fileName()).constData(),
                             O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (checked < 0) {
        *problem = QString::fromLocal8Bit(strerror(errno));
        return false;
    }
    struct stat expected {};
    bool ok =
        fstat(checked, &expected) == 0 && S_ISREG(expected.st_mode) && expected.st_uid == geteuid();
    if (!ok) {
        *problem = QStringLiteral("not a regular file of user %1").arg(geteuid());
    } else if (!file.QFile::open(mode)) {
        *problem = file.errorString();
        ok = false;
    } else {
        // The name may have been pointed elsewhere in between: only the file checked will do.
        struct stat opened {};
        ok = fstat(file.handle(), &opened) == 0 && opened.st_dev == expected.st_dev &&
             opened.st_ino == expected.st_ino;
        if (!ok) {
            file.close();
            *problem = QStringLiteral("replaced while being opened");
        }
    }
    close(checked);
    return ok;
}

}  // namespace InstanceGuard
