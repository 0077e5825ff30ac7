// The list of running instances kept in a shared memory block: signed 64-bit process ids
// one after the other, ended by a 0 entry. Nothing is ever written past the block.
#pragma once

#include <QVector>
#include <QtGlobal>

namespace InstanceGuard {

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

}  // namespace InstanceGuard
