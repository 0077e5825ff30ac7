// Locks are open file description locks (F_OFD_SETLK/F_OFD_SETLKW): they belong to this
// QFile's own open file rather than to the process, so two LockedFile objects of one process
// exclude each other, and closing some other descriptor of the same file in the process does
// not drop the lock, as it would with classic POSIX record locks.
//
// The failure texts are those of the Windows build, followed by the system's error text, so
// that the client log reads the same on both systems.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "lockedfile.h"

namespace InstanceGuard {

namespace {

// Returns 0 or the errno of the failure.
int setLock(int fd, short type, bool block) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    int rc;
    do {
        rc = fcntl(fd, block ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
    } while (rc == -1 && errno == EINTR);
    return rc == -1 ? errno : 0;
}

// Whether the path still names the file open on fd.
bool stillNamed(int fd, const QString& path) {
    struct stat opened {};
    struct stat named {};
    return fstat(fd, &opened) == 0 && stat(QFile::encodeName(path).constData(), &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

}  // namespace

bool LockedFile::acquireLock(LockMode mode, bool block) {
    const short type = mode == ExclusiveLock ? F_WRLCK : F_RDLCK;
    for (;;) {
        const int error = setLock(handle(), type, block);
        if (!block && (error == EAGAIN || error == EACCES)) {
            return false;
        }
        if (error != 0) {
            qWarning("LockedFile::lock(): WaitForSingleObject (semaphore): %s", strerror(error));
            return false;
        }
        if (stillNamed(handle(), fileName())) {
            return true;
        }
        // The holder we waited for removed the file; only a lock on the file now at the path
        // excludes those who open it from now on.
        setLock(handle(), F_UNLCK, false);
        const OpenMode openedAs = openMode() & ~QIODevice::Truncate;
        close();
        if (!open(openedAs)) {
            qWarning("LockedFile::lock(): CreateSemaphore: %s", qPrintable(errorString()));
            return false;
        }
    }
}

bool LockedFile::releaseLock() {
    // Whoever can hold the lock exclusively is its last holder. It removes the file before
    // letting go, so that a waiter on the old file notices and moves to a new one; removing it
    // afterwards could take the file from under a new holder.
    if (setLock(handle(), F_WRLCK, false) == 0 && stillNamed(handle(), fileName())) {
        QFile::remove(fileName());
    }
    const int error = setLock(handle(), F_UNLCK, false);
    if (error != 0) {
        qWarning("LockedFile::unlock(): ReleaseSemaphore: %s", strerror(error));
        return false;
    }
    return true;
}

}  // namespace InstanceGuard
