// The client log: threshold, line layout, rotation, concurrent writers.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>
#include <thread>
#include <vector>

#include "client_log.h"
#include "client_test_support.h"

namespace {

QString logPath() {
    return QCoreApplication::applicationDirPath() + QStringLiteral("/Corvel.log");
}
QString backupPath() {
    return logPath() + QStringLiteral(".bak");
}

QStringList logLines() {
    QString text = client_test::readText(logPath());
    QStringList lines = text.split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty()) {
        lines.removeLast();
    }
    return lines;
}

// label, time stamp, file, line, function, message
const QRegularExpression kLine(QStringLiteral(
    R"(^(\[\w+\]) \[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \d{3})  (.*): Line: (\d+)  Func: (.*)\]  \[Message: (.*)\]$)"));

class ClientLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        QFile::remove(logPath());
        QFile::remove(backupPath());
        qunsetenv("LUMAR_LOG_LEVEL");
        m_previous = installClientLog();
    }
    void TearDown() override {
        qInstallMessageHandler(m_previous);
        qunsetenv("LUMAR_LOG_LEVEL");
        QFile::remove(logPath());
        QFile::remove(backupPath());
    }
    QtMessageHandler m_previous = nullptr;
};

void logOneOfEach() {
    QMessageLogger("a.cpp", 1, "fa").debug("debug");
    QMessageLogger("a.cpp", 2, "fa").warning("warning");
    QMessageLogger("a.cpp", 3, "fa").critical("critical");
    QMessageLogger("a.cpp", 4, "fa").info("info");
}

QStringList messagesWritten() {
    QStringList messages;
    for (const QString& line : logLines()) {
        messages << kLine.match(line).captured(6);
    }
    return messages;
}

TEST_F(ClientLogTest, ThresholdComesFromTheEnvironmentEveryTime) {
    logOneOfEach();
    EXPECT_EQ(messagesWritten(), (QStringList{"critical", "info"})) << "default threshold 2";

    struct Case {
        const char* value;
        QStringList written;
    };
    const Case cases[] = {
        {"0", {"debug", "warning", "critical", "info"}},
        {"1", {"warning", "critical", "info"}},
        {"4", {"info"}},
        {"5", {}},
        {"", {"critical", "info"}},
        {"loud", {"critical", "info"}},
    };
    for (const Case& c : cases) {
        QFile::remove(logPath());
        qputenv("LUMAR_LOG_LEVEL", c.value);
        logOneOfEach();
        EXPECT_EQ(messagesWritten(), c.written) << "LUMAR_LOG_LEVEL=" << c.value;
    }
}

TEST_F(ClientLogTest, LineReadsBackFieldByField) {
    qputenv("LUMAR_LOG_LEVEL", "0");
    const QDateTime before = QDateTime::currentDateTime().addMSecs(-1);
    QMessageLogger("src/Corvel.cpp", 321, "void Corvel::conn(QString)").warning("中文 text");
    QMessageLogger(nullptr, 0, nullptr).info("no context");
    const QDateTime after = QDateTime::currentDateTime().addMSecs(1);

    const QStringList lines = logLines();
    ASSERT_EQ(lines.size(), 2);
    const QRegularExpressionMatch first = kLine.match(lines[0]);
    ASSERT_TRUE(first.hasMatch()) << lines[0].toStdString();
    EXPECT_EQ(first.captured(1), "[Warning]");
    const QDateTime stamp =
        QDateTime::fromString(first.captured(2), QStringLiteral("yyyy-MM-dd hh:mm:ss zzz"));
    EXPECT_TRUE(stamp >= before && stamp <= after) << first.captured(2).toStdString();
    EXPECT_EQ(first.captured(3), "src/Corvel.cpp");
    EXPECT_EQ(first.captured(4), "321");
    EXPECT_EQ(first.captured(5), "void Corvel::conn(QString)");
    EXPECT_EQ(first.captured(6), QStringLiteral("中文 text"));

    const QRegularExpressionMatch second = kLine.match(lines[1]);
    ASSERT_TRUE(second.hasMatch()) << lines[1].toStdString();
    EXPECT_EQ(second.captured(1), "[Info]");
    EXPECT_EQ(second.captured(3), "");
    EXPECT_EQ(second.captured(4), "0");
    EXPECT_EQ(second.captured(5), "");
}

void fillLog(qint64 bytes) {
    QFile file(logPath());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_TRUE(file.resize(bytes));
}

TEST_F(ClientLogTest, RotatesOnlyPastTenMebibytes) {
    QFile stale(backupPath());
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.write("old backup\n");
    stale.close();

    fillLog(10485760);
    qInfo("at the limit");
    EXPECT_EQ(QFileInfo(backupPath()).size(), 11) << "no rotation at exactly 10 MiB";
    EXPECT_GT(QFileInfo(logPath()).size(), 10485760);

    fillLog(10485761);
    qInfo("past the limit");
    EXPECT_EQ(QFileInfo(backupPath()).size(), 10485761) << "the old backup is replaced";
    const QStringList lines = logLines();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].endsWith("[Message: past the limit]"));
}

// Lines longer than the stream's buffer take several writes each, and the first of them
// finds a file due for rotation: only one writer may rotate it.
TEST_F(ClientLogTest, ConcurrentWritersNeverInterleaveOrRotateTwice) {
    constexpr int kThreads = 6;
    constexpr int kLinesEach = 40;
    const QString payload(40000, QLatin1Char('x'));
    fillLog(10485761);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &payload] {
            for (int i = 0; i < kLinesEach; ++i) {
                qInfo("%d-%d %s", t, i, qPrintable(payload));
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const QStringList lines = logLines();
    ASSERT_EQ(lines.size(), kThreads * kLinesEach);
    QSet<QString> seen;
    for (const QString& line : lines) {
        const QRegularExpressionMatch match = kLine.match(line);
        ASSERT_TRUE(match.hasMatch()) << line.left(200).toStdString();
        const QString message = match.captured(6);
        ASSERT_TRUE(message.endsWith(payload));
        seen.insert(message.section(QLatin1Char(' '), 0, 0));
    }
    EXPECT_EQ(seen.size(), kThreads * kLinesEach);
    EXPECT_EQ(QFileInfo(backupPath()).size(), 10485761);
}

}  // namespace
