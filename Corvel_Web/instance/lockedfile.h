// A file whose lock excludes other processes (and other LockedFile objects of the same
// process): any number of shared holders or one exclusive holder. Only a regular file of this
// user's is opened, never through a symbolic link.
#pragma once

#include <QFile>
#include <QString>

namespace InstanceGuard {

class LockedFile : public QFile {
  public:
    enum LockMode { Unlocked = 0, SharedLock = 1, ExclusiveLock = 2 };

    LockedFile();
    explicit LockedFile(const QString& name);
    ~LockedFile() override;

    // Creates the file (0600) when missing; refuses, with a warning, a file that is another
    // user's, not a regular file or a symbolic link.
    bool open(OpenMode mode) override;

    // The file must be open (read for a shared lock, write for an exclusive one). Without
    // `block` a lock held elsewhere makes this return false at once; with it, after waiting
    // 5 s at most, so that no holder can stall the caller for good.
    bool lock(LockMode mode, bool block = true);
    // Releases the lock; the last holder also removes the file.
    bool unlock();

    bool hasLock() const { return m_mode != Unlocked; }
    LockMode currentLockMode() const { return m_mode; }

  private:
    // System parts (lockedfile_<os>.cpp).
    bool acquireLock(LockMode mode, bool block);
    bool releaseLock();

    LockMode m_mode = Unlocked;
};

}  // namespace InstanceGuard
