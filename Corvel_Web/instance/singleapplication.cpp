#include "singleapplication.h"

#include <QFileOpenEvent>
#include <QWidget>

#include "instance_list.h"
#include "localpeer.h"
#include "lockedfile.h"
#include "private_files.h"

namespace InstanceGuard {

namespace {

QString peerId(const QString& appId, qint64 pid) {
    return appId + QLatin1Char('-') + QString::number(pid);
}

QString listFilePath(const QString& lockPath) {
    return lockPath + QStringLiteral(".list");
}

// Every change of the instance list happens under this lock, across all processes. The wait
// has a time limit: a process of this user's hanging with the lock must not hang every start.
bool lockInstanceList(LockedFile& lockFile) {
    if (!lockFile.open(QIODevice::ReadWrite)) {
        return false;
    }
    if (lockFile.lock(LockedFile::ExclusiveLock, false)) {
        return true;
    }
    qDebug("Waiting for the instance list's lock.");
    return lockFile.lock(LockedFile::ExclusiveLock, true);
}

void unlockInstanceList(LockedFile& lockFile) {
    lockFile.unlock();
    lockFile.close();
}

}  // namespace

SingleApplication::SingleApplication(const QString& appId, int& argc, char** argv)
    : QApplication(argc, argv),
      m_firstRunningPid(-1),
      m_ownPeer(nullptr),
      m_raiseWindow(nullptr),
      m_appId(appId) {
    QString problem;
    const QString dir = guardDirectory(&problem);
    if (dir.isEmpty()) {
        qWarning("Failed to initialize instances shared memory: %s", qPrintable(problem));
        return;
    }
    m_instanceList =
        dir + QLatin1Char('/') + sessionSocketName(appId) + QStringLiteral("-instances");
    LockedFile lockFile(m_instanceList);
    const bool locked = lockInstanceList(lockFile);
    if (locked) {
        registerInstance();
    } else {
        qWarning(
            "Instance list lock refused or held for over 5 s: starting as the first "
            "instance.");
    }
    m_ownPeer = new LocalPeer(this, peerId(m_appId, applicationPid()));
    connect(m_ownPeer, &LocalPeer::messageReceived, this, &SingleApplication::messageReceived);
    m_ownPeer->isClient();
    if (locked) {
        unlockInstanceList(lockFile);
    }
}

SingleApplication::~SingleApplication() {
    if (m_instanceList.isEmpty()) {
        return;
    }
    LockedFile lockFile(m_instanceList);
    if (!lockInstanceList(lockFile)) {
        qWarning("Instance list lock refused or held for over 5 s: list left as it is.");
        return;
    }
    InstanceListFile file(listFilePath(m_instanceList));
    if (file.load()) {
        InstanceList list = file.list();
        list.assign(liveOthers(list.entries()));
        file.store();
    }
    unlockInstanceList(lockFile);
}

void SingleApplication::registerInstance() {
    InstanceListFile file(listFilePath(m_instanceList));
    // A list that is refused leaves this start off it, as the only instance it knows of.
    if (!file.load()) {
        return;
    }
    InstanceList list = file.list();
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
    if (!list.append(ownPid)) {
        // Full: make room by dropping instances that ended without unregistering. If all are
        // alive this one stays unlisted; it still owns its name and answers messages.
        list.assign(liveOthers(pids));
        if (!list.append(ownPid)) {
            qWarning("Instance list is full, this instance is not registered");
        }
    }
    file.store();
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
