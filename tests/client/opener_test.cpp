// Links and payment pages leave the program only as http(s) addresses or the generated page,
// opened by the desktop user's opener as that user; secrets the page hands over stay out of
// the log.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QSystemTrayIcon>
#include <QTest>
#include <QWebEngineView>

#include "Corvel.h"
#include "Corvel_Web.h"
#include "scripted_engine.h"
#include "security_test_util.h"
#include "window_test_util.h"

using client_test::ScriptedEngine;
using client_test::waitFor;
using namespace security_test;
using namespace window_test;

namespace {

struct Owner {
    unsigned uid;
    unsigned mode;
};

Owner ownerOf(const QString& path) {
    struct stat st {};
    stat(QFile::encodeName(path).constData(), &st);
    return {st.st_uid, st.st_mode & 07777};
}

class OpenerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        writeProgramPage(realPage());
        m_window = std::make_unique<Corvel_Web>(nullptr);
        m_window->show();
        ASSERT_TRUE(waitForBridge(view()));
        m_bridge = new Corvel(m_window.get(), 1417, m_engine);
    }
    QWebEngineView* view() const { return m_window->findChild<QWebEngineView*>(); }
    QString toastText() const {
        return pageEval(view()->page(),
                        QStringLiteral("document.getElementById('toast').textContent"))
            .toString();
    }

    QTemporaryDir m_temp;
    ScopedEnv m_tmpdir{"TMPDIR", m_temp.path().toLocal8Bit()};
    ScopedEnv m_sudoUid{"SUDO_UID", QByteArray::number(kDesktopUid)};
    ScriptedEngine m_engine;
    std::unique_ptr<Corvel_Web> m_window;
    Corvel* m_bridge = nullptr;
};

}  // namespace

TEST_F(OpenerTest, OnlyWebAddressesAndThePaymentPageAreOpenedAndOnlyAsTheDesktopUser) {
    OpenerRecord opened;
    LogCapture log;
    const QString desktopUser = QStringLiteral("%1 /nonexistent ").arg(kDesktopUid);
    for (const char* refused :
         {"file:///etc/shadow", "javascript:alert(1)", "ftp://host/x", "https:///no-host", ""}) {
        m_bridge->redirectTo(QString::fromLatin1(refused));
    }
    EXPECT_EQ(log.all().count(QStringLiteral("openLivePageUrl failed!")), 5);
    m_bridge->redirectTo(QStringLiteral("https://live.example/room?id=7&x=1"));
    m_bridge->redirectTo(QStringLiteral("http://live.example/a b"));
    ASSERT_TRUE(waitFor([&] { return opened.lines().size() == 2; }));
    EXPECT_EQ(opened.lines(),
              (QStringList{desktopUser + QStringLiteral("https://live.example/room?id=7&x=1"),
                           desktopUser + QStringLiteral("http://live.example/a%20b")}));

    // The payment page: the template with the form, in a fresh directory of the desktop user.
    const QString form = QStringLiteral(
        "<form action=\"https://pay.example/gateway\" method=\"POST\">"
        "<input name=\"sign\" value=\"SECRET-ORDER-SIGNATURE\"></form>");
    m_bridge->aliPayForm(form);
    m_bridge->aliPayForm(form);
    ASSERT_TRUE(waitFor([&] { return opened.lines().size() == 4; }));
    const QString first = opened.lines().at(2).section(' ', 2);
    const QString second = opened.lines().at(3).section(' ', 2);
    EXPECT_TRUE(opened.lines().at(2).startsWith(desktopUser));
    EXPECT_NE(first, second) << "two payments share a file";
    const QString page = QUrl(first).toLocalFile();
    EXPECT_TRUE(page.startsWith(m_temp.path() + QStringLiteral("/lumar-pay-")))
        << page.toStdString();
    QFile file(page);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString html = QString::fromUtf8(file.readAll());
    EXPECT_TRUE(html.contains(QStringLiteral("<body>") + form)) << html.toStdString();
    EXPECT_EQ(ownerOf(page).uid, kDesktopUid);
    EXPECT_EQ(ownerOf(page).mode, 0600u);
    EXPECT_EQ(ownerOf(QFileInfo(page).path()).uid, kDesktopUid);
    EXPECT_EQ(ownerOf(QFileInfo(page).path()).mode, 0700u);
    EXPECT_FALSE(log.all().join('\n').contains(QStringLiteral("SECRET-ORDER-SIGNATURE")));

    // Root with nobody to open things for: nothing is opened, the page is told.
    {
        ScopedEnv noSudo("SUDO_UID", QByteArray());
        ScopedEnv noPkexec("PKEXEC_UID", QByteArray());
        m_bridge->redirectTo(QStringLiteral("https://live.example/"));
        m_bridge->aliPayForm(form);
    }
    EXPECT_TRUE(
        waitFor([&] { return toastText() == QStringLiteral("无法打开浏览器：找不到桌面用户。"); }));
    EXPECT_TRUE(log.contains(QStringLiteral(
        "Not opening https://live.example/: the program runs as root and neither SUDO_UID nor "
        "PKEXEC_UID names a desktop user to open it for.")));
    QTest::qWait(300);
    EXPECT_EQ(opened.lines().size(), 4);
    EXPECT_EQ(QDir(m_temp.path()).entryList({QStringLiteral("lumar-pay-*")}, QDir::Dirs).size(), 2);
}

TEST_F(OpenerTest, TokensAreLoggedOnlyByTheirFirstCharactersAndLength) {
    LogCapture log;
    m_bridge->conn(QStringLiteral(
        R"({"vpnServerIp":"172.30.0.1","vpnServerPort":51820,"vpnServerPk":"00ff",)"
        R"("dns":"10.8.0.1","backupDns":"10.8.0.1","localRoutes":[],"remoteRoutes":[],)"
        R"("token":"tok-SECRET-12345"})"));
    ASSERT_TRUE(waitFor([&] { return !m_engine.starts().empty(); }))
        << log.all().join(QLatin1Char('\n')).toStdString();
    ASSERT_TRUE(waitFor([&] {
        return m_window->findChild<QSystemTrayIcon*>()->toolTip().contains(
            QStringLiteral("已连接"));
    }));
    m_bridge->updateToken(QStringLiteral("new-SECRET-abcdefgh"));
    ASSERT_TRUE(waitFor([&] { return !m_engine.tokens().empty(); }));
    // The engine gets them whole; the log never does, at any level.
    EXPECT_EQ(m_engine.starts().front().token, "tok-SECRET-12345");
    EXPECT_EQ(m_engine.tokens().front(), "new-SECRET-abcdefgh");
    const QString all = log.all().join('\n');
    EXPECT_FALSE(all.contains(QStringLiteral("SECRET"))) << all.toStdString();
    EXPECT_TRUE(all.contains(QStringLiteral("\"token\":\"tok-... (16 characters)\"")))
        << all.toStdString();
    EXPECT_TRUE(all.contains(QStringLiteral("token: new-... (19 characters)")));
    m_bridge->disconn();
    ASSERT_TRUE(waitFor([&] { return !m_engine.stops().empty(); }));
}
