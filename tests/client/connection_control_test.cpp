// The bridge's connection state machine with a scripted engine, in the real window with a
// page that records what the program tells it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSessionManager>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTimer>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "Corvel.h"
#include "Corvel_Web.h"
#include "PacketLossMonitoringThread.h"
#include "StatusMonitoringThread.h"
#include "client_engine.h"
#include "client_test_support.h"
#include "host_identity.h"
#include "recording_page.h"
#include "scripted_engine.h"
#include "session_end.h"

using client_test::RecordingPage;
using client_test::ScriptedEngine;
using client_test::waitFor;
using namespace std::chrono_literals;

namespace {

QJsonObject service() {
    return QJsonObject{
        {"vpnServerIp", "172.30.0.1"},
        {"vpnServerPort", 70000},  // the engine gets the low 16 bits
        {"vpnServerPk", "00ff"},
        {"dns", "10.8.0.1"},
        {"backupDns", "10.8.0.254"},
        {"localRoutes", QJsonArray{"192.168.1.0/24"}},
        {"remoteRoutes", QJsonArray{"198.51.100.0/24", "10.1.0.0/16"}},
        {"proxyRoutes", QJsonArray{}},
        {"token", "good-token"},
        {"uploadLimitRate", 3000},
        {"downloadLimitRate", 4000},
        {"workMode", "proxy_cn"},
    };
}

QString text(const QJsonObject& json) {
    return QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Compact));
}

// Aborts the test program when a step that must return does not: a deadlock shows as a
// failure with a message instead of a hang until the test times out.
class Watchdog {
  public:
    explicit Watchdog(const char* what, std::chrono::seconds limit = 20s)
        : m_thread([this, what, limit] {
              std::unique_lock<std::mutex> lock(m_lock);
              if (!m_done.wait_for(lock, limit, [this] { return m_finished; })) {
                  std::fprintf(stderr, "deadlock: %s did not return\n", what);
                  std::abort();
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_finished = true;
        }
        m_done.notify_one();
        m_thread.join();
    }

  private:
    std::mutex m_lock;
    std::condition_variable m_done;
    bool m_finished = false;
    std::thread m_thread;
};

class ConnectionControl : public ::testing::Test {
  protected:
    void SetUp() override {
        window = std::make_unique<Corvel_Web>();
        page = std::make_unique<RecordingPage>(*window);
        // The window's own bridge drives the real engine; this one drives the script and
        // talks to the same page and tray.
        bridge = new Corvel(window.get(), 1400, engine);
    }
    void TearDown() override {
        engine.holdStart = false;
        engine.holdStop = false;
        engine.holdPing = false;
        delete bridge;
        page.reset();
        window.reset();
    }

    QString trayTip() const { return window->findChild<QSystemTrayIcon*>()->toolTip(); }
    bool looksConnected() const { return trayTip().contains(QStringLiteral("已连接")); }

    void connectOk() {
        bridge->conn(text(service()));
        ASSERT_TRUE(page->waitForCall("onConnected()"));
    }

    int monitors() const {
        return bridge->findChildren<StatusMonitoringThread*>().size() * 10 +
               bridge->findChildren<PacketLossMonitoringThread*>().size();
    }

    ScriptedEngine engine;
    std::unique_ptr<Corvel_Web> window;
    std::unique_ptr<RecordingPage> page;
    Corvel* bridge = nullptr;
};

TEST_F(ConnectionControl, ConnectHandsTheEngineItsArgumentsAndDisconnectStopsIt) {
    EXPECT_FALSE(looksConnected());
    connectOk();
    ASSERT_EQ(engine.starts().size(), 1u);
    const start_record a = engine.starts()[0];
    EXPECT_EQ(a.os_type, "LINUX");
    EXPECT_EQ(a.client_version, versionHead(appFileVersion()).toLatin1().toStdString());
    EXPECT_EQ(a.token, "good-token");
    EXPECT_EQ(a.uuid, hostMachineGuid().toLatin1().toStdString());
    EXPECT_EQ(a.server_pk, "00ff");
    EXPECT_EQ(a.static_ip, "");
    EXPECT_EQ(a.server_ip, "172.30.0.1");
    EXPECT_EQ(a.server_port, 70000 & 0xFFFF);
    ASSERT_EQ(a.local_routes.size(), 1u);
    EXPECT_STREQ(a.local_routes[0].ip, "192.168.1.0");
    ASSERT_EQ(a.remote_routes.size(), 2u);
    EXPECT_EQ(a.remote_routes[1].bitlen, 16);
    EXPECT_TRUE(a.proxy_routes.empty());
    EXPECT_EQ(a.mtu, 1400);
    EXPECT_EQ(a.upload_limit, 3000);
    EXPECT_EQ(a.download_limit, 4000);
    EXPECT_EQ(a.proxy_mode, 1);
    EXPECT_EQ(a.dns, "10.8.0.1");
    EXPECT_EQ(a.backup_dns, "10.8.0.254");
    EXPECT_TRUE(looksConnected());
    EXPECT_EQ(monitors(), 11);

    // Connected: a second connect leaves the tunnel alone.
    bridge->conn(text(service()));
    EXPECT_TRUE(page->waitForCall("toast(请先断开连接！)"));
    EXPECT_EQ(page->calls(),
              (QStringList{"onConnected()", "onConnectFailed()", "toast(请先断开连接！)"}));
    EXPECT_EQ(engine.starts().size(), 1u);

    bridge->disconn();
    ASSERT_TRUE(page->waitForCall("onDisconnected()"));
    EXPECT_EQ(engine.stops(), std::vector<int>{1});
    EXPECT_FALSE(looksConnected());
    EXPECT_EQ(monitors(), 0);
    bridge->disconn();
    EXPECT_TRUE(page->waitForCall("toast(还未连接！)"));
    EXPECT_EQ(engine.stops(), std::vector<int>{1});
}

TEST_F(ConnectionControl, StartFailuresNameTheCallerAndTheReason) {
    engine.startResult = -41;
    bridge->conn(text(service()));
    ASSERT_TRUE(page->waitForCall("toast(身份认证失败，请稍后重试...)"));
    engine.startResult = -4;
    bridge->conn(text(service()));
    ASSERT_TRUE(page->waitForCall("toast(启动VPN服务失败，返回的错误码为：-4)"));
    EXPECT_EQ(page->calls(),
              (QStringList{"onConnectFailed()", "toast(身份认证失败，请稍后重试...)",
                           "onConnectFailed()", "toast(启动VPN服务失败，返回的错误码为：-4)"}));
    EXPECT_FALSE(looksConnected());
    EXPECT_EQ(monitors(), 0);
    bridge->disconn();
    EXPECT_TRUE(page->waitForCall("toast(还未连接！)"));
    EXPECT_TRUE(engine.stops().empty());
}

TEST_F(ConnectionControl, RejectedParametersNeverReachTheEngine) {
    bridge->conn(QStringLiteral("not json"));
    QJsonObject longRoute = service();
    longRoute.insert("localRoutes", QJsonArray{"100.100.100.1000/8"});
    bridge->conn(text(longRoute));
    ASSERT_TRUE(page->waitForCall("toast(解析本地路由组失败！)"));
    EXPECT_EQ(page->calls(), (QStringList{"toast(连接参数信息有误！)", "onConnectFailed()",
                                          "toast(解析本地路由组失败！)", "onConnectFailed()"}));
    EXPECT_TRUE(engine.starts().empty());
}

TEST_F(ConnectionControl, ASecondConnectOrReconnectWhileAStartIsInFlightIsRefused) {
    engine.holdStart = true;
    bridge->conn(text(service()));
    ASSERT_TRUE(waitFor([&] { return engine.starts().size() == 1; }));
    bridge->conn(text(service()));
    bridge->reconn(text(service()));
    ASSERT_TRUE(page->waitForCall("toast(正在连接，请稍候...)", 2));
    engine.holdStart = false;
    ASSERT_TRUE(page->waitForCall("onConnected()"));
    // The start in flight will still report: a refused reconnect does not claim a failure.
    EXPECT_EQ(page->calls(), (QStringList{"onConnectFailed()", "toast(正在连接，请稍候...)",
                                          "toast(正在连接，请稍候...)", "onConnected()"}));
    EXPECT_EQ(engine.starts().size(), 1u);

    // A reconnect in flight, past its stop of the old tunnel: no second one, and a
    // disconnect finds nothing to stop.
    engine.holdStart = true;
    bridge->reconn(text(service()));
    ASSERT_TRUE(waitFor([&] { return engine.starts().size() == 2; }));
    bridge->reconn(text(service()));
    bridge->disconn();
    ASSERT_TRUE(page->waitForCall("toast(还未连接！)"));
    EXPECT_EQ(page->calls().count("toast(正在连接，请稍候...)"), 3);
    engine.holdStart = false;
    ASSERT_TRUE(page->waitForCall("onReconnected()"));
    EXPECT_EQ(engine.starts().size(), 2u);
    EXPECT_EQ(engine.stops(), std::vector<int>{1});
    EXPECT_EQ(monitors(), 11);
}

TEST_F(ConnectionControl, FailedReconnectLeavesTheDisconnectedLook) {
    connectOk();
    engine.startResult = -20;
    QJsonObject other = service();
    other.insert("vpnServerIp", "172.30.0.9");
    bridge->reconn(text(other));
    ASSERT_TRUE(page->waitForCall("toast(连接服务器失败。)"));
    EXPECT_EQ(page->calls(),
              (QStringList{"onConnected()", "onReconnectFailed()", "toast(连接服务器失败。)"}));
    ASSERT_EQ(engine.starts().size(), 2u);
    EXPECT_EQ(engine.starts()[1].server_ip, "172.30.0.9");
    EXPECT_EQ(engine.stops(), std::vector<int>{1});
    EXPECT_FALSE(looksConnected());
    EXPECT_EQ(monitors(), 0);
    bridge->disconn();
    EXPECT_TRUE(page->waitForCall("toast(还未连接！)"));
}

TEST_F(ConnectionControl, ReconnectWithBadParametersTearsTheTunnelDown) {
    connectOk();
    QJsonObject noToken = service();
    noToken.remove("token");
    engine.holdStop = true;
    bridge->reconn(text(noToken));
    ASSERT_TRUE(waitFor([&] { return engine.stops().size() == 1; }));
    // That stop ends the tunnel: a disconnect meanwhile starts no second one.
    bridge->disconn();
    engine.holdStop = false;
    ASSERT_TRUE(page->waitForCall("onReconnectFailed()"));
    waitFor([] { return false; }, 300ms);
    EXPECT_EQ(page->calls(),
              (QStringList{"onConnected()", "toast(token字段为空！)", "onReconnectFailed()"}));
    EXPECT_EQ(engine.stops(), std::vector<int>{1});
    EXPECT_EQ(engine.starts().size(), 1u);
    EXPECT_FALSE(looksConnected());
    EXPECT_EQ(monitors(), 0);
}

TEST_F(ConnectionControl, TokenAndLimitsReachTheEngineOnlyWhileConnected) {
    bridge->updateToken("idle-token");
    bridge->updateLimitRate(1, 2);
    connectOk();
    bridge->updateToken("new-token");
    bridge->updateLimitRate(5000, 6000);
    ASSERT_TRUE(waitFor([&] { return !engine.limits().empty() && !engine.tokens().empty(); }));
    EXPECT_EQ(engine.tokens(), std::vector<std::string>{"new-token"});
    EXPECT_EQ(engine.limits(), (std::vector<std::pair<int, int>>{{5000, 6000}}));
}

TEST_F(ConnectionControl, MonitorFailureReachesThePageAndAFreshConnectWorks) {
    connectOk();
    engine.status = -72;
    ASSERT_TRUE(page->waitForCall("toast(服务器未响应，连接已断开。)"));
    EXPECT_EQ(page->calls(), (QStringList{"onConnected()", "onNetworkFailed()",
                                          "toast(服务器未响应，连接已断开。)"}));
    // The server is not answering: no disconnect message.
    EXPECT_EQ(engine.stops(), std::vector<int>{0});
    EXPECT_FALSE(looksConnected());
    bridge->disconn();
    ASSERT_TRUE(page->waitForCall("toast(还未连接！)"));
    EXPECT_EQ(engine.stops(), std::vector<int>{0});

    engine.status = 0;
    bridge->conn(text(service()));
    ASSERT_TRUE(page->waitForCall("onConnected()", 2));
    EXPECT_EQ(monitors(), 11);
    page->clear();
    engine.status = -70;
    ASSERT_TRUE(page->waitForCall("toast(连接已断开，返回的错误码为：-70)"));
    EXPECT_EQ(engine.stops(), (std::vector<int>{0, 1}));
}

// The monitor sees the failure exactly while the user-interface thread waits for it to stop.
TEST_F(ConnectionControl, StoppingTheMonitorWhileItReportsAFailureDoesNotDeadlock) {
    for (const bool viaReconnect : {false, true}) {
        SCOPED_TRACE(viaReconnect ? "reconn" : "disconn");
        connectOk();
        page->clear();
        const size_t stopsBefore = engine.stops().size();
        engine.statusBlocked = false;
        engine.failWhileMonitorStops = true;
        ASSERT_TRUE(waitFor([&] { return engine.statusBlocked.load(); }));
        {
            Watchdog watchdog(viaReconnect ? "reconn" : "disconn");
            if (viaReconnect) {
                bridge->reconn(text(service()));
            } else {
                bridge->disconn();
            }
        }
        // The monitor stopped the engine without the disconnect message and reported.
        ASSERT_GE(engine.stops().size(), stopsBefore + 1);
        EXPECT_EQ(engine.stops()[stopsBefore], 0);
        const QString outcome = viaReconnect ? "onReconnected()" : "onDisconnected()";
        ASSERT_TRUE(page->waitForCall(outcome));
        EXPECT_EQ(page->calls(),
                  (QStringList{"onNetworkFailed()", "toast(服务器未响应，连接已断开。)", outcome}));
        if (viaReconnect) {
            EXPECT_TRUE(looksConnected());
            bridge->disconn();
            ASSERT_TRUE(page->waitForCall("onDisconnected()"));
        }
    }
}

TEST_F(ConnectionControl, PacketLossMonitorProbesTheServerOnceASecondWhileConnected) {
    connectOk();
    QThread::msleep(100);
    const size_t before = engine.pings().size();
    waitFor([] { return false; }, 4s);
    const size_t during = engine.pings().size() - before;
    EXPECT_GE(during, 3u);
    EXPECT_LE(during, 5u);
    EXPECT_EQ(engine.pings().back(), (std::pair<std::string, int>{"172.30.0.1", 70000}));
    bridge->disconn();
    ASSERT_TRUE(page->waitForCall("onDisconnected()"));
    const size_t after = engine.pings().size();
    waitFor([] { return false; }, 2s);
    EXPECT_EQ(engine.pings().size(), after);
}

// Silent servers hold their pings for seconds: they must neither pile up nor hold back the
// engine's start and stop.
TEST_F(ConnectionControl, PingsRunOnABoundedPoolOfTheirOwn) {
    engine.holdPing = true;
    for (int callId = 1; callId <= 9; ++callId) {
        bridge->ping(QStringLiteral("192.0.2.1"), 5000, callId);
    }
    ASSERT_TRUE(page->waitForCall("onPing(9 -1)"));
    EXPECT_TRUE(waitFor([&] { return engine.pings().size() == 8; }));
    engine.startResult = -41;
    bridge->conn(text(service()));
    EXPECT_TRUE(page->waitForCall("onConnectFailed()", 1, 2s)) << "the start waited for the pings";
    engine.holdPing = false;
    for (int callId = 1; callId <= 8; ++callId) {
        EXPECT_TRUE(page->waitForCall(QStringLiteral("onPing(%1 -1)").arg(callId)));
    }
    EXPECT_EQ(engine.pings().size(), 8u);
}

// The session manager's commit request may be a checkpoint of a session that goes on.
TEST_F(ConnectionControl, SessionManagerCheckpointNeitherStopsTheTunnelNorQuits) {
    installSessionEndHandling(*window);
    auto* manager = qApp->findChild<QSessionManager*>();
    ASSERT_NE(manager, nullptr);
    QTimer::singleShot(0, [manager] { emit qApp->commitDataRequest(*manager); });
    QTimer::singleShot(1000, [] { QCoreApplication::exit(1); });
    EXPECT_EQ(QApplication::exec(), 1) << "the program quit at a checkpoint";
}

TEST_F(ConnectionControl, TheEndOfTheSessionWaitsForAStartInFlightAndStopsIt) {
    engine.holdStart = true;
    bridge->conn(text(service()));
    ASSERT_TRUE(waitFor([&] { return engine.starts().size() == 1; }));
    std::thread release([&] {
        QThread::msleep(300);
        engine.holdStart = false;
    });
    bridge->stopForSessionEnd();
    release.join();
    EXPECT_EQ(engine.stops(), std::vector<int>{1});
    EXPECT_EQ(monitors(), 0);
}

TEST_F(ConnectionControl, DestroyingTheBridgeWhileConnectedStopsTheEngine) {
    connectOk();
    delete bridge;
    bridge = nullptr;
    EXPECT_EQ(engine.stops(), std::vector<int>{1});
}

namespace {
QStringList g_logged;
std::mutex g_loggedLock;
}  // namespace

// Without root the bridge reaches the engine through the service: when nothing serves its socket
// the start fails at once with its own message, and the log says why.
TEST_F(ConnectionControl, UnreachableServiceIsToldOnThePageAndItsReasonLogged) {
    ServiceEngine missing("/nonexistent/quarnel/engine.sock", logEngineFault);
    Corvel* viaService = new Corvel(window.get(), 1400, missing);
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
            std::lock_guard<std::mutex> lock(g_loggedLock);
            g_logged << text;
        });
    viaService->conn(text(service()));
    const QString toast = QStringLiteral("toast(无法连接到系统服务，请确认 quarneld 已启动。)");
    EXPECT_TRUE(page->waitForCall(toast));
    qInstallMessageHandler(previous);
    EXPECT_EQ(page->calls(), (QStringList{"onConnectFailed()", toast}));
    std::lock_guard<std::mutex> lock(g_loggedLock);
    EXPECT_TRUE(g_logged.contains(QStringLiteral(
        "quarneld at /nonexistent/quarnel/engine.sock, start: cannot connect: No such file or "
        "directory")))
        << g_logged.join('\n').toStdString();
    EXPECT_FALSE(looksConnected());
    delete viaService;
}

}  // namespace
