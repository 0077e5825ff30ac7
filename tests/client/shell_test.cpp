// Version, identity and the display scale, read from the real host and real X servers.
#include <gtest/gtest.h>

#include <unistd.h>
#include <QFile>
#include <QProcess>
#include <QSysInfo>
#include <memory>

#include "display_scale.h"
#include "host_identity.h"

namespace {

TEST(HostIdentityTest, VersionComesFromTheBuild) {
    EXPECT_EQ(appFileVersion(), "3.1.8.0");
    EXPECT_EQ(versionHead(QStringLiteral("3.1.8.12")), "3.1.8");
    EXPECT_EQ(versionTail(QStringLiteral("3.1.8.12")), "12");
    EXPECT_EQ(versionHead(QStringLiteral("10.0.19041.1")), "10.0.19041");
    EXPECT_EQ(versionHead(QStringLiteral("318")), "318");
    EXPECT_EQ(versionTail(QStringLiteral("318")), "318");
    EXPECT_EQ(versionHead(QString()), "");
    EXPECT_EQ(versionTail(QString()), "");
}

TEST(HostIdentityTest, HostValuesAreTheHostsOwn) {
    char name[256] = {};
    ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
    EXPECT_EQ(hostComputerName(), QString::fromLocal8Bit(name));
    QFile id(QStringLiteral("/etc/machine-id"));
    if (id.open(QIODevice::ReadOnly)) {
        EXPECT_EQ(hostMachineGuid(), QString::fromLatin1(id.readAll()).trimmed());
    } else {
        EXPECT_EQ(hostMachineGuid(), "");
    }
}

// A private X server of the given width; DISPLAY points at it while it lives. It must not
// reset when its last client leaves, or the next connection may find it mid-reset.
class XvfbServer {
  public:
    XvfbServer(int width, int height) : m_savedDisplay(qgetenv("DISPLAY")) {
        m_process.start(
            QStringLiteral("Xvfb"),
            {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
             QStringLiteral("0"), QStringLiteral("%1x%2x24").arg(width).arg(height),
             QStringLiteral("-nolisten"), QStringLiteral("tcp"), QStringLiteral("-noreset")});
        // The display number arrives as one line, possibly in more than one read.
        while (!m_process.canReadLine() && m_process.waitForReadyRead(10000)) {
        }
        if (m_process.canReadLine()) {
            m_display = QStringLiteral(":") + QString::fromLatin1(m_process.readLine()).trimmed();
            qputenv("DISPLAY", m_display.toLatin1());
        }
    }
    ~XvfbServer() {
        qputenv("DISPLAY", m_savedDisplay);
        m_process.terminate();
        m_process.waitForFinished(5000);
    }
    bool running() const { return !m_display.isEmpty(); }

  private:
    QByteArray m_savedDisplay;
    QProcess m_process;
    QString m_display;
};

TEST(DisplayScaleTest, ScaleFollowsTheScreenWidth) {
    struct Case {
        int width;
        const char* text;
    };
    for (const Case& c :
         {Case{1366, "1"}, Case{1920, "1"}, Case{2560, "1.33333"}, Case{3840, "2"}}) {
        XvfbServer server(c.width, 1080);
        ASSERT_TRUE(server.running()) << "Xvfb did not start";
        EXPECT_EQ(primaryMonitorWidth(), static_cast<uint32_t>(c.width));
        applyDisplayScale();
        EXPECT_EQ(qgetenv("QT_SCALE_FACTOR"), QByteArray(c.text)) << c.width;
    }
}

// Two monitors side by side on one X screen, as RandR monitors: the scale follows the primary
// one, not the screen that spans both.
TEST(DisplayScaleTest, ScaleFollowsThePrimaryMonitor) {
    struct Case {
        QStringList monitors;  // xrandr --setmonitor arguments, "*" marking the primary
        uint32_t width;
        const char* text;
    };
    const Case cases[] = {
        {{"*left 1920/508x1080/286+0+0 screen", "right 3840/1016x2160/572+1920+0 none"}, 1920, "1"},
        {{"left 1920/508x1080/286+0+0 none", "*right 3840/1016x2160/572+1920+0 screen"}, 3840, "2"},
    };
    for (const Case& c : cases) {
        XvfbServer server(5760, 2160);
        ASSERT_TRUE(server.running()) << "Xvfb did not start";
        for (const QString& monitor : c.monitors) {
            ASSERT_EQ(QProcess::execute(QStringLiteral("xrandr"),
                                        QStringList{QStringLiteral("--setmonitor")} +
                                            monitor.split(QLatin1Char(' '))),
                      0)
                << monitor.toStdString();
        }
        EXPECT_EQ(primaryMonitorWidth(), c.width);
        applyDisplayScale();
        EXPECT_EQ(qgetenv("QT_SCALE_FACTOR"), QByteArray(c.text)) << c.width;
    }
}

TEST(DisplayScaleTest, NoDisplayGivesOne) {
    const QByteArray saved = qgetenv("DISPLAY");
    qunsetenv("DISPLAY");
    EXPECT_EQ(primaryMonitorWidth(), 0u);
    EXPECT_EQ(applyDisplayScale(), 1.0);
    EXPECT_EQ(qgetenv("QT_SCALE_FACTOR"), QByteArray("1"));
    qputenv("DISPLAY", saved);
    qunsetenv("QT_SCALE_FACTOR");
}

}  // namespace
