#include "lockedfile.h"

#include "private_files.h"

namespace InstanceGuard {

LockedFile::LockedFile() = default;

LockedFile::LockedFile(const QString& name) : QFile(name) {}

LockedFile::~LockedFile() {
    if (isOpen()) {
        unlock();
    }
}

bool LockedFile::open(OpenMode mode) {
    QString problem;
    if (!openPrivateFile(*this, mode, &problem)) {
        qWarning("LockedFile: %s refused: %s", qPrintable(fileName()), qPrintable(problem));
        return false;
    }
    return true;
}

bool LockedFile::lock(LockMode mode, bool block) {
    if (!isOpen()) {
        qWarning("LockedFile::lock(): file is not opened");
        return false;
    }
    if (mode == m_mode) {
        return true;
    }
    if (m_mode != Unlocked) {
        unlock();
    }
    if (mode == Unlocked) {
        return true;
    }
    if (!acquireLock(mode, block)) {
        return false;
    }
    m_mode = mode;
    return true;
}

bool LockedFile::unlock() {
    if (!isOpen()) {
        qWarning("LockedFile::unlock(): file is not opened");
        return false;
    }
    if (!hasLock()) {
        return true;
    }
    if (!releaseLock()) {
        return false;
    }
    m_mode = Unlocked;
    return true;
}

}  // namespace InstanceGuard
