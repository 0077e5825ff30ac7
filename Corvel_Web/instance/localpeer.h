// One process's named local socket. The process holding the exclusive lock on the name's
// lock file owns the name and listens on it; every other process of the same user can deliver
// a message to it. Socket and lock file live in the guard's private directory.
#pragma once

#include <QObject>
#include <QString>

#include "lockedfile.h"

class QLocalServer;

namespace InstanceGuard {

// "singleinstance-" with the id's CRC-16 and the login session, both in hexadecimal.
QString sessionSocketName(const QString& id);

class LocalPeer : public QObject {
    Q_OBJECT

  public:
    // An empty id stands for the application file path.
    explicit LocalPeer(QObject* parent = nullptr, const QString& id = QString());

    // True when another live process owns the name. Otherwise this peer owns it from now on
    // and listens, and the answer is false; also false, without listening, when the lock file
    // was refused (no trusted process can own the name then).
    bool isClient();
    // Sends the message to the owner and waits for its "ack"; false when nobody else owns
    // the name, the owner is another user's, cannot be reached or does not answer in time.
    bool deliver(const QString& message, int timeout);

  signals:
    // The socket stays valid until control returns to the event loop after the sender
    // disconnects.
    void messageReceived(const QString& message, QObject* socket);

  protected slots:
    void receiveConnection();

  private:
    QString m_id;
    QString m_socketName;
    QLocalServer* m_server;
    LockedFile m_lockFile;
};

}  // namespace InstanceGuard
