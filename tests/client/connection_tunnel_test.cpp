// The program's connection control end to end: the real window and page over the real web
// channel, the real engine, and the reference server in network namespaces.
#include <gtest/gtest.h>
#include <signal.h>

#include <QCoreApplication>
#include <QJsonObject>
#include <QProcess>
#include <QSystemTrayIcon>
#include <QThread>
#include <QThreadPool>
#include <QUrl>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>

#include "Corvel.h"
#include "Corvel_Web.h"
#include "PacketLossMonitoringThread.h"
#include "StatusMonitoringThread.h"
#include "client_test_support.h"
#include "netns.h"
#include "page_script.h"
#include "recording_page.h"
#include "ref_server.h"
#include "session_end.h"
#include "tcp_stream.h"
#include "topology_service.h"
#include "tun_data_path.h"
#include "tunnel_topology.h"

using client_test::RecordingPage;
using client_test::waitFor;
using namespace netns_test;
using namespace std::chrono_literals;

namespace {

constexpr const char* TOKEN = "good-token";
constexpr const char* RENEWED_TOKEN = "renewed-token";

// The server's TUN data path, remembering which session last sent a packet, so that the
// test can look at that session's token and limits.
class session_watching_path : public tun_data_path {
  public:
    void from_client(const session& from, const uint8_t* packet, int len,
                     tunnel_sender& out) override {
        last_sid = from.sid;
        tun_data_path::from_client(from, packet, len, out);
    }
    std::atomic<uint32_t> last_sid{0};
};

class TunnelThroughThePage : public ::testing::Test {
  protected:
    void SetUp() override {
        start_server({});
        // Threads the window starts from here on (the pool's, the monitors') work in the
        // client's namespace.
        client_ = std::make_unique<netns_scope>(net_.cli);
        before_ = dump_state(net_.cli);
        window_ = std::make_unique<Corvel_Web>();
        page_ = std::make_unique<RecordingPage>(*window_, true);
    }

    void TearDown() override {
        page_.reset();
        window_.reset();
        // Pool threads belong to this test's namespace; the next test gets fresh ones.
        QThreadPool::globalInstance()->waitForDone();
        client_.reset();
        server_.reset();
    }

    void start_server(const fault_switches& faults) {
        server_.reset();
        server_options options;
        options.tokens = {TOKEN, RENEWED_TOKEN};
        options.faults = faults;
        auto data = std::make_unique<session_watching_path>();
        data_ = data.get();
        std::string error;
        ASSERT_TRUE(start_tunnel_server(net_.srv, options, std::move(data), &server_, &error))
            << error;
    }

    QJsonObject service() const { return topologyService(*server_, TOKEN); }

    // Calls the bridge the way the page does, over the web channel.
    void page_calls(const QString& call) { page_->evaluate(call + QStringLiteral("; ''")); }
    void conn(const QJsonObject& json) {
        page_calls("corvel.conn(" + jsStringLiteral(serviceText(json)) + ")");
    }
    void reconn(const QJsonObject& json) {
        page_calls("corvel.reconn(" + jsStringLiteral(serviceText(json)) + ")");
    }
    void connect_ok() {
        conn(service());
        ASSERT_TRUE(page_->waitForCall("onConnected()", 1, 30s))
            << page_->calls().join(", ").toStdString();
    }

    bool looks_connected() const {
        return window_->findChild<QSystemTrayIcon*>()->toolTip().contains(QStringLiteral("已连接"));
    }
    uint64_t received(msg_type type) const { return server_->stats().received[type].load(); }
    bool ping_lan_host(int count = 2) {
        return net_.cli
                   .exec({"ping", "-c", std::to_string(count), "-i", "0.2", "-W", "2", "-n",
                          TUNNEL_LAN_HOST})
                   .status == 0;
    }
    // The server's record of the session that sent the last packet through the tunnel.
    std::optional<session> current_session() {
        if (!ping_lan_host(1)) {
            return std::nullopt;
        }
        return server_->find_session(data_->last_sid.load());
    }
    size_t monitors_of_each_kind() const {
        Corvel* bridge = window_->findChild<Corvel*>();
        const int status = bridge->findChildren<StatusMonitoringThread*>().size();
        const int loss = bridge->findChildren<PacketLossMonitoringThread*>().size();
        return status == loss ? static_cast<size_t>(status) : 99;
    }

    tunnel_topology net_;
    std::unique_ptr<ref_server> server_;
    session_watching_path* data_ = nullptr;
    std::unique_ptr<netns_scope> client_;
    net_state before_;
    std::unique_ptr<Corvel_Web> window_;
    std::unique_ptr<RecordingPage> page_;
};

TEST_F(TunnelThroughThePage, ConnectCarriesTrafficAndDisconnectLeavesNothingBehind) {
    EXPECT_FALSE(looks_connected());
    connect_ok();
    EXPECT_TRUE(looks_connected());
    EXPECT_FALSE(dump_state(net_.cli) == before_);
    EXPECT_TRUE(ping_lan_host());
    EXPECT_EQ(monitors_of_each_kind(), 1u);

    // The packet-loss monitor pings the server about once a second.
    const uint64_t pings_before = received(MSG_PING);
    waitFor([] { return false; }, 5s);
    const uint64_t pings = received(MSG_PING) - pings_before;
    EXPECT_GE(pings, 4u);
    EXPECT_LE(pings, 6u);

    page_calls(QStringLiteral("corvel.disconn()"));
    ASSERT_TRUE(page_->waitForCall("onDisconnected()", 1, 20s));
    EXPECT_EQ(received(MSG_DISCONN), 1u);
    EXPECT_EQ(dump_state(net_.cli), before_);
    EXPECT_FALSE(looks_connected());
    EXPECT_EQ(monitors_of_each_kind(), 0u);
    const uint64_t pings_after = received(MSG_PING);
    waitFor([] { return false; }, 3s);
    EXPECT_EQ(received(MSG_PING), pings_after);
    EXPECT_EQ(page_->calls(), (QStringList{"onConnected()", "onDisconnected()"}));
}

TEST_F(TunnelThroughThePage, ReconnectWithNewParametersAndWithoutAToken) {
    connect_ok();
    QJsonObject fixed_address = service();
    fixed_address.insert("staticIp", "10.8.0.77");
    reconn(fixed_address);
    ASSERT_TRUE(page_->waitForCall("onReconnected()", 1, 30s))
        << page_->calls().join(", ").toStdString();
    EXPECT_EQ(received(MSG_DISCONN), 1u);
    EXPECT_EQ(server_->session_count(), 1u);
    EXPECT_NE(net_.cli.ip("-4 addr show dev tun0").find("10.8.0.77/"), std::string::npos);
    EXPECT_TRUE(ping_lan_host());
    EXPECT_TRUE(looks_connected());

    QJsonObject no_token = service();
    no_token.remove("token");
    reconn(no_token);
    ASSERT_TRUE(page_->waitForCall("onReconnectFailed()", 1, 20s));
    EXPECT_EQ(page_->calls(), (QStringList{"onConnected()", "onReconnected()",
                                           "toast(token字段为空！)", "onReconnectFailed()"}));
    EXPECT_EQ(received(MSG_DISCONN), 2u);
    EXPECT_EQ(dump_state(net_.cli), before_);
    EXPECT_FALSE(looks_connected());
}

TEST_F(TunnelThroughThePage, RefusedTokenAndSilentServerAreReported) {
    QJsonObject stranger = service();
    stranger.insert("token", "not-a-customer");
    conn(stranger);
    ASSERT_TRUE(page_->waitForCall("toast(身份认证失败，请稍后重试...)", 1, 30s));
    EXPECT_EQ(page_->calls(),
              (QStringList{"onConnectFailed()", "toast(身份认证失败，请稍后重试...)"}));
    EXPECT_EQ(dump_state(net_.cli), before_);

    fault_switches silent;
    silent.drop_s1 = true;
    start_server(silent);
    page_->clear();
    conn(service());
    ASSERT_TRUE(page_->waitForCall("toast(连接服务器失败。)", 1, 60s));
    EXPECT_EQ(page_->calls(), (QStringList{"onConnectFailed()", "toast(连接服务器失败。)"}));
    EXPECT_EQ(received(MSG_AUTH_KX), 3u);
    EXPECT_EQ(dump_state(net_.cli), before_);
    EXPECT_FALSE(looks_connected());
}

TEST_F(TunnelThroughThePage, TokenAndLimitUpdatesTakeEffectOnlyWhileConnected) {
    // Idle: nothing to change, and nothing kept for the next connect.
    page_calls(QStringLiteral("corvel.updateToken('renewed-token')"));
    page_calls(QStringLiteral("corvel.updateLimitRate(1000, 1000)"));
    connect_ok();
    std::optional<session> s = current_session();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->token, TOKEN);
    EXPECT_EQ(s->upload_limit, 0u);

    conn(service());
    ASSERT_TRUE(page_->waitForCall("toast(请先断开连接！)"));
    EXPECT_EQ(page_->calls(),
              (QStringList{"onConnected()", "onConnectFailed()", "toast(请先断开连接！)"}));
    EXPECT_TRUE(ping_lan_host());

    page_calls(QStringLiteral("corvel.updateToken('renewed-token')"));
    page_calls(QStringLiteral("corvel.updateLimitRate(100000, 100000)"));
    // The next keepalive carries both.
    ASSERT_TRUE(waitFor(
        [&] {
            s = server_->find_session(data_->last_sid.load());
            return s && s->token == RENEWED_TOKEN;
        },
        40s));
    EXPECT_EQ(s->upload_limit, 100000u);
    EXPECT_EQ(s->download_limit, 100000u);

    // 1 MB upwards at 100 kB/s.
    std::string error;
    int listener = -1;
    {
        netns_scope in_lan(net_.lan);
        listener = tcp_stream::listen_on(5001, &error);
    }
    ASSERT_GE(listener, 0) << error;
    auto receiver = std::async(std::launch::async,
                               [listener] { return tcp_stream::receive_verified(listener, 40s); });
    auto sender = std::async(std::launch::async, [&] {
        netns_scope in_client(net_.cli);
        std::string send_error;
        return tcp_stream::send_stream(TUNNEL_LAN_HOST, 5001, 1'000'000, &send_error);
    });
    while (receiver.wait_for(50ms) != std::future_status::ready) {
        QCoreApplication::processEvents();
    }
    const tcp_stream::receive_result result = receiver.get();
    EXPECT_TRUE(sender.get());
    EXPECT_TRUE(result.verified) << result.error;
    EXPECT_GT(result.seconds, 4.0);
}

// About 100 s: the server must stay silent for six keepalive periods.
TEST_F(TunnelThroughThePage, SlowServerGoingSilentEndsInNetworkFailureAndAFreshConnectWorks) {
    fault_switches silent_after_handshake;
    silent_after_handshake.silent_after = 2;
    start_server(silent_after_handshake);
    connect_ok();
    const auto connected_at = std::chrono::steady_clock::now();
    ASSERT_TRUE(page_->waitForCall("onNetworkFailed()", 1, 130s));
    const double waited =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - connected_at).count();
    EXPECT_GT(waited, 85);
    EXPECT_LT(waited, 115);
    ASSERT_TRUE(page_->waitForCall("toast(服务器未响应，连接已断开。)"));
    EXPECT_FALSE(looks_connected());
    // The monitor stopped the engine: the namespace is as it was.
    EXPECT_EQ(dump_state(net_.cli), before_);

    page_calls(QStringLiteral("corvel.disconn()"));
    ASSERT_TRUE(page_->waitForCall("toast(还未连接！)"));

    start_server({});
    page_->clear();
    connect_ok();
    EXPECT_EQ(monitors_of_each_kind(), 1u);
    EXPECT_TRUE(ping_lan_host());
    page_calls(QStringLiteral("corvel.disconn()"));
    ASSERT_TRUE(page_->waitForCall("onDisconnected()", 1, 20s));
    EXPECT_EQ(dump_state(net_.cli), before_);
}

// Ends the application's event loop: run on its own.
TEST_F(TunnelThroughThePage, QuitTerminationSignalStopsTheTunnelBeforeLettingGo) {
    installSessionEndHandling(*window_);
    connect_ok();
    ASSERT_TRUE(ping_lan_host(1));
    raise(SIGTERM);
    ASSERT_TRUE(waitFor([&] { return received(MSG_DISCONN) == 1; }));
    // The handler returned only after the engine's stop: nothing is left behind already.
    EXPECT_EQ(dump_state(net_.cli), before_);
    EXPECT_EQ(monitors_of_each_kind(), 0u);
}

// The real program, told by SIGTERM to go while connected.
TEST_F(TunnelThroughThePage, ProgramStopsTheTunnelOnSigtermBeforeItExits) {
    client_test::ProgramCopy program;
    // The page takes its connection and the connect press from its options file.
    ASSERT_TRUE(writeAutoconnectOptions(program.file("page_options.json"), service()));

    QProcess lumar;
    program.start(lumar);
    ASSERT_TRUE(lumar.waitForStarted());
    const bool connected = waitFor(
        [&] {
            QThread::msleep(200);
            return server_->session_count() == 1 && ping_lan_host(1);
        },
        60s);
    if (!connected) {
        lumar.kill();
        lumar.waitForFinished();
        FAIL() << lumar.readAllStandardError().toStdString();
    }
    kill(static_cast<pid_t>(lumar.processId()), SIGTERM);
    ASSERT_TRUE(lumar.waitForFinished(30000));
    EXPECT_EQ(lumar.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(received(MSG_DISCONN), 1u);
    EXPECT_EQ(dump_state(net_.cli), before_);
}

}  // namespace
