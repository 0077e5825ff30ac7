// Shared by the tests of what a hostile page, download, link or file can reach: a local web
// site (plain or TLS), the opener's record, environment changes undone at the end of a test.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QSslConfiguration>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QUrl>
#include <mutex>
#include <utility>

namespace security_test {

// The test program's TLS material, made by its main: a CA that the web engine trusts through
// the NSS database of the test's HOME, and a server certificate for 127.0.0.1.
QString tlsDirectory();

struct Response {
    Response(QByteArray type = "text/html", QByteArray body = {}, bool announceLength = true)
        : type(std::move(type)), body(std::move(body)), announceLength(announceLength) {}
    QByteArray type;
    QByteArray body;
    bool announceLength;  // without it the body ends when the connection closes
    QByteArray location;  // a redirect when set
};

// Serves fixed responses by path on 127.0.0.1, over TLS when asked, and records each request.
class LocalSite : public QTcpServer {
  public:
    explicit LocalSite(bool tls, quint16 port = 0);
    void serve(const QByteArray& path, const Response& response) { m_routes[path] = response; }
    QString url(const QString& path) const;
    QStringList requests() const;

  protected:
    void incomingConnection(qintptr descriptor) override;

  private:
    void answer(QIODevice* socket, const QByteArray& path);

    bool m_tls;
    QSslConfiguration m_tlsConfig;
    QMap<QByteArray, Response> m_routes;
    mutable std::mutex m_lock;
    QStringList m_requests;
};

// What the opener recorder saw: lines "uid home target".
class OpenerRecord {
  public:
    OpenerRecord();  // starts empty; the directory is writable by the desktop user
    QStringList lines() const;
};

// Sets (or with a null value unsets) an environment variable for the life of the object.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const QByteArray& value);
    ~ScopedEnv();

  private:
    const char* m_name;
    bool m_wasSet;
    QByteArray m_old;
};

// Writes the page beside the test program, where the window loads it from.
void writeProgramPage(const QByteArray& html);
// The program's real page.
QByteArray realPage();

// The uid the tests open things as: "nobody".
constexpr unsigned kDesktopUid = 65534;

}  // namespace security_test
