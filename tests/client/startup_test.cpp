// The real program started as a person starts it, on the test's X server.
#include <gtest/gtest.h>

#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>

#include "client_test_support.h"

namespace {

using client_test::ProgramCopy;

// Runs lumar from a copy; the process is ended politely at the end of the test.
class RunningLumar {
  public:
    explicit RunningLumar(const ProgramCopy& copy, const QStringList& wrapper = {},
                          const QProcessEnvironment& extra = {}) {
        QProcessEnvironment env = extra;
        env.insert(QStringLiteral("LUMAR_LOG_LEVEL"), QStringLiteral("0"));
        if (wrapper.isEmpty()) {
            copy.start(m_process, {}, env);
        } else {
            QProcessEnvironment full = copy.environment();
            full.insert(env);
            m_process.setProcessEnvironment(full);
            m_process.start(wrapper.first(), wrapper.mid(1) + QStringList{copy.binary()});
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
// mount namespace, then runs the program given as its last argument.
QStringList inPrivateMounts(const QString& script) {
    return {
        QStringLiteral("unshare"),
        QStringLiteral("-m"),
        QStringLiteral("--propagation"),
        QStringLiteral("private"),
        QStringLiteral("sh"),
        QStringLiteral("-c"),
        script + QStringLiteral(" && exec \"$0\""),
    };
}

TEST(StartupTest, CarriesOnWithoutMachineIdAndOpensNoDebuggingPort) {
    ProgramCopy copy;
    const QString overlay = copy.file(QStringLiteral("etc-overlay"));
    // An environment handed to root must not open the root page to every local user.
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
    const quint16 debuggingPort = probe.serverPort();
    probe.close();
    QProcessEnvironment extra;
    extra.insert(QStringLiteral("QTWEBENGINE_REMOTE_DEBUGGING"),
                 QStringLiteral("127.0.0.1:%1").arg(debuggingPort));
    RunningLumar lumar(
        copy,
        inPrivateMounts(
            QStringLiteral(
                "mkdir -p %1 && mount -t tmpfs tmpfs %1 && mkdir %1/u %1/w && "
                "mount -t overlay overlay -o lowerdir=/etc,upperdir=%1/u,workdir=%1/w /etc && "
                "rm -f /etc/machine-id")
                .arg(overlay)),
        extra);
    ASSERT_TRUE(client_test::waitForViewableXWindow(QStringLiteral("lumar")))
        << lumar.process().readAllStandardError().toStdString();
    QTcpSocket debugger;
    debugger.connectToHost(QHostAddress::LocalHost, debuggingPort);
    EXPECT_FALSE(debugger.waitForConnected(2000));
    const QString log = client_test::readText(copy.file(QStringLiteral("Corvel.log")));
    EXPECT_TRUE(log.contains(QStringLiteral("[Message: m_uuid:]"))) << log.toStdString();
    EXPECT_TRUE(log.contains(
        QStringLiteral("[Message: Running as root: the web view runs without its sandbox, and "
                       "without the web engine's debugging, flag and path settings of the "
                       "environment.]")));
    EXPECT_EQ(log.count(QStringLiteral("the web view runs without its sandbox")), 1);
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
