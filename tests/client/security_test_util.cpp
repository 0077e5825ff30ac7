#include "security_test_util.h"

#include <sys/stat.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSslKey>
#include <QSslSocket>
#include <memory>

#include "client_test_support.h"

namespace security_test {

QString tlsDirectory() {
    return qEnvironmentVariable("LUMAR_TEST_TLS_DIR");
}

namespace {

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

LocalSite::LocalSite(bool tls, quint16 port) : m_tls(tls) {
    if (tls) {
        m_tlsConfig = QSslConfiguration::defaultConfiguration();
        m_tlsConfig.setLocalCertificate(
            QSslCertificate(readFile(tlsDirectory() + QStringLiteral("/server.pem"))));
        m_tlsConfig.setPrivateKey(
            QSslKey(readFile(tlsDirectory() + QStringLiteral("/server.key")), QSsl::Rsa));
        m_tlsConfig.setPeerVerifyMode(QSslSocket::VerifyNone);
    }
    listen(QHostAddress::LocalHost, port);
}

QString LocalSite::url(const QString& path) const {
    return QStringLiteral("%1://127.0.0.1:%2%3")
        .arg(m_tls ? QStringLiteral("https") : QStringLiteral("http"))
        .arg(serverPort())
        .arg(path);
}

QStringList LocalSite::requests() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_requests;
}

void LocalSite::incomingConnection(qintptr descriptor) {
    QTcpSocket* socket = nullptr;
    if (m_tls) {
        auto* tlsSocket = new QSslSocket(this);
        tlsSocket->setSslConfiguration(m_tlsConfig);
        tlsSocket->setSocketDescriptor(descriptor);
        tlsSocket->startServerEncryption();
        socket = tlsSocket;
    } else {
        socket = new QTcpSocket(this);
        socket->setSocketDescriptor(descriptor);
    }
    auto request = std::make_shared<QByteArray>();
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, request] {
        request->append(socket->readAll());
        if (request->contains("\r\n\r\n")) {
            const QByteArray path = request->split(' ').value(1);
            request->clear();
            answer(socket, path);
        }
    });
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
}

void LocalSite::answer(QIODevice* device, const QByteArray& path) {
    auto* socket = static_cast<QTcpSocket*>(device);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_requests.append(QString::fromLatin1(path));
    }
    if (!m_routes.contains(path)) {
        socket->write("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        socket->disconnectFromHost();
        return;
    }
    const Response& r = m_routes[path];
    QByteArray head = r.location.isEmpty()
                          ? "HTTP/1.1 200 OK\r\n"
                          : "HTTP/1.1 302 Found\r\nLocation: " + r.location + "\r\n";
    head += "Content-Type: " + r.type + "\r\nConnection: close\r\n";
    if (r.announceLength) {
        head += "Content-Length: " + QByteArray::number(r.body.size()) + "\r\n";
    }
    socket->write(head + "\r\n");
    socket->write(r.body);
    socket->disconnectFromHost();
}

OpenerRecord::OpenerRecord() {
    QDir().mkpath(QStringLiteral(OPENER_RECORD_DIR));
    // The recorder runs as the desktop user.
    chmod(OPENER_RECORD_DIR, 01777);
    QFile::remove(QStringLiteral(OPENER_RECORD_DIR "/record"));
}

QStringList OpenerRecord::lines() const {
    return client_test::readText(QStringLiteral(OPENER_RECORD_DIR "/record"))
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

ScopedEnv::ScopedEnv(const char* name, const QByteArray& value)
    : m_name(name), m_wasSet(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name)) {
    if (value.isNull()) {
        qunsetenv(name);
    } else {
        qputenv(name, value);
    }
}

ScopedEnv::~ScopedEnv() {
    if (m_wasSet) {
        qputenv(m_name, m_old);
    } else {
        qunsetenv(m_name);
    }
}

void writeProgramPage(const QByteArray& html) {
    QFile page(QCoreApplication::applicationDirPath() + QStringLiteral("/index.html"));
    page.open(QIODevice::WriteOnly | QIODevice::Truncate);
    page.write(html);
    page.close();
    page.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
}

QByteArray realPage() {
    return readFile(QStringLiteral(LUMAR_PAGE));
}

}  // namespace security_test
