// The page and the bridge over the real web channel: version and identity, pings, toasts,
// and values that would break a page script if they went in unescaped.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFutureWatcher>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>
#include <QWebEngineView>
#include <tuple>

#include "Corvel.h"
#include "Corvel_Web.h"
#include "host_identity.h"
#include "page_script.h"
#include "window_test_util.h"

using client_test::waitFor;
using namespace window_test;

namespace {

// A reference server on loopback; `delayMs` holds every reply back.
class RefServer {
  public:
    explicit RefServer(int delayMs = 0) {
        QStringList args{QStringLiteral("--listen"),   QStringLiteral("127.0.0.1"),
                         QStringLiteral("--port"),     QStringLiteral("0"),
                         QStringLiteral("--key-file"), m_dir.filePath(QStringLiteral("key"))};
        if (delayMs > 0) {
            args << QStringLiteral("--delay-ms") << QString::number(delayMs);
        }
        m_process.start(QStringLiteral(REF_SERVER_BINARY), args);
        const QRegularExpression listening(QStringLiteral("listening on \\S+ port (\\d+)"));
        QString output;
        waitFor([&] {
            output += QString::fromLocal8Bit(m_process.readAllStandardOutput());
            const auto match = listening.match(output);
            if (match.hasMatch()) {
                m_port = match.captured(1).toInt();
            }
            return m_port != 0 || m_process.state() == QProcess::NotRunning;
        });
    }
    ~RefServer() {
        m_process.kill();
        m_process.waitForFinished();
    }
    int port() const { return m_port; }

  private:
    QTemporaryDir m_dir;
    QProcess m_process;
    int m_port = 0;
};

class BridgePageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_window = std::make_unique<Corvel_Web>(nullptr);
        m_window->setFixedSize(360, 728);
        m_window->show();
        ASSERT_TRUE(waitForBridge(view()));
    }
    QWebEngineView* view() const { return m_window->findChild<QWebEngineView*>(); }
    Corvel* bridge() const { return m_window->findChild<Corvel*>(); }
    QVariant eval(const QString& script) const { return pageEval(view()->page(), script); }
    QString text(const QString& id) const {
        return eval(QStringLiteral("document.getElementById('%1').textContent").arg(id)).toString();
    }
    int pendingPingWatchers() const {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        int count = 0;
        for (QObject* child : bridge()->children()) {
            count += dynamic_cast<QFutureWatcher<std::tuple<int, int>>*>(child) != nullptr;
        }
        return count;
    }

    std::unique_ptr<Corvel_Web> m_window;
};

}  // namespace

TEST_F(BridgePageTest, PageGetsVersionAndIdentity) {
    // The page asks once its channel is up.
    ASSERT_TRUE(waitFor([&] { return text(QStringLiteral("version")) != QLatin1String("-"); }));
    EXPECT_EQ(text(QStringLiteral("version")), QStringLiteral("3.1.8.0"));
    EXPECT_EQ(text(QStringLiteral("uuid")), hostMachineGuid());
    EXPECT_EQ(text(QStringLiteral("devid")), hostComputerName());
    EXPECT_FALSE(hostComputerName().isEmpty());

    // The head and tail arrive as separate arguments.
    eval(QStringLiteral(
        "window.versionArgs = null; var orig = onGetVersionAndUuid;"
        "onGetVersionAndUuid = function () {"
        "  window.versionArgs = Array.from(arguments); orig.apply(null, arguments); };"
        "corvel.getVersionAndUuid();"));
    ASSERT_TRUE(waitFor([&] { return eval(QStringLiteral("window.versionArgs")).isValid(); }));
    EXPECT_EQ(eval(QStringLiteral("window.versionArgs")).toStringList(),
              (QStringList{hostMachineGuid(), QStringLiteral("3.1.8"), QStringLiteral("0"),
                           hostComputerName()}));
}

TEST_F(BridgePageTest, PingsAnswerInCompletionOrderEachWithItsCallId) {
    RefServer fast;
    RefServer slow(1500);
    ASSERT_NE(fast.port(), 0);
    ASSERT_NE(slow.port(), 0);
    QUdpSocket silent;
    ASSERT_TRUE(silent.bind(QHostAddress(QHostAddress::LocalHost), 0));

    LogCapture log;
    eval(
        QStringLiteral("window.pingOrder = []; var origPing = onPing;"
                       "onPing = function (a) { pingOrder.push(a); origPing(a); };"));
    // Through the page's own form: it numbers the pings 1, 2, 3 in line order. The silent
    // one goes last, as the global pool may have only two threads.
    QElapsedTimer clock;
    clock.start();
    eval(QStringLiteral("document.getElementById('pingTargets').value ="
                        "  '127.0.0.1:%1\\n127.0.0.1:%2\\n127.0.0.1:%3';"
                        "document.getElementById('btnPing').click();")
             .arg(slow.port())
             .arg(fast.port())
             .arg(silent.localPort()));
    ASSERT_TRUE(waitFor([&] { return eval(QStringLiteral("pingOrder.length")).toInt() == 3; },
                        std::chrono::seconds(15)));
    const qint64 elapsed = clock.elapsed();

    const QStringList order = eval(QStringLiteral("pingOrder")).toStringList();
    ASSERT_EQ(order.size(), 3);
    const auto answer = [](const QString& a) {
        return std::make_pair(a.section(' ', 0, 0).toInt(), a.section(' ', 1, 1).toInt());
    };
    EXPECT_EQ(answer(order[0]).first, 2);
    EXPECT_GE(answer(order[0]).second, 0);
    EXPECT_LT(answer(order[0]).second, 1000);
    EXPECT_EQ(answer(order[1]).first, 1);
    EXPECT_GE(answer(order[1]).second, 1400);
    EXPECT_EQ(order[2], QStringLiteral("3 -1"));
    EXPECT_GE(elapsed, 2900) << "the silent port was given up early";
    const QStringList lines = log.all();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const QString& line) {
        return line.startsWith(QLatin1String("udp_ping failed: "));
    }));

    // Shown per callId in the page.
    EXPECT_EQ(text(QStringLiteral("ping-3")), QStringLiteral("超时"));
    EXPECT_EQ(text(QStringLiteral("ping-1")), QStringLiteral("%1 ms").arg(answer(order[1]).second));
    EXPECT_TRUE(waitFor([&] { return pendingPingWatchers() == 0; }));
}

TEST_F(BridgePageTest, HostileToastTextArrivesAsTextAndRunsNothing) {
    const QString hostile = QStringLiteral(
        "it's \\ a'); window.injected = 1; ('\n"
        "\"); window.injected = 2; (\"</script><script>window.injected = 3</script>\u2028end");
    ASSERT_TRUE(QMetaObject::invokeMethod(bridge(), "callToast", Q_ARG(QString, hostile)));
    ASSERT_TRUE(waitFor([&] { return text(QStringLiteral("toast")) == hostile; }))
        << text(QStringLiteral("toast")).toStdString();
    EXPECT_EQ(eval(QStringLiteral("typeof window.injected")).toString(),
              QStringLiteral("undefined"));
}

TEST_F(BridgePageTest, PageTakesTheServerKeyAndConfigurationFromTheProgramsOptionsFile) {
    EXPECT_EQ(eval(QStringLiteral("JSON.parse(currentJson()).vpnServerIp")).toString(),
              QStringLiteral("172.30.0.1"));

    // The page cannot read files itself; the program hands the file over.
    QFile options(QCoreApplication::applicationDirPath() + QStringLiteral("/page_options.json"));
    ASSERT_TRUE(options.open(QIODevice::WriteOnly | QIODevice::Truncate));
    options.write(R"({"config": "{\"vpnServerIp\":\"192.0.2.7\",\"vpnServerPort\":40000}",
                      "pk": "ab12"})");
    options.close();
    eval(QStringLiteral("corvel = null; 1"));
    view()->reload();
    ASSERT_TRUE(waitForBridge(view()));
    ASSERT_TRUE(waitFor([&] {
        return eval(QStringLiteral("document.getElementById('serverPk').value")).toString() ==
               QLatin1String("ab12");
    }));
    const QVariantMap sent = eval(QStringLiteral("JSON.parse(currentJson())")).toMap();
    options.remove();
    EXPECT_EQ(sent.value(QStringLiteral("vpnServerIp")).toString(), QStringLiteral("192.0.2.7"));
    EXPECT_EQ(sent.value(QStringLiteral("vpnServerPort")).toInt(), 40000);
    EXPECT_EQ(sent.value(QStringLiteral("vpnServerPk")).toString(), QStringLiteral("ab12"));
}

TEST(PageScript, LiteralStaysOneValueInsideAnHtmlScriptElement) {
    const QString hostile =
        QStringLiteral("</script><script>window.injected = 1</script><!-- '\"\\\r\n\u2029\x01");
    QWebEnginePage page;
    bool loaded = false;
    QObject::connect(&page, &QWebEnginePage::loadFinished, [&] { loaded = true; });
    page.setHtml(QStringLiteral("<html><body><script>window.got = %1;</script>"
                                "<script>window.after = 1;</script></body></html>")
                     .arg(jsStringLiteral(hostile)));
    ASSERT_TRUE(waitFor([&] { return loaded; }));
    EXPECT_EQ(pageEval(&page, QStringLiteral("window.got")).toString(), hostile);
    EXPECT_EQ(pageEval(&page, QStringLiteral("window.after")).toInt(), 1);
    EXPECT_EQ(pageEval(&page, QStringLiteral("typeof window.injected")).toString(),
              QStringLiteral("undefined"));
}

TEST_F(BridgePageTest, Screenshots) {
    QTest::qWait(500);  // let the first paint of the page settle
    const QString path = client_test::saveScreenshot(m_window.get(), QStringLiteral("window_idle"));
    const QImage shot(path);
    ASSERT_EQ(shot.size(), QSize(360, 728));
    // The page is drawn: its light body below the header differs from the dark title bar.
    EXPECT_NE(shot.pixelColor(180, 700), shot.pixelColor(180, 5));

    ASSERT_TRUE(QMetaObject::invokeMethod(bridge(), "callToast",
                                          Q_ARG(QString, QStringLiteral("连接成功"))));
    ASSERT_TRUE(
        waitFor([&] { return text(QStringLiteral("toast")) == QStringLiteral("连接成功"); }));
    QTest::qWait(400);  // the toast fades in
    const QImage toasted(
        client_test::saveScreenshot(m_window.get(), QStringLiteral("window_after_toast")));
    EXPECT_NE(toasted.pixelColor(180, 690), shot.pixelColor(180, 690)) << "no toast drawn";
}
