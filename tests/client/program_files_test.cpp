// The real program, as root, beside files that someone other than root could have written:
// they are ignored with a warning, and the log is never written through a link.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include "client_test_support.h"

using client_test::ProgramCopy;
using client_test::waitFor;

namespace {

class Running {
  public:
    explicit Running(const ProgramCopy& copy) {
        QProcessEnvironment env;
        env.insert(QStringLiteral("LUMAR_LOG_LEVEL"), QStringLiteral("0"));
        copy.start(m_process, {}, env);
    }
    ~Running() {
        m_process.terminate();
        if (!m_process.waitForFinished(15000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    QString standardError() { return QString::fromLocal8Bit(m_process.readAllStandardError()); }

  private:
    QProcess m_process;
};

void writeFile(const QString& path, const QByteArray& text, QFile::Permissions permissions) {
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(text);
    file.close();
    file.setPermissions(permissions);
}

constexpr QFile::Permissions kRootOnly =
    QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;

}  // namespace

TEST(ProgramFiles, OptionFilesOthersCanWriteAreIgnoredWithAWarning) {
    ProgramCopy copy;
    writeFile(copy.file(QStringLiteral("Option.ini")), "[resolution]\nwidth=400\nheight=500\n",
              kRootOnly | QFile::WriteOther);
    writeFile(copy.file(QStringLiteral("page_options.json")),
              R"({"pk": "00ff", "autoconnect": true})", kRootOnly | QFile::WriteGroup);
    Running lumar(copy);
    ASSERT_TRUE(client_test::waitForViewableXWindow(QStringLiteral("lumar")))
        << lumar.standardError().toStdString();
    EXPECT_EQ(client_test::findXWindow(QStringLiteral("lumar")).geometry.size(), QSize(360, 728));
    const QString log = copy.file(QStringLiteral("Corvel.log"));
    // The page asks for its options once its channel is up.
    ASSERT_TRUE(waitFor(
        [&] {
            return client_test::readText(log).contains(
                QStringLiteral("Ignoring %1: it is writable by group or others.")
                    .arg(copy.file(QStringLiteral("page_options.json"))));
        },
        std::chrono::seconds(30)))
        << client_test::readText(log).toStdString();
    QTest::qWait(1000);
    const QString text = client_test::readText(log);
    EXPECT_TRUE(text.contains(QStringLiteral("Ignoring %1: it is writable by group or others.")
                                  .arg(copy.file(QStringLiteral("Option.ini")))));
    EXPECT_FALSE(text.contains(QStringLiteral("conn called!"))) << "the options were used";
}

TEST(ProgramFiles, LogThroughALinkIsNotWrittenAndSizesFitTheScreen) {
    ProgramCopy copy;
    QTemporaryDir elsewhere;
    const QString victim = elsewhere.filePath(QStringLiteral("victim"));
    writeFile(victim, "untouched\n", kRootOnly);
    ASSERT_TRUE(QFile::link(victim, copy.file(QStringLiteral("Corvel.log"))));
    // Nothing or nonsense gives the default; more than the screen gives the screen.
    copy.writeOptions(QStringLiteral("[resolution]\nwidth=0\nheight=5000\n"));
    {
        Running lumar(copy);
        ASSERT_TRUE(client_test::waitForViewableXWindow(QStringLiteral("lumar")))
            << lumar.standardError().toStdString();
        EXPECT_EQ(client_test::findXWindow(QStringLiteral("lumar")).geometry.size(),
                  QSize(360, 1080));
        QTest::qWait(2000);
    }
    EXPECT_EQ(client_test::readText(victim), QStringLiteral("untouched\n"));
    EXPECT_TRUE(QFileInfo(copy.file(QStringLiteral("Corvel.log"))).isSymLink());
}

TEST(ProgramFiles, ADirectoryOthersCanWriteGetsNoLogAndShowsNoPageFromIt) {
    ProgramCopy copy;
    ASSERT_EQ(chmod(QFile::encodeName(copy.dir()).constData(), 0777), 0);
    {
        Running lumar(copy);
        ASSERT_TRUE(client_test::waitForViewableXWindow(QStringLiteral("lumar")))
            << lumar.standardError().toStdString();
        QTest::qWait(2000);
        client_test::saveScreenScreenshot(QStringLiteral("untrusted_page_notice"));
        const QString errors = lumar.standardError();
        EXPECT_TRUE(errors.contains(
            QStringLiteral("Not writing Corvel.log (%1: it is writable by group or others)")
                .arg(copy.dir())))
            << errors.toStdString();
        EXPECT_TRUE(errors.contains(
            QStringLiteral("Ignoring %1: its directory: it is writable by group or others.")
                .arg(copy.file(QStringLiteral("index.html")))));
        EXPECT_TRUE(errors.contains(QStringLiteral("Showing the built-in notice instead")));
    }
    EXPECT_FALSE(QFile::exists(copy.file(QStringLiteral("Corvel.log"))));
    chmod(QFile::encodeName(copy.dir()).constData(), 0700);
}
