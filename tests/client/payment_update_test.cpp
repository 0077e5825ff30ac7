// The system browser for payment pages and links, and the update download, with the desktop's
// opener replaced by a recorder and a local HTTP server standing in for the update site.
#include <gtest/gtest.h>

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QWebEngineDownloadItem>
#include <QWebEngineProfile>
#include <QWebEngineView>

#include "Corvel.h"
#include "Corvel_Web.h"
#include "installer_launch.h"
#include "window_test_util.h"

using client_test::waitFor;
using namespace window_test;

namespace {

// An "xdg-open" first on PATH that appends its argument to a file. The desktop services
// remember the opener they found first, so it is one for the whole process.
class OpenerRecorder {
  public:
    static OpenerRecorder& instance() {
        static OpenerRecorder recorder;
        return recorder;
    }
    QString script() const { return m_dir.filePath(QStringLiteral("xdg-open")); }
    QString record() const { return m_dir.filePath(QStringLiteral("opened.txt")); }
    QStringList opened() const {
        return client_test::readText(record()).split('\n', Qt::SkipEmptyParts);
    }
    void install() const {
        QFile f(script());
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(
            QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$1\" >> '%1'\n").arg(record()).toUtf8());
        f.close();
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    void remove() const { QFile::remove(script()); }

  private:
    OpenerRecorder() {
        install();
        qputenv("PATH", m_dir.path().toLocal8Bit() + ':' + qgetenv("PATH"));
        qunsetenv("BROWSER");
        qunsetenv("DEFAULT_BROWSER");
    }
    QTemporaryDir m_dir;
};

// A private temporary directory for what the program saves there.
class PrivateTemp {
  public:
    PrivateTemp() : m_saved(qgetenv("TMPDIR")) { qputenv("TMPDIR", m_dir.path().toLocal8Bit()); }
    ~PrivateTemp() { qputenv("TMPDIR", m_saved); }
    QString file(const QString& name) const { return m_dir.filePath(name); }

  private:
    QTemporaryDir m_dir;
    QByteArray m_saved;
};

QByteArray readBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

TEST(Payment, FormPageIsWrittenAndOpenedAndFailuresAreLogged) {
    OpenerRecorder& recorder = OpenerRecorder::instance();
    recorder.install();
    PrivateTemp temp;
    const QString pagePath = temp.file(QStringLiteral("AlipayPage.html"));
    const QByteArray bareTemplate = readBytes(QStringLiteral(":/file/AlipayPageTemplate.html"));
    ASSERT_TRUE(bareTemplate.startsWith("\xEF\xBB\xBF<!DOCTYPE html>"));
    EXPECT_EQ(bareTemplate.count("<body>"), 1);

    Corvel bridge(nullptr, 1417);
    LogCapture log;
    const QString pageUrl = QUrl::fromLocalFile(pagePath).toString();

    // The page is the template's text; the byte-order mark is not written again.
    const QByteArray bareText = bareTemplate.mid(3);
    bridge.aliPayForm(QString());
    EXPECT_EQ(readBytes(pagePath), bareText);
    ASSERT_TRUE(waitFor([&] { return recorder.opened().size() == 1; }));
    EXPECT_EQ(recorder.opened().at(0), pageUrl);

    const QString form = QStringLiteral(
        "<form action=\"https://pay.example/gateway\" method=\"POST\">"
        "<input name=\"subject\" value=\"会员续费\"></form>"
        "<script>document.forms[0].submit();</script>");
    bridge.aliPayForm(form);
    QByteArray expected = bareText;
    expected.insert(expected.indexOf("<body>") + 6, form.toUtf8());
    EXPECT_EQ(readBytes(pagePath), expected);
    ASSERT_TRUE(waitFor([&] { return recorder.opened().size() == 2; }));
    EXPECT_EQ(recorder.opened().at(1), pageUrl);
    const QStringList lines = log.all();
    ASSERT_GE(lines.size(), 3);
    EXPECT_TRUE(lines.contains(QStringLiteral("form:") + form));
    EXPECT_TRUE(lines.contains(QStringLiteral("aliPayForm called!")));
    EXPECT_TRUE(lines.contains(QStringLiteral("content:") + QString::fromUtf8(expected)));
    EXPECT_FALSE(log.contains(QStringLiteral("openUrl failed!")));

    bridge.redirectTo(QStringLiteral("https://live.example/room?id=7&x=1"));
    ASSERT_TRUE(waitFor([&] { return recorder.opened().size() == 3; }));
    EXPECT_EQ(recorder.opened().at(2), QStringLiteral("https://live.example/room?id=7&x=1"));
    EXPECT_TRUE(log.contains(QStringLiteral("https://live.example/room?id=7&x=1")));
    EXPECT_FALSE(log.contains(QStringLiteral("openLivePageUrl failed!")));

    // An opener that cannot run.
    recorder.remove();
    bridge.aliPayForm(QStringLiteral("<p>x</p>"));
    EXPECT_TRUE(log.contains(QStringLiteral("openUrl failed!")));
    bridge.redirectTo(QStringLiteral("https://live.example/"));
    EXPECT_TRUE(log.contains(QStringLiteral("openLivePageUrl failed!")));
    recorder.install();
}

TEST(Update, InstallerIsOpenedDetachedWithTheDesktopOpener) {
    OpenerRecorder& recorder = OpenerRecorder::instance();
    recorder.install();
    const int before = recorder.opened().size();
    openDetached(QStringLiteral("/tmp/some dir/lumar.exe"));
    ASSERT_TRUE(waitFor([&] { return recorder.opened().size() == before + 1; }));
    EXPECT_EQ(recorder.opened().last(), QStringLiteral("/tmp/some dir/lumar.exe"));
}

namespace {

// Serves three files: a whole installer, a PDF, and an installer whose connection breaks off.
class UpdateSite {
  public:
    UpdateSite() {
        for (int i = 0; i < 300000; ++i) {
            m_installer.append(static_cast<char>((i * 7 + i / 251) & 0xff));
        }
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] { accept(); });
        m_server.listen(QHostAddress::LocalHost, 0);
    }
    QString url(const QString& path) const {
        return QStringLiteral("http://127.0.0.1:%1/%2").arg(m_server.serverPort()).arg(path);
    }
    const QByteArray& installer() const { return m_installer; }
    QByteArray nextInstaller() const { return QByteArray(m_installer).replace('\x07', "next"); }

  private:
    void accept() {
        QTcpSocket* socket = m_server.nextPendingConnection();
        auto request = std::make_shared<QByteArray>();
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, request] {
            request->append(socket->readAll());
            if (request->contains("\r\n\r\n")) {
                answer(socket, request->split(' ').value(1));
            }
        });
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
    void answer(QTcpSocket* socket, const QByteArray& path) {
        const auto headers = [](const char* type, const char* name, int length) {
            return QByteArray("HTTP/1.1 200 OK\r\nContent-Type: ") + type +
                   "\r\nContent-Disposition: attachment; filename=\"" + name +
                   "\"\r\nContent-Length: " + QByteArray::number(length) +
                   "\r\nConnection: close\r\n\r\n";
        };
        if (path == "/lumar.bin" || path == "/lumar-next.bin") {
            const QByteArray body = path == "/lumar.bin" ? m_installer : nextInstaller();
            socket->write(headers("application/octet-stream", "lumar.bin", body.size()));
            socket->write(body);
            socket->disconnectFromHost();
        } else if (path == "/guide.pdf") {
            const QByteArray pdf = "%PDF-1.4\n%%EOF\n";
            socket->write(headers("application/pdf", "guide.pdf", pdf.size()));
            socket->write(pdf);
            socket->disconnectFromHost();
        } else if (path == "/broken.bin") {
            socket->write(headers("application/octet-stream", "broken.bin", 1000000));
            socket->write(m_installer.left(20000));
            socket->flush();
            QTimer::singleShot(300, socket, [socket] { socket->abort(); });
        } else {
            socket->write(
                "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            socket->disconnectFromHost();
        }
    }

    QTcpServer m_server;
    QByteArray m_installer;
};

class UpdateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_window = std::make_unique<Corvel_Web>(nullptr);
        m_window->setFixedSize(360, 728);
        m_window->show();
        ASSERT_TRUE(waitForBridge(view()));
        QObject::connect(view()->page()->profile(), &QWebEngineProfile::downloadRequested,
                         m_window.get(), [this](QWebEngineDownloadItem* item) { m_item = item; });
    }
    QWebEngineView* view() const { return m_window->findChild<QWebEngineView*>(); }
    QString toastText() const {
        return pageEval(view()->page(),
                        QStringLiteral("document.getElementById('toast').textContent"))
            .toString();
    }
    void follow(const QString& url) {
        pageEval(view()->page(), QStringLiteral("location.href = '%1'; 1").arg(url));
    }

    PrivateTemp m_temp;
    UpdateSite m_site;
    std::unique_ptr<Corvel_Web> m_window;
    QPointer<QWebEngineDownloadItem> m_item;
};

}  // namespace

TEST_F(UpdateTest, InstallerDownloadToastsThenAsksOnceItIsComplete) {
    const QString target = m_temp.file(QStringLiteral("lumar.exe"));
    QWebEngineDownloadItem::DownloadState stateWhenAsked =
        QWebEngineDownloadItem::DownloadRequested;
    QByteArray fileWhenAsked;
    MessageBoxAnswerer answerer(QStringLiteral("否"), [&] {
        stateWhenAsked = m_item ? m_item->state() : stateWhenAsked;
        fileWhenAsked = readBytes(target);
    });

    follow(m_site.url(QStringLiteral("lumar.bin")));
    ASSERT_TRUE(waitFor([&] { return toastText() == QStringLiteral("正在下载，请稍后..."); }));
    ASSERT_TRUE(waitFor([&] { return answerer.seen().count == 1; }, std::chrono::seconds(20)));

    EXPECT_EQ(answerer.seen().title, QStringLiteral("软件升级"));
    EXPECT_EQ(answerer.seen().text, QStringLiteral("下载完成，现在就更新吗？"));
    EXPECT_TRUE(answerer.seen().buttons.contains(QStringLiteral("是")));
    EXPECT_TRUE(answerer.seen().buttons.contains(QStringLiteral("否")));
    EXPECT_EQ(stateWhenAsked, QWebEngineDownloadItem::DownloadCompleted);
    EXPECT_EQ(fileWhenAsked, m_site.installer());

    // "否" keeps the program and the file; the next download replaces it under the same name.
    QTest::qWait(300);
    EXPECT_TRUE(m_window->isVisible());
    EXPECT_EQ(readBytes(target), m_site.installer());
    EXPECT_EQ(answerer.seen().count, 1);

    follow(m_site.url(QStringLiteral("lumar-next.bin")));
    ASSERT_TRUE(waitFor([&] { return answerer.seen().count == 2; }, std::chrono::seconds(20)));
    EXPECT_EQ(fileWhenAsked, m_site.nextInstaller());
    EXPECT_EQ(QDir(m_temp.file(QString())).entryList(QDir::Files),
              QStringList{QStringLiteral("lumar.exe")});
}

TEST_F(UpdateTest, OtherTypesAreCancelledSilently) {
    MessageBoxAnswerer answerer(QStringLiteral("否"));
    follow(m_site.url(QStringLiteral("guide.pdf")));
    ASSERT_TRUE(waitFor([&] { return !m_item.isNull(); }));
    EXPECT_TRUE(
        waitFor([&] { return m_item->state() == QWebEngineDownloadItem::DownloadCancelled; }));
    QTest::qWait(500);
    EXPECT_EQ(toastText(), QString());
    EXPECT_TRUE(QDir(m_temp.file(QString())).entryList(QDir::Files).isEmpty());
    EXPECT_EQ(answerer.seen().count, 0);
}

TEST_F(UpdateTest, BrokenDownloadIsNotOffered) {
    MessageBoxAnswerer answerer(QStringLiteral("是"));
    follow(m_site.url(QStringLiteral("broken.bin")));
    ASSERT_TRUE(waitFor([&] { return !m_item.isNull(); }));
    ASSERT_TRUE(
        waitFor([&] { return m_item->state() == QWebEngineDownloadItem::DownloadInterrupted; },
                std::chrono::seconds(20)))
        << "state " << m_item->state();
    // A cancel after the interruption finishes the download: still no question.
    m_item->cancel();
    ASSERT_TRUE(waitFor([&] { return m_item->isFinished(); }));
    QTest::qWait(500);
    EXPECT_EQ(answerer.seen().count, 0);
    EXPECT_TRUE(m_window->isVisible());
}

// Run by the test below in a process of its own: accepting the update ends the program.
TEST_F(UpdateTest, QuitAcceptedUpdateInChildProcess) {
    if (!qEnvironmentVariableIsSet("LUMAR_UPDATE_CHILD")) {
        GTEST_SKIP() << "started by Update.AcceptedUpdateIsOpenedOnceTheProgramHasEnded";
    }
    qputenv("TMPDIR", qgetenv("LUMAR_UPDATE_CHILD"));
    MessageBoxAnswerer answerer(QStringLiteral("是"));
    QEventLoop loop;
    follow(m_site.url(QStringLiteral("lumar.bin")));
    QTimer::singleShot(30000, [&] { loop.exit(1); });
    EXPECT_EQ(loop.exec(), 0) << "accepting the update did not quit";
    EXPECT_EQ(answerer.seen().count, 1);
}

TEST(Update, AcceptedUpdateIsOpenedOnceTheProgramHasEnded) {
    OpenerRecorder& recorder = OpenerRecorder::instance();
    recorder.install();
    QTemporaryDir childTemp;
    const int before = recorder.opened().size();

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LUMAR_UPDATE_CHILD"), childTemp.path());
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_filter=UpdateTest.QuitAcceptedUpdateInChildProcess")});
    ASSERT_TRUE(child.waitForFinished(60000));
    const QByteArray output = child.readAllStandardOutput();
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();

    const QString installer = childTemp.filePath(QStringLiteral("lumar.exe"));
    ASSERT_TRUE(waitFor([&] { return recorder.opened().size() == before + 1; }));
    EXPECT_EQ(recorder.opened().last(), installer);
    EXPECT_EQ(QFileInfo(installer).size(), 300000);
}
