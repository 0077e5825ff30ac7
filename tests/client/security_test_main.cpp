// The security tests' main: a HOME of their own whose NSS database trusts a test CA, so that the
// real web engine checks the local update site's certificate as it checks any other.
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdio>

#include "client_test_support.h"

namespace {

bool run(const QString& program, const QStringList& args, const QString& dir) {
    QProcess process;
    process.setWorkingDirectory(dir);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    if (!process.waitForFinished(60000) || process.exitCode() != 0) {
        std::fprintf(stderr, "%s failed: %s\n", qPrintable(program + ' ' + args.join(' ')),
                     process.readAll().constData());
        return false;
    }
    return true;
}

// A CA, a server certificate for 127.0.0.1 signed by it, and the CA in the NSS database.
bool makeTrustedCertificates(const QString& home, const QString& tls) {
    const QString nss = QStringLiteral("sql:") + home + QStringLiteral("/.pki/nssdb");
    QDir().mkpath(home + QStringLiteral("/.pki/nssdb"));
    QFile ext(tls + QStringLiteral("/server.ext"));
    ext.open(QIODevice::WriteOnly);
    ext.write(
        "subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n"
        "basicConstraints=critical,CA:FALSE\n");
    ext.close();
    const QString openssl = QStringLiteral("openssl");
    return run(openssl,
               {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out",
                "ca.pem", "-days", "2", "-subj", "/CN=lumar test CA", "-addext",
                "basicConstraints=critical,CA:TRUE", "-addext",
                "keyUsage=critical,keyCertSign,cRLSign"},
               tls) &&
           run(openssl,
               {"req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out",
                "server.csr", "-subj", "/CN=127.0.0.1"},
               tls) &&
           run(openssl,
               {"x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                "-CAcreateserial", "-out", "server.pem", "-days", "2", "-extfile", "server.ext"},
               tls) &&
           run(QStringLiteral("certutil"), {"-d", nss, "-N", "--empty-password"}, tls) &&
           run(QStringLiteral("certutil"),
               {"-d", nss, "-A", "-n", "lumar test CA", "-t", "C,,", "-i", "ca.pem"}, tls);
}

}  // namespace

int main(int argc, char** argv) {
    QTemporaryDir home;
    QTemporaryDir tls;
    if (!makeTrustedCertificates(home.path(), tls.path())) {
        return 1;
    }
    qputenv("HOME", home.path().toLocal8Bit());
    qputenv("LUMAR_TEST_TLS_DIR", tls.path().toLocal8Bit());
    return client_test::runClientTests(argc, argv);
}
