// The list of running instances: a block of 1,024 bytes holding signed 64-bit process ids one
// after the other, ended by a 0 entry, kept in a file of the guard's private directory. Nothing
// is ever written past the block.
#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>
#include <QtGlobal>

namespace InstanceGuard {

constexpr int kInstanceListBytes = 1024;

class InstanceList {
  public:
    InstanceList(void* data, int bytes);

    // The ids up to the 0 entry (or the end of the block, should the 0 be missing).
    QVector<qint64> entries() const;
    // Adds the id after the others; false, with nothing written, when the block is full.
    bool append(qint64 pid);
    // Replaces the list; ids beyond the room there is are left out.
    void assign(const QVector<qint64>& pids);
    // How many ids fit besides the ending 0.
    int capacity() const { return m_slots - 1; }

  private:
    qint64 at(int index) const;
    void set(int index, qint64 pid);

    char* m_data;
    int m_slots;
};

// The list's file, read whole and written back whole; only under the list's lock.
class InstanceListFile {
  public:
    explicit InstanceListFile(const QString& path);

    // A missing or short file reads as a list ended early. False, with a warning, when the
    // file is refused (another user's, a link) or cannot be read.
    bool load();
    InstanceList list() { return InstanceList(m_block.data(), kInstanceListBytes); }
    // Writes the block back; a list left empty takes the file away.
    bool store();

  private:
    QString m_path;
    QByteArray m_block;
};

}  // namespace InstanceGuard
