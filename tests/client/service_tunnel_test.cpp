// The program as the person at the desktop runs it: as nobody, with the web view's sandbox,
// reaching the engine through the service quarneld (root) in the client namespace. Its page
// connects by itself; a click disconnects; a kill leaves the service to put the host back.
#include <gtest/gtest.h>
#include <signal.h>

#include <QJsonObject>
#include <QProcess>
#include <QThread>
#include <chrono>
#include <memory>

#include "client_test_support.h"
#include "netns.h"
#include "ref_server.h"
#include "single_instance_x11.h"
#include "topology_service.h"
#include "tunnel_topology.h"

using client_test::waitFor;
using namespace netns_test;
using namespace std::chrono_literals;

namespace {

constexpr const char* TOKEN = "good-token";

class ThroughTheService : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(start_tunnel_server(net_.srv, TOKEN, &server_, &error)) << error;
        // The service, and with it the engine, works in the client's namespace.
        client_ = std::make_unique<netns_scope>(net_.cli);
        before_ = dump_state(net_.cli);
        ASSERT_TRUE(service_.start()) << service_.log().toStdString();
    }

    void TearDown() override {
        if (lumar_.state() != QProcess::NotRunning) {
            lumar_.kill();
            lumar_.waitForFinished();
        }
        client_.reset();
        server_.reset();
    }

    // The program as nobody, its page told to connect with these parameters at once.
    void startProgram(bool proxyMode) {
        QJsonObject json = topologyService(*server_, TOKEN);
        if (proxyMode) {
            json.insert("workMode", "proxy_cn");
        }
        ASSERT_TRUE(
            writeAutoconnectOptions(program_.file(QStringLiteral("page_options.json")), json));
        program_.startAsNobody(lumar_, service_.socketPath());
        ASSERT_TRUE(lumar_.waitForStarted());
    }

    bool pingLanHost() {
        return net_.cli.exec({"ping", "-c", "1", "-W", "2", "-n", TUNNEL_LAN_HOST}).status == 0;
    }
    uint64_t disconnects() const { return server_->stats().received[MSG_DISCONN].load(); }
    std::string output() {
        return (QString::fromLocal8Bit(lumar_.readAllStandardError()) + service_.log())
            .toStdString();
    }
    void waitUntilConnected() {
        ASSERT_TRUE(waitFor(
            [&] {
                QThread::msleep(200);
                return server_->session_count() == 1 && pingLanHost();
            },
            60s))
            << output();
    }

    tunnel_topology net_;
    std::unique_ptr<ref_server> server_;
    std::unique_ptr<netns_scope> client_;
    net_state before_;
    client_test::EngineService service_;
    client_test::ProgramCopy program_;
    QProcess lumar_;
};

TEST_F(ThroughTheService, UnprivilegedProgramConnectsAndItsDisconnectPutsTheNamespaceBack) {
    startProgram(false);
    waitUntilConnected();
    // The session is the unprivileged program's, made for it by the service.
    EXPECT_TRUE(service_.log().contains(QStringLiteral("(uid 65534,"))) << output();
    EXPECT_TRUE(service_.log().contains(QStringLiteral("session started"))) << output();
    EXPECT_FALSE(dump_state(net_.cli) == before_);
    const unsigned long window = x11_probe::viewableWindowOf(lumar_.processId());
    ASSERT_NE(window, 0u);
    // Time for the page to paint its connected state.
    waitFor([] { return false; }, 2s);
    client_test::saveScreenScreenshot(QStringLiteral("lumar_unprivileged_connected"));

    // A click on the page's "断开" button, laid out at (180, 465) of the 360 x 728 window.
    QProcess::execute(QStringLiteral("/usr/bin/xdotool"),
                      {QStringLiteral("mousemove"), QStringLiteral("--window"),
                       QString::number(window), QStringLiteral("180"), QStringLiteral("465"),
                       QStringLiteral("click"), QStringLiteral("1")});
    EXPECT_TRUE(waitFor([&] { return disconnects() == 1 && dump_state(net_.cli) == before_; }, 20s))
        << output();
    waitFor([] { return false; }, 1s);
    client_test::saveScreenScreenshot(QStringLiteral("lumar_unprivileged_disconnected"));
    EXPECT_EQ(server_->session_count(), 0u);
    EXPECT_EQ(lumar_.state(), QProcess::Running);
}

// In proxy mode the engine's stop sends the disconnect and tears down at once; in split mode
// it waits 3 s after the disconnect before it does.
TEST_F(ThroughTheService, KilledUnprivilegedProgramHasItsSessionStoppedByTheService) {
    startProgram(true);
    waitUntilConnected();
    EXPECT_FALSE(dump_state(net_.cli) == before_);
    const auto killedAt = std::chrono::steady_clock::now();
    kill(static_cast<pid_t>(lumar_.processId()), SIGKILL);
    ASSERT_TRUE(waitFor([&] { return disconnects() == 1 && dump_state(net_.cli) == before_; }, 10s))
        << output();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - killedAt).count();
    std::printf("killed program's session put back after %.2f s\n", seconds);
    EXPECT_LT(seconds, 2.0);
    EXPECT_TRUE(service_.log().contains(QStringLiteral("owned the session: stopping it")));
}

}  // namespace
