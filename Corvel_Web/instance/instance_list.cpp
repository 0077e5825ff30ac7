#include "instance_list.h"

#include <QFile>
#include <cstring>

#include "private_files.h"

namespace InstanceGuard {

InstanceList::InstanceList(void* data, int bytes)
    : m_data(static_cast<char*>(data)), m_slots(bytes / int(sizeof(qint64))) {}

qint64 InstanceList::at(int index) const {
    qint64 pid;
    std::memcpy(&pid, m_data + index * sizeof(qint64), sizeof(pid));
    return pid;
}

void InstanceList::set(int index, qint64 pid) {
    std::memcpy(m_data + index * sizeof(qint64), &pid, sizeof(pid));
}

QVector<qint64> InstanceList::entries() const {
    QVector<qint64> pids;
    for (int i = 0; i < m_slots && at(i) != 0; ++i) {
        pids.append(at(i));
    }
    return pids;
}

bool InstanceList::append(qint64 pid) {
    const int end = entries().size();
    if (end >= capacity()) {
        return false;
    }
    set(end, pid);
    set(end + 1, 0);
    return true;
}

void InstanceList::assign(const QVector<qint64>& pids) {
    if (m_slots == 0) {
        return;
    }
    const int count = qMin(pids.size(), capacity());
    for (int i = 0; i < count; ++i) {
        set(i, pids.at(i));
    }
    set(count, 0);
}

InstanceListFile::InstanceListFile(const QString& path)
    : m_path(path), m_block(kInstanceListBytes, '\0') {}

bool InstanceListFile::load() {
    QFile file(m_path);
    QString problem;
    if (!openPrivateFile(file, QIODevice::ReadOnly, &problem)) {
        qWarning("Instance list %s refused: %s", qPrintable(m_path), qPrintable(problem));
        return false;
    }
    const QByteArray content = file.read(kInstanceListBytes);
    if (content.isNull() && file.error() != QFileDevice::NoError) {
        qWarning("Instance list %s unreadable: %s", qPrintable(m_path),
                 qPrintable(file.errorString()));
        return false;
    }
    m_block.fill('\0');
    m_block.replace(0, content.size(), content);
    return true;
}

bool InstanceListFile::store() {
    if (list().entries().isEmpty()) {
        return QFile::remove(m_path) || !QFile::exists(m_path);
    }
    QFile file(m_path);
    QString problem;
    if (!openPrivateFile(file, QIODevice::WriteOnly, &problem) ||
        file.write(m_block) != m_block.size()) {
        qWarning("Instance list %s not written: %s", qPrintable(m_path),
                 qPrintable(problem.isEmpty() ? file.errorString() : problem));
        return false;
    }
    return true;
}

}  // namespace InstanceGuard
