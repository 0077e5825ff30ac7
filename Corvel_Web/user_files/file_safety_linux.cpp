#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>

#include "file_safety.h"

namespace {

bool runningAsRoot() {
    return geteuid() == 0;
}

// Empty when root or the program's own user owns the entry and nobody else may write to it.
QString sealFault(const struct stat& st) {
    const uid_t self = geteuid();
    if (st.st_uid != 0 && st.st_uid != self) {
        return self == 0 ? QStringLiteral("it belongs to uid %1, not root").arg(st.st_uid)
                         : QStringLiteral("it belongs to uid %1, neither root nor uid %2")
                               .arg(st.st_uid)
                               .arg(self);
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return QStringLiteral("it is writable by group or others");
    }
    return {};
}

bool lstatPath(const QString& path, struct stat& st) {
    return lstat(QFile::encodeName(path).constData(), &st) == 0;
}

bool writeAll(int fd, const char* data, qint64 size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, static_cast<size_t>(size));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

}  // namespace

bool directoryTrusted(const QString& path, QString* why) {
    struct stat st {};
    QString fault;
    if (!lstatPath(path, st)) {
        fault = QString::fromLocal8Bit(std::strerror(errno));
    } else if (!S_ISDIR(st.st_mode)) {
        fault = QStringLiteral("it is not a directory");
    } else {
        fault = sealFault(st);
    }
    if (why != nullptr) {
        *why = fault;
    }
    return fault.isEmpty();
}

FileTrust programFileTrust(const QString& path, QString* why) {
    struct stat st {};
    if (!lstatPath(path, st)) {
        if (errno == ENOENT) {
            return FileTrust::Missing;
        }
        if (why != nullptr) {
            *why = QString::fromLocal8Bit(std::strerror(errno));
        }
        return FileTrust::Untrusted;
    }
    QString fault =
        S_ISREG(st.st_mode) ? sealFault(st) : QStringLiteral("it is not a regular file");
    if (fault.isEmpty() && !directoryTrusted(QFileInfo(path).absolutePath(), &fault)) {
        fault = QStringLiteral("its directory: ") + fault;
    }
    if (why != nullptr) {
        *why = fault;
    }
    return fault.isEmpty() ? FileTrust::Trusted : FileTrust::Untrusted;
}

bool openForAppendNoFollow(QFile& file, const QString& path) {
    const int fd = open(QFile::encodeName(path).constData(),
                        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    if (!file.open(fd, QIODevice::WriteOnly | QIODevice::Append, QFileDevice::AutoCloseHandle)) {
        close(fd);
        return false;
    }
    return true;
}

bool writeNewFile(const QString& dir, const QString& name, const QByteArray& data) {
    const int dirFd =
        open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0) {
        return false;
    }
    const int fd = openat(dirFd, QFile::encodeName(name).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    close(dirFd);
    if (fd < 0) {
        return false;
    }
    const bool written = writeAll(fd, data.constData(), data.size());
    return close(fd) == 0 && written;
}

QString privateDirParent() {
    const QString temp = QDir::tempPath();
    if (!runningAsRoot()) {
        return temp;
    }
    // A sticky directory lets only the owner of an entry rename or remove it.
    struct stat st {};
    const bool safe = lstatPath(temp, st) && S_ISDIR(st.st_mode) && st.st_uid == 0 &&
                      ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (st.st_mode & S_ISVTX) != 0);
    return safe ? temp : QStringLiteral("/tmp");
}
