// Locks are open file description locks (F_OFD_SETLK): they belong to this
// QFile's own open file rather than to the process, so two LockedFile objects of one process
// exclude each other, and closing some other descriptor of the same file in the process does
// not drop the lock, as it would with classic POSIX record locks.
//
// The failure texts are those of the Windows build, followed by the system's error text, so
// that the client log reads the same on both systems.
#include <fcntl.h>
#include <sys/stat.h>

#include <QDeadlineTimer>
#include <QThread>
#include <cerrno>
#include <cstring>

#include "lockedfile.h"

namespace InstanceGuard {

namespace {

constexpr int kLockWaitMs = 5000;
constexpr int kLockRetryMs = 10;

// Returns 0 or the errno of the failure; never waits.
int setLock(int fd, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    int rc;
    do {
        rc = fcntl(fd, F_OFD_SETLK, &lock);
    } while (rc == -1 && errno == EINTR);
    return rc == -1 ? errno : 0;
}

// A blocking F_OFD_SETLKW cannot be given a time limit: the wait is a retry every few
// milliseconds until the deadline.
int setLockWithin(int fd, short type, bool block) {
    const QDeadlineTimer deadline(block ? kLockWaitMs : 0);
    for (;;) {
        const int error = setLock(fd, type);
        if ((error != EAGAIN && error != EACCES) || deadline.hasExpired()) {
            return error;
        }
        QThread::msleep(kLockRetryMs);
    }
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
        const int error = setLockWithin(handle(), type, block);
        if (error == EAGAIN || error == EACCES) {
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
        setLock(handle(), F_UNLCK);
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
    if (setLock(handle(), F_WRLCK) == 0 && stillNamed(handle(), fileName())) {
        QFile::remove(fileName());
    }
    const int error = setLock(handle(), F_UNLCK);
    if (error != 0) {
        qWarning("LockedFile::unlock(): ReleaseSemaphore: %s", strerror(error));
        return false;
    }
    return true;
}

}  // namespace InstanceGuard
