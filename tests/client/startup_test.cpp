// The real program started as a person starts it, on the test's X server.
#include <gtest/gtest.h>

#include <QDir>
#include <QHostAddress>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>

#include "client_test_support.h"

namespace {

using client_test::ProgramCopy;

// Runs lumar from a copy; the process is ended politely at the end of the test.
class RunningLumar {
  public:
    explicit RunningLumar(const ProgramCopy& copy, const QStringList& wrapper = {},
                          const QProcessEnvironment& extra = {}, const QStringList& args = {}) {
        QProcessEnvironment env = extra;
        env.insert(QStringLiteral("LUMAR_LOG_LEVEL"), QStringLiteral("0"));
        if (wrapper.isEmpty()) {
            copy.start(m_process, args, env);
        } else {
            QProcessEnvironment full = copy.environment();
            full.insert(env);
            m_process.setProcessEnvironment(full);
            m_process.start(wrapper.first(), wrapper.mid(1) + QStringList{copy.binary()} + args);
        }
    }
    ~RunningLumar() {
        m_process.terminate();
        if (!m_process.waitForFinished(15000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    QProcess& process() { return m_process; }

  private:
    QProcess m_process;
};

TEST(StartupTest, WindowSizeComesFromOptionsAndIsCentred) {
    struct Case {
        const char* ini;
        QSize size;
    };
    const Case cases[] = {
        {"", QSize(360, 728)},
        {"[resolution]\nwidth=400\n", QSize(400, 728)},
        {"[resolution]\nwidth=300\nheight=500\n", QSize(300, 500)},
    };
    for (const Case& c : cases) {
        ProgramCopy copy;
        copy.writeOptions(QString::fromLatin1(c.ini));
        RunningLumar lumar(copy);
        ASSERT_TRUE(client_test::waitForViewableXWindow(QStringLiteral("lumar")))
            << lumar.process().readAllStandardError().toStdString();
        const client_test::XWindowInfo window = client_test::findXWindow(QStringLiteral("lumar"));
        EXPECT_EQ(window.geometry.size(), c.size) << c.ini;
        // The test's X server is 1920 x 1080 and has no panel.
        EXPECT_EQ(window.geometry.topLeft(),
                  QPoint((1920 - c.size.width()) / 2, (1080 - c.size.height()) / 2))
            << c.ini;
    }
}

// A shell command that hides a file or makes the program directory read-only in a private
// mount namespace, then runs the program given after it with its arguments.
QStringList inPrivateMounts(const QString& script) {
    return {
        QStringLiteral("unshare"),
        QStringLiteral("-m"),
        QStringLiteral("--propagation"),
        QStringLiteral("private"),
        QStringLiteral("sh"),
        QStringLiteral("-c"),
        script + QStringLiteral(" && exec \"$0\" \"$@\""),
    };
}

// Processes below `pid`, its children's children included.
QList<qint64> descendantsOf(qint64 pid) {
    QMap<qint64, qint64> parentOf;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const qint64 id = entry.toLongLong(&number);
        const QString stat = client_test::readText(QStringLiteral("/proc/%1/stat").arg(entry));
        // "pid (name) state ppid ...": the name may hold spaces and parentheses.
        const QStringList after = stat.mid(stat.lastIndexOf(QLatin1Char(')')) + 2).split(' ');
        if (number && after.size() > 1) {
            parentOf.insert(id, after[1].toLongLong());
        }
    }
    QList<qint64> found{pid};
    for (int i = 0; i < found.size(); ++i) {
        for (auto it = parentOf.cbegin(); it != parentOf.cend(); ++it) {
            if (it.value() == found[i]) {
                found.append(it.key());
            }
        }
    }
    found.removeFirst();
    return found;
}

QStringList nulSeparated(const QString& path) {
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return QString::fromLocal8Bit(file.readAll()).split(QChar(0), Qt::SkipEmptyParts);
}

bool listening(quint16 port) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(2000);
}

quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

// Switches on the command line and settings in the environment that would open the root page
// to every local user or run a program of the caller's choice as root; none may reach the web
// engine or its processes. The display's settings are kept.
TEST(StartupTest, RootTakesNothingFromItsCallerAndCarriesOnWithoutMachineId) {
    ProgramCopy copy;
    const QString overlay = copy.file(QStringLiteral("etc-overlay"));
    const QString marker = copy.file(QStringLiteral("caller-program-ran"));
    const QString callersProgram = copy.file(QStringLiteral("callers-program"));
    QFile script(callersProgram);
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write(QStringLiteral("#!/bin/sh\ntouch '%1'\nexec \"$@\"\n").arg(marker).toUtf8());
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    const quint16 environmentPort = freePort();
    const quint16 argumentPort = freePort();
    const QStringList arguments{QStringLiteral("--remote-debugging-port=%1").arg(argumentPort),
                                QStringLiteral("--renderer-cmd-prefix=%1").arg(callersProgram)};
    const QMap<QString, QString> planted{
        {QStringLiteral("QTWEBENGINE_REMOTE_DEBUGGING"),
         QStringLiteral("127.0.0.1:%1").arg(environmentPort)},
        {QStringLiteral("QTWEBENGINEPROCESS_PATH"), callersProgram},
        {QStringLiteral("QTWEBENGINE_DICTIONARIES_PATH"), copy.dir()},
        {QStringLiteral("QTWEBENGINE_CHROMIUM_FLAGS"),
         QStringLiteral("--renderer-cmd-prefix=") + callersProgram},
        {QStringLiteral("QT_PLUGIN_PATH"), copy.dir()},
        {QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("vnc:port=%1").arg(freePort())},
    };
    QProcessEnvironment extra;
    for (auto it = planted.cbegin(); it != planted.cend(); ++it) {
        extra.insert(it.key(), it.value());
    }
    extra.insert(QStringLiteral("QT_SCREEN_SCALE_FACTORS"), QStringLiteral("1"));
    RunningLumar lumar(
        copy,
        inPrivateMounts(
            QStringLiteral(
                "mkdir -p %1 && mount -t tmpfs tmpfs %1 && mkdir %1/u %1/w && "
                "mount -t overlay overlay -o lowerdir=/etc,upperdir=%1/u,workdir=%1/w /etc && "
                "rm -f /etc/machine-id")
                .arg(overlay)),
        extra, arguments);
    ASSERT_TRUE(client_test::waitForViewableXWindow(QStringLiteral("lumar")))
        << lumar.process().readAllStandardError().toStdString();

    QList<qint64> engineProcesses;
    ASSERT_TRUE(client_test::waitFor([&] {
        engineProcesses.clear();
        for (qint64 pid : descendantsOf(lumar.process().processId())) {
            if (client_test::readText(QStringLiteral("/proc/%1/comm").arg(pid))
                    .startsWith(QStringLiteral("QtWebEngine"))) {
                engineProcesses.append(pid);
            }
        }
        return engineProcesses.size() >= 2;  // the zygote and the page's renderer
    }));
    for (qint64 pid : engineProcesses) {
        const QStringList environment = nulSeparated(QStringLiteral("/proc/%1/environ").arg(pid));
        for (const QString& name : planted.keys()) {
            EXPECT_TRUE(
                environment.filter(QRegularExpression(QLatin1Char('^') + name + '=')).isEmpty())
                << pid << " received " << name.toStdString();
        }
        const QString program = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid));
        EXPECT_TRUE(program.endsWith(QStringLiteral("/QtWebEngineProcess")))
            << program.toStdString();
        const QString commandLine =
            nulSeparated(QStringLiteral("/proc/%1/cmdline").arg(pid)).join(' ');
        EXPECT_FALSE(commandLine.contains(QStringLiteral("remote-debugging")))
            << commandLine.toStdString();
        EXPECT_FALSE(commandLine.contains(callersProgram)) << commandLine.toStdString();
    }
    EXPECT_FALSE(listening(environmentPort));
    EXPECT_FALSE(listening(argumentPort));
    EXPECT_FALSE(QFile::exists(marker));

    const QString log = client_test::readText(copy.file(QStringLiteral("Corvel.log")));
    EXPECT_TRUE(log.contains(QStringLiteral("[Message: m_uuid:]"))) << log.toStdString();
    EXPECT_EQ(log.count(QStringLiteral("Running as root: the web view runs without its sandbox.")),
              1);
    EXPECT_TRUE(
        log.contains(QStringLiteral("Running as root: ignored the command line's arguments %1.")
                         .arg(arguments.join(' '))));
    const QRegularExpression ignored(
        QStringLiteral("Running as root: ignored the environment's ([^\\]]*)\\.\\]"));
    const QStringList names =
        ignored.match(log).captured(1).split(QStringLiteral(", "), Qt::SkipEmptyParts);
    for (const QString& name : planted.keys()) {
        EXPECT_TRUE(names.contains(name)) << name.toStdString();
    }
    EXPECT_FALSE(names.contains(QStringLiteral("QT_SCREEN_SCALE_FACTORS")));
}

TEST(StartupTest, ReadOnlyProgramDirectoryLosesTheLogOnly) {
    ProgramCopy copy;
    RunningLumar lumar(
        copy,
        inPrivateMounts(
            QStringLiteral("mount --bind %1 %1 && mount -o remount,bind,ro %1").arg(copy.dir())));
    ASSERT_TRUE(client_test::waitForViewableXWindow(QStringLiteral("lumar")))
        << lumar.process().readAllStandardError().toStdString();
    EXPECT_FALSE(QFile::exists(copy.file(QStringLiteral("Corvel.log"))));
    EXPECT_EQ(lumar.process().state(), QProcess::Running);
}

}  // namespace
