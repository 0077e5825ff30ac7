#include "client_test_support.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QScreen>
#include <QTemporaryDir>
#include <QThread>
#include <QWidget>

#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "login_session.h"
#include "private_files.h"
#include "webengine_root.h"

namespace client_test {

int runClientTests(int argc, char** argv) {
    QTemporaryDir runtime;
    QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (!qEnvironmentVariableIsSet("HOME")) {
        qputenv("HOME", QDir::tempPath().toLocal8Bit());
    }
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    // The engine's record of host changes stays with the test, never in the host's own place.
    QTemporaryDir journals;
    qputenv("QUARNEL_JOURNAL_DIR", journals.path().toLocal8Bit());
    // No session bus here: without an address libdbus forks dbus-launch from a thread of the
    // already multi-threaded program, and under the sanitizers that child can hang spinning
    // on a lock copied mid-use, holding its parent back.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/lumar-tests-bus");
    prepareWebEngineForRoot();
    QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

namespace {
std::atomic<int> g_copyCounter{0};
}

ProgramCopy::ProgramCopy(const QString& program)
    : m_sessionId(QStringLiteral("t%1x%2")
                      .arg(QCoreApplication::applicationPid())
                      .arg(g_copyCounter.fetch_add(1))) {
    QFile::copy(program, binary());
    QFile::setPermissions(binary(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile::copy(QStringLiteral(LUMAR_PAGE), file(QStringLiteral("index.html")));
    QDir().mkpath(tempDir());
}

ProgramCopy::~ProgramCopy() {
    // A killed program leaves its socket, lock file and instance list in the guard's directory;
    // their names end in this copy's session, alone or before a suffix.
    const QString session =
        QString::number(InstanceGuard::loginSessionIdFor(m_sessionId.toLatin1()), 16);
    const QRegularExpression ours(
        QStringLiteral("^singleinstance-[0-9a-f]+-%1(-.*)?$").arg(session));
    const QString dir = InstanceGuard::guardDirectory();
    if (dir.isEmpty()) {
        return;
    }
    const QDir guard(dir);
    for (const QString& name : guard.entryList(QDir::Files | QDir::System)) {
        if (ours.match(name).hasMatch()) {
            QFile::remove(guard.filePath(name));
        }
    }
}

QString ProgramCopy::binary() const {
    return file(QStringLiteral("lumar"));
}

QString ProgramCopy::file(const QString& name) const {
    return m_dir.filePath(name);
}

QString ProgramCopy::tempDir() const {
    return file(QStringLiteral("tmp"));
}

void ProgramCopy::writeOptions(const QString& iniText) const {
    QFile f(file(QStringLiteral("Option.ini")));
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    f.write(iniText.toUtf8());
}

QProcessEnvironment ProgramCopy::environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), tempDir());
    // The instance list and the peers' socket names carry the login session id.
    env.insert(QStringLiteral("XDG_SESSION_ID"), m_sessionId);
    return env;
}

void ProgramCopy::start(QProcess& process, const QStringList& args,
                        const QProcessEnvironment& extra) const {
    QProcessEnvironment env = environment();
    for (const QString& key : extra.keys()) {
        env.insert(key, extra.value(key));
    }
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(dir());
    process.start(binary(), args);
}

namespace {

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;

// A directory of nobody's own, mode 0700.
QString nobodysDir(const QString& path) {
    QDir().mkpath(path);
    const QByteArray name = QFile::encodeName(path);
    chown(name.constData(), kNobody, kNogroup);
    chmod(name.constData(), 0700);
    return path;
}

}  // namespace

void ProgramCopy::startAsNobody(QProcess& process, const QString& socketPath) const {
    chmod(QFile::encodeName(dir()).constData(), 0755);
    chmod(QFile::encodeName(binary()).constData(), 0755);
    chown(QFile::encodeName(tempDir()).constData(), kNobody, kNogroup);
    const QString home = nobodysDir(file(QStringLiteral("home")));
    QProcessEnvironment env = environment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), nobodysDir(file(QStringLiteral("runtime"))));
    env.insert(QStringLiteral("QUARNEL_SOCKET"), socketPath);
    env.insert(QStringLiteral("LUMAR_LOG_LEVEL"), QStringLiteral("0"));
    // The display's cookie, readable by its new user.
    const QString cookie = home + QStringLiteral("/.Xauthority");
    if (QFile::copy(qEnvironmentVariable("XAUTHORITY"), cookie)) {
        chown(QFile::encodeName(cookie).constData(), kNobody, kNogroup);
        env.insert(QStringLiteral("XAUTHORITY"), cookie);
    }
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(dir());
    process.start(
        QStringLiteral("/usr/bin/setpriv"),
        {QStringLiteral("--reuid=%1").arg(kNobody), QStringLiteral("--regid=%1").arg(kNogroup),
         QStringLiteral("--init-groups"), QStringLiteral("--"), binary()});
}

EngineService::EngineService() {
    chmod(QFile::encodeName(m_dir.path()).constData(), 0755);
}

EngineService::~EngineService() {
    if (m_process.state() != QProcess::NotRunning) {
        kill(static_cast<pid_t>(m_process.processId()), SIGTERM);
        if (!m_process.waitForFinished(30000)) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
}

bool EngineService::start() {
    m_process.start(QStringLiteral(QUARNELD_BINARY),
                    {QStringLiteral("--socket"), socketPath(), QStringLiteral("--group"),
                     QStringLiteral("nogroup")});
    return m_process.waitForStarted() &&
           waitFor([&] { return log().contains(QStringLiteral("serving ")); });
}

QString EngineService::socketPath() const {
    return m_dir.filePath(QStringLiteral("engine.sock"));
}

QString EngineService::log() {
    // What it wrote lately may not have been taken from the pipe yet.
    m_process.setReadChannel(QProcess::StandardError);
    while (m_process.waitForReadyRead(50)) {
    }
    m_log += QString::fromLocal8Bit(m_process.readAllStandardError());
    return m_log;
}

bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    QElapsedTimer timer;
    timer.start();
    while (!predicate()) {
        if (timer.elapsed() > timeout.count()) {
            return predicate();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
    return true;
}

QString readText(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(f.readAll());
}

XWindowInfo findXWindow(const QString& title) {
    QProcess xwininfo;
    xwininfo.start(QStringLiteral("xwininfo"), {QStringLiteral("-name"), title});
    XWindowInfo info;
    if (!xwininfo.waitForFinished(5000) || xwininfo.exitCode() != 0) {
        return info;
    }
    int x = 0, y = 0, width = 0, height = 0;
    const QStringList lines = QString::fromLocal8Bit(xwininfo.readAllStandardOutput()).split('\n');
    for (const QString& raw : lines) {
        const QString line = raw.trimmed();
        const QString value = line.section(QLatin1Char(':'), 1).trimmed();
        if (line.startsWith(QLatin1String("Absolute upper-left X:"))) {
            x = value.toInt();
        } else if (line.startsWith(QLatin1String("Absolute upper-left Y:"))) {
            y = value.toInt();
        } else if (line.startsWith(QLatin1String("Width:"))) {
            width = value.toInt();
        } else if (line.startsWith(QLatin1String("Height:"))) {
            height = value.toInt();
        } else if (line.startsWith(QLatin1String("Map State:"))) {
            info.mapState = value;
        }
    }
    info.found = true;
    info.geometry = QRect(x, y, width, height);
    return info;
}

bool waitForViewableXWindow(const QString& title, std::chrono::milliseconds timeout) {
    return waitFor([&] { return findXWindow(title).mapState == QLatin1String("IsViewable"); },
                   timeout);
}

static QString artifactPath(const QString& name) {
    QDir().mkpath(QStringLiteral(LUMAR_ARTIFACT_DIR));
    return QStringLiteral(LUMAR_ARTIFACT_DIR "/%1.png").arg(name);
}

QString saveScreenshot(QWidget* widget, const QString& name) {
    const QString path = artifactPath(name);
    widget->grab().save(path, "PNG");
    return path;
}

QString saveScreenScreenshot(const QString& name) {
    const QString path = artifactPath(name);
    QGuiApplication::primaryScreen()->grabWindow(0).save(path, "PNG");
    return path;
}

}  // namespace client_test
