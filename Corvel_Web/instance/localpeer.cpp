#include "localpeer.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QtEndian>

#include "login_session.h"
#include "peer_credentials.h"
#include "private_files.h"

namespace InstanceGuard {

namespace {

const char kAck[] = "ack";
constexpr int kAckSize = 3;
constexpr int kRetryPauseMs = 250;
constexpr int kHeaderWaitMs = 1000;
// The whole message: a sender trickling a byte now and then must not hold the event loop
// however short each single wait is.
constexpr int kMessageWaitMs = 2000;
constexpr int kAckWriteWaitMs = 1000;
// Messages are short commands; a larger length is a broken or hostile sender, not a reason
// to allocate gigabytes.
constexpr quint32 kMaxMessageBytes = 1 << 20;

enum class Reception { Received, Stale, Failed };

// Reads one length-framed message; on failure `failure` tells why.
Reception readFramed(QLocalSocket* socket, QByteArray* message, QString* failure) {
    const QDeadlineTimer deadline(kMessageWaitMs);
    const auto waitMs = [&deadline](int limitMs) {
        return int(qMin<qint64>(limitMs, deadline.remainingTime()));
    };
    // A sender that connects and then stays silent must not hold the event loop.
    while (socket->bytesAvailable() < qint64(sizeof(quint32))) {
        if (!socket->isValid()) {
            return Reception::Stale;
        }
        if ((deadline.hasExpired() || !socket->waitForReadyRead(waitMs(kHeaderWaitMs))) &&
            socket->bytesAvailable() < qint64(sizeof(quint32)) && socket->isValid()) {
            *failure = socket->errorString();
            return Reception::Failed;
        }
    }
    quint32 length = 0;
    socket->read(reinterpret_cast<char*>(&length), sizeof(length));
    length = qFromBigEndian(length);
    if (length > kMaxMessageBytes) {
        *failure = QStringLiteral("message of %1 bytes refused").arg(length);
        return Reception::Failed;
    }
    message->resize(int(length));
    char* next = message->data();
    qint64 remaining = length;
    qint64 got = 0;
    do {
        got = socket->read(next, remaining);
        if (got > 0) {
            remaining -= got;
            next += got;
        }
    } while (remaining > 0 && got >= 0 && !deadline.hasExpired() &&
             socket->waitForReadyRead(waitMs(kMessageWaitMs)));
    // A message cut short is as lost as one that failed to read: it is not delivered in part.
    if (got < 0 || remaining > 0) {
        *failure = socket->errorString();
        return Reception::Failed;
    }
    return Reception::Received;
}

}  // namespace

QString sessionSocketName(const QString& id) {
    const QByteArray utf8 = id.toUtf8();
    QString name = QStringLiteral("singleinstance-") +
                   QString::number(qChecksum(utf8.constData(), uint(utf8.size())), 16);
    if (const std::optional<quint32> session = loginSessionId()) {
        name += QLatin1Char('-') + QString::number(*session, 16);
    }
    return name;
}

LocalPeer::LocalPeer(QObject* parent, const QString& id)
    : QObject(parent),
      m_id(id.isEmpty() ? QCoreApplication::applicationFilePath() : id),
      m_server(new QLocalServer(this)) {
    // Without the private directory there is no name to own or to reach.
    const QString dir = guardDirectory();
    if (dir.isEmpty()) {
        return;
    }
    m_socketName = dir + QLatin1Char('/') + sessionSocketName(m_id);
    m_lockFile.setFileName(m_socketName + QStringLiteral("-lockfile"));
    m_lockFile.open(QIODevice::ReadWrite);
}

bool LocalPeer::isClient() {
    if (m_lockFile.hasLock() || !m_lockFile.isOpen()) {
        return false;
    }
    if (!m_lockFile.lock(LockedFile::ExclusiveLock, false)) {
        return true;
    }
    // A socket file left by an owner that died would make listening fail.
    if (!QLocalServer::removeServer(m_socketName)) {
        qWarning("SingleApplication: could not cleanup socket");
    }
    if (!m_server->listen(m_socketName)) {
        qWarning("SingleApplication: listen on local socket failed, %s",
                 m_server->errorString().toLocal8Bit().constData());
    }
    connect(m_server, &QLocalServer::newConnection, this, &LocalPeer::receiveConnection);
    return false;
}

bool LocalPeer::deliver(const QString& message, int timeout) {
    if (!isClient()) {
        return false;
    }
    QLocalSocket socket;
    bool connected = false;
    for (int attempt = 0; attempt < 2 && !connected; ++attempt) {
        if (attempt > 0) {
            QThread::msleep(kRetryPauseMs);
        }
        socket.connectToServer(m_socketName);
        connected = socket.waitForConnected(timeout / 2);
    }
    qint64 ownerUid = -1;
    if (!connected || !peerIsThisUser(socket.socketDescriptor(), &ownerUid)) {
        return false;
    }
    const QByteArray utf8 = message.toUtf8();
    QDataStream stream(&socket);
    stream.writeBytes(utf8.constData(), uint(utf8.size()));
    return socket.waitForBytesWritten(timeout) && socket.waitForReadyRead(timeout) &&
           socket.read(kAckSize) == kAck;
}

void LocalPeer::receiveConnection() {
    QLocalSocket* socket = m_server->nextPendingConnection();
    if (!socket) {
        return;
    }
    // Only the same user's processes may ask this one to do anything; nothing of another's
    // is read.
    qint64 peerUid = -1;
    if (!peerIsThisUser(socket->socketDescriptor(), &peerUid)) {
        qWarning("LocalPeer: connection from user %lld refused", static_cast<long long>(peerUid));
        socket->abort();
        socket->deleteLater();
        return;
    }
    QByteArray bytes;
    QString failure;
    switch (readFramed(socket, &bytes, &failure)) {
        case Reception::Stale:
            socket->deleteLater();
            return;
        case Reception::Failed:
            qWarning("LocalPeer: Message reception failed %s", qPrintable(failure));
            socket->deleteLater();
            return;
        case Reception::Received:
            break;
    }
    const QString message = QString::fromUtf8(bytes);
    socket->write(kAck, kAckSize);
    socket->waitForBytesWritten(kAckWriteWaitMs);
    emit messageReceived(message, socket);
    // Kept for the receivers until the sender, having read the answer, goes away.
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    if (socket->state() == QLocalSocket::UnconnectedState) {
        socket->deleteLater();
    }
}

}  // namespace InstanceGuard
