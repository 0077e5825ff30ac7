// Update downloads from the update origin over real TLS, with a signature made by the tests'
// own key: refused origins and schemes, an oversized download and a bad signature leave
// nothing; a good one stays in a private directory of the desktop user, opened only as them
// and only after the program has ended.
#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QTest>
#include <QTimer>
#include <QWebEngineView>
#include <algorithm>
#include <cstdio>
#include <functional>

#include "Corvel_Web.h"
#include "host_identity.h"
#include "security_test_util.h"
#include "update_policy.h"
#include "window_test_util.h"

using client_test::waitFor;
using namespace security_test;
using namespace window_test;

namespace {

const QString kFailed = QStringLiteral("更新下载失败！");

// The signature file for `data` offered as `version`, signed as `signedVersion`.
QByteArray sign(const QByteArray& data, const QByteArray& version = "99.0",
                const QByteArray& signedVersion = {}) {
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char secretKey[crypto_sign_SECRETKEYBYTES];
    const QByteArray seed = QByteArray::fromHex(LUMAR_TEST_UPDATE_SEED);
    EXPECT_EQ(sodium_init() >= 0 && seed.size() == crypto_sign_SEEDBYTES, true);
    crypto_sign_seed_keypair(publicKey, secretKey,
                             reinterpret_cast<const unsigned char*>(seed.constData()));
    const QByteArray message =
        "lumar update " + (signedVersion.isEmpty() ? version : signedVersion) + '\n' + data;
    crypto_sign_state state;
    crypto_sign_init(&state);
    crypto_sign_update(&state, reinterpret_cast<const unsigned char*>(message.constData()),
                       static_cast<unsigned long long>(message.size()));
    QByteArray signature(crypto_sign_BYTES, '\0');
    crypto_sign_final_create(&state, reinterpret_cast<unsigned char*>(signature.data()), nullptr,
                             secretKey);
    return signature + version;
}

QByteArray installerBytes(int size, int salt) {
    QByteArray bytes;
    for (int i = 0; i < size; ++i) {
        bytes.append(static_cast<char>((i * 7 + i / 251 + salt) & 0xff));
    }
    return bytes;
}

// The update origin the test programs are built with, and its files.
class UpdateSite : public LocalSite {
  public:
    UpdateSite() : LocalSite(true, LUMAR_TEST_UPDATE_PORT) {
        const Response installer{"application/octet-stream", m_installer};
        serve("/lumar.bin", installer);
        serve("/lumar.bin.sig", {"application/octet-stream", sign(m_installer)});
        serve("/bad.bin", installer);
        serve("/bad.bin.sig", {"application/octet-stream", sign(installerBytes(300000, 1))});
        // 2 MiB with no length announced: only the bytes received can tell.
        serve("/big.bin", {"application/octet-stream", installerBytes(2 << 20, 2), false});
        serve("/big.bin.sig", {"application/octet-stream", sign(installerBytes(2 << 20, 2))});
        serve("/announced-big.bin", {"application/octet-stream", installerBytes(2 << 20, 3)});
        serve("/unsigned.bin", installer);
        // A genuine older release offered again, and one whose signed version was relabelled.
        serve("/old.bin", installer);
        serve("/old.bin.sig", {"application/octet-stream", sign(m_installer, "1.0")});
        serve("/relabelled.bin", installer);
        serve("/relabelled.bin.sig",
              {"application/octet-stream", sign(m_installer, "99.0", "1.0")});
    }
    const QByteArray& installer() const { return m_installer; }

  private:
    QByteArray m_installer = installerBytes(300000, 0);
};

class UpdateDownloadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_site.isListening()) << "port " << LUMAR_TEST_UPDATE_PORT << " is taken";
        writeProgramPage(realPage());
        m_window = std::make_unique<Corvel_Web>(nullptr);
        m_window->setFixedSize(360, 728);
        m_window->show();
        ASSERT_TRUE(waitForBridge(view()));
    }
    QWebEngineView* view() const { return m_window->findChild<QWebEngineView*>(); }
    QVariant eval(const QString& script) const { return pageEval(view()->page(), script); }
    QString toastText() const {
        return eval(QStringLiteral("document.getElementById('toast').textContent")).toString();
    }
    void clearToast() const {
        eval(QStringLiteral("document.getElementById('toast').textContent = ''; 1"));
    }
    QStringList updateDirs() const {
        return QDir(m_temp.path()).entryList({QStringLiteral("lumar-update-*")}, QDir::Dirs);
    }

    QTemporaryDir m_temp;
    ScopedEnv m_tmpdir{"TMPDIR", m_temp.path().toLocal8Bit()};
    ScopedEnv m_sudoUid{"SUDO_UID", QByteArray::number(kDesktopUid)};
    UpdateSite m_site;
    std::unique_ptr<Corvel_Web> m_window;
};

}  // namespace

TEST_F(UpdateDownloadTest, OnlyASignedDownloadFromTheUpdateOriginIsKept) {
    OpenerRecord opened;
    LocalSite elsewhere(true);
    elsewhere.serve("/lumar.bin", {"application/octet-stream", m_site.installer()});
    LogCapture log;
    // A refused download must never reach the question.
    MessageBoxAnswerer answerer(QStringLiteral("否"));
    const QString dataUrl = QStringLiteral("data:application/octet-stream;base64,") +
                            QString::fromLatin1(m_site.installer().left(64).toBase64());

    struct Case {
        const char* name;
        std::function<void()> start;
        QString logged;
    };
    const Case refused[] = {
        {"another origin, followed",
         [&] { eval(QStringLiteral("location.href = '%1'; 1").arg(elsewhere.url("/lumar.bin"))); },
         QStringLiteral("Refused navigation to ") + elsewhere.url("/lumar.bin")},
        {"another origin, as a download",
         [&] { view()->page()->download(QUrl(elsewhere.url("/lumar.bin"))); },
         QStringLiteral("Download of %1 refused: not from an update origin.")
             .arg(elsewhere.url("/lumar.bin"))},
        {"a data: URL made by script",
         [&] {
             eval(QStringLiteral("var a = document.createElement('a'); a.href = '%1';"
                                 "a.download = 'lumar.bin'; document.body.appendChild(a);"
                                 "a.click(); 1")
                      .arg(dataUrl));
         },
         QStringLiteral("a data: URL, not https")},
        {"over the size limit",
         [&] { eval(QStringLiteral("location.href = '%1'; 1").arg(m_site.url("/big.bin"))); },
         QStringLiteral("Update download failed and deleted: the download ended "
                        "DownloadCancelled")},
        {"over the size limit, announced",
         [&] {
             eval(QStringLiteral("location.href = '%1'; 1").arg(m_site.url("/announced-big.bin")));
         },
         QStringLiteral("Download of %1 cancelled: more than 1048576 bytes.")
             .arg(m_site.url("/announced-big.bin"))},
        {"no signature",
         [&] { eval(QStringLiteral("location.href = '%1'; 1").arg(m_site.url("/unsigned.bin"))); },
         QStringLiteral("Update download failed and deleted: the signature download ended")},
        {"a signature of other bytes",
         [&] { eval(QStringLiteral("location.href = '%1'; 1").arg(m_site.url("/bad.bin"))); },
         QStringLiteral("Update download failed and deleted: the signature does not match")},
        {"a signature of another version",
         [&] {
             eval(QStringLiteral("location.href = '%1'; 1").arg(m_site.url("/relabelled.bin")));
         },
         QStringLiteral("Update download failed and deleted: the signature does not match")},
        {"an older release",
         [&] { eval(QStringLiteral("location.href = '%1'; 1").arg(m_site.url("/old.bin"))); },
         QStringLiteral("Update download failed and deleted: its version 1.0 is not newer than "
                        "this program's ") +
             builtVersion()},
    };
    for (const Case& c : refused) {
        clearToast();
        c.start();
        EXPECT_TRUE(waitFor(
            [&] {
                const QStringList lines = log.all();
                return std::any_of(lines.begin(), lines.end(),
                                   [&](const QString& l) { return l.contains(c.logged); });
            },
            std::chrono::seconds(20)))
            << c.name << "\n"
            << log.all().join('\n').toStdString();
        if (c.logged.startsWith(QLatin1String("Refused navigation"))) {
            EXPECT_TRUE(elsewhere.requests().isEmpty()) << c.name;
        } else {
            EXPECT_TRUE(waitFor([&] { return toastText() == kFailed; })) << c.name;
        }
        EXPECT_TRUE(updateDirs().isEmpty()) << c.name;
        EXPECT_EQ(answerer.seen().count, 0) << c.name;
    }
    EXPECT_TRUE(m_site.requests().contains(QStringLiteral("/bad.bin.sig")));
    EXPECT_FALSE(m_site.requests().contains(QStringLiteral("/big.bin.sig")));
    EXPECT_TRUE(QDir(m_temp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());

    // The good one: checked, then asked about; "否" keeps it for later.
    eval(QStringLiteral("location.href = '%1'; 1").arg(m_site.url("/lumar.bin")));
    ASSERT_TRUE(waitFor([&] { return toastText() == QStringLiteral("正在下载，请稍后..."); }));
    ASSERT_TRUE(waitFor([&] { return answerer.seen().count == 1; }, std::chrono::seconds(20)))
        << log.all().join('\n').toStdString();
    EXPECT_EQ(answerer.seen().text, QStringLiteral("下载完成，现在就更新吗？"));
    ASSERT_EQ(updateDirs().size(), 1);
    const QString dir = m_temp.path() + QLatin1Char('/') + updateDirs().first();
    EXPECT_EQ(QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral("lumar.exe")});
    QFile installer(dir + QStringLiteral("/lumar.exe"));
    ASSERT_TRUE(installer.open(QIODevice::ReadOnly));
    EXPECT_EQ(installer.readAll(), m_site.installer());
    struct stat st {};
    ASSERT_EQ(stat(QFile::encodeName(dir).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, kDesktopUid) << "the desktop user cannot read it";
    QTest::qWait(300);
    EXPECT_TRUE(m_window->isVisible());
    EXPECT_TRUE(opened.lines().isEmpty()) << "opened while the program runs";
}

// Run by the test below in a process of its own: accepting the update ends the program.
TEST_F(UpdateDownloadTest, QuitAcceptedUpdateInChildProcess) {
    if (!qEnvironmentVariableIsSet("LUMAR_UPDATE_CHILD")) {
        GTEST_SKIP() << "started by UpdateDownload.AcceptedUpdateGoesToTheDesktopUserAtExit";
    }
    MessageBoxAnswerer answerer(QStringLiteral("是"));
    QEventLoop loop;
    eval(QStringLiteral("location.href = '%1'; 1").arg(m_site.url("/lumar.bin")));
    QTimer::singleShot(30000, [&] { loop.exit(1); });
    EXPECT_EQ(loop.exec(), 0) << "accepting the update did not quit";
    EXPECT_EQ(answerer.seen().count, 1);
    // Where the parent finds the directory.
    std::printf("update dirs: %s\n", qPrintable(updateDirs().join(' ')));
    std::printf("temp: %s\n", qPrintable(m_temp.path()));
    m_temp.setAutoRemove(false);
}

TEST(UpdateDownload, AcceptedUpdateGoesToTheDesktopUserAtExit) {
    OpenerRecord opened;
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LUMAR_UPDATE_CHILD"), QStringLiteral("1"));
    child.setProcessEnvironment(env);
    child.start(
        QCoreApplication::applicationFilePath(),
        {QStringLiteral("--gtest_filter=UpdateDownloadTest.QuitAcceptedUpdateInChildProcess")});
    ASSERT_TRUE(child.waitForFinished(60000));
    const QString output = QString::fromLocal8Bit(child.readAllStandardOutput());
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    ASSERT_TRUE(output.contains(QStringLiteral("[  PASSED  ] 1 test"))) << output.toStdString();
    const QString temp = output.section(QStringLiteral("temp: "), 1).section('\n', 0, 0);
    const QString dirName = output.section(QStringLiteral("update dirs: "), 1).section('\n', 0, 0);
    ASSERT_FALSE(dirName.isEmpty());
    const QString dir = temp + QLatin1Char('/') + dirName;

    // The file manager gets the directory, as the desktop user, with the user's home.
    ASSERT_TRUE(waitFor([&] { return !opened.lines().isEmpty(); }));
    EXPECT_EQ(opened.lines(),
              QStringList{QStringLiteral("%1 /nonexistent %2").arg(kDesktopUid).arg(dir)});
    EXPECT_EQ(QFileInfo(dir + QStringLiteral("/lumar.exe")).size(), 300000);
    QDir(temp).removeRecursively();
}
