#include "singleapplication.h"

#include <QDir>
#include <QFileOpenEvent>
#include <QSharedMemory>
#include <QWidget>

#include "instance_list.h"
#include "localpeer.h"
#include "lockedfile.h"

namespace InstanceGuard {

namespace {

constexpr int kInstanceListBytes = 1024;

QString instanceListLockPath(const QString& appId) {
    QString path = QDir::tempPath();
    if (!path.endsWith(QLatin1Char('/'))) {
        path += QLatin1Char('/');
    }
    return path + sessionSocketName(appId) + QStringLiteral("-instances");
}

QString peerId(const QString& appId, qint64 pid) {
    return appId + QLatin1Char('-') + QString::number(pid);
}

// Every change of the instance list happens under this lock, across all processes.
void lockInstanceList(LockedFile& lockFile) {
    lockFile.open(QIODevice::ReadWrite);
    lockFile.lock(LockedFile::ExclusiveLock, true);
}

void unlockInstanceList(LockedFile& lockFile) {
    lockFile.unlock();
    lockFile.close();
}

InstanceList listIn(QSharedMemory* memory) {
    return InstanceList(memory->data(), qMin(memory->size(), kInstanceListBytes));
}

}  // namespace

SingleApplication::SingleApplication(const QString& appId, int& argc, char** argv)
    : QApplication(argc, argv),
      m_firstRunningPid(-1),
      m_instanceList(nullptr),
      m_ownPeer(nullptr),
      m_raiseWindow(nullptr),
      m_appId(appId) {
    m_instanceList = new QSharedMemory(sessionSocketName(appId), this);
    // The segment is there already while another instance runs, or after one was killed.
    if (!m_instanceList->create(kInstanceListBytes) && !m_instanceList->attach()) {
        qWarning("Failed to initialize instances shared memory: %s",
                 qPrintable(m_instanceList->errorString()));
        delete m_instanceList;
        m_instanceList = nullptr;
        return;
    }
    LockedFile lockFile(instanceListLockPath(m_appId));
    lockInstanceList(lockFile);
    registerInstance();
    m_ownPeer = new LocalPeer(this, peerId(m_appId, applicationPid()));
    connect(m_ownPeer, &LocalPeer::messageReceived, this, &SingleApplication::messageReceived);
    m_ownPeer->isClient();
    unlockInstanceList(lockFile);
}

SingleApplication::~SingleApplication() {
    if (!m_instanceList) {
        return;
    }
    LockedFile lockFile(instanceListLockPath(m_appId));
    lockInstanceList(lockFile);
    InstanceList list = listIn(m_instanceList);
    list.assign(liveOthers(list.entries()));
    unlockInstanceList(lockFile);
}

void SingleApplication::registerInstance() {
    InstanceList list = listIn(m_instanceList);
    // Read even when this process created the segment: another start may have attached and
    // registered before this one got the lock.
    const QVector<qint64> pids = list.entries();
    for (const qint64 pid : pids) {
        if (m_firstRunningPid != -1) {
            break;
        }
        if (isPeerRunning(pid)) {
            m_firstRunningPid = pid;
        }
    }
    const qint64 ownPid = applicationPid();
    if (list.append(ownPid)) {
        return;
    }
    // Full: make room by dropping instances that ended without unregistering. If all are
    // alive this one stays unlisted; it still owns its name and answers messages.
    list.assign(liveOthers(pids));
    if (!list.append(ownPid)) {
        qWarning("Instance list is full, this instance is not registered");
    }
}

QVector<qint64> SingleApplication::liveOthers(const QVector<qint64>& pids) {
    QVector<qint64> live;
    const qint64 ownPid = applicationPid();
    for (const qint64 pid : pids) {
        if (pid != ownPid && isPeerRunning(pid)) {
            live.append(pid);
        }
    }
    return live;
}

bool SingleApplication::isPeerRunning(qint64 pid) {
    if (pid == -1) {
        pid = m_firstRunningPid;
    }
    if (pid == -1) {
        return false;
    }
    LocalPeer peer(nullptr, peerId(m_appId, pid));
    return peer.isClient();
}

bool SingleApplication::sendToPeer(const QString& message, int timeout, qint64 pid) {
    if (pid == -1) {
        pid = m_firstRunningPid;
    }
    if (pid == -1) {
        return false;
    }
    LocalPeer peer(nullptr, peerId(m_appId, pid));
    return peer.deliver(message, timeout);
}

void SingleApplication::setRaiseWindow(QWidget* window, bool raiseOnMessage) {
    m_raiseWindow = window;
    if (!m_ownPeer) {
        return;
    }
    if (raiseOnMessage) {
        connect(m_ownPeer, &LocalPeer::messageReceived, this, &SingleApplication::raiseWindow,
                Qt::UniqueConnection);
    } else {
        disconnect(m_ownPeer, &LocalPeer::messageReceived, this, &SingleApplication::raiseWindow);
    }
}

void SingleApplication::raiseWindow() {
    if (!m_raiseWindow) {
        return;
    }
    qDebug("raise window");
    m_raiseWindow->showNormal();
    m_raiseWindow->raise();
    m_raiseWindow->activateWindow();
}

bool SingleApplication::event(QEvent* e) {
    if (e->type() == QEvent::FileOpen) {
        emit fileOpenRequest(static_cast<QFileOpenEvent*>(e)->file());
        return true;
    }
    return QApplication::event(e);
}

}  // namespace InstanceGuard
