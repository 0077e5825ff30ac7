// Fatal signals in the real program: the dump beside it, the message, the log line and the
// signal's own exit; handlers taken over by a library are put back. Stack overflows on the
// program's other threads; a line logged after the application object has gone.
#include <gtest/gtest.h>
#include <signal.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include "Corvel.h"
#include "Corvel_Web.h"
#include "client_test_support.h"
#include "crash_dump.h"
#include "recording_page.h"
#include "scripted_engine.h"
#include "single_instance_x11.h"

using client_test::ProgramCopy;
using client_test::readText;
using client_test::ScriptedEngine;
using client_test::waitFor;
using namespace std::chrono_literals;

namespace {

const QString kFatalMessage = QStringLiteral(
    "发生严重错误，即将退出！\r\n请将安装目录下的 \"Orvane.dmp文件\" 提交给开发人员！");

// Whether the process has a handler of its own for the signal (SigCgt in its status).
bool catchesSignal(qint64 pid, int sig) {
    const QString status = readText(QStringLiteral("/proc/%1/status").arg(pid));
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("SigCgt:\\s*([0-9a-f]+)")).match(status);
    return m.hasMatch() && (m.captured(1).toULongLong(nullptr, 16) >> (sig - 1)) & 1;
}

struct Crash {
    QString dump;
    QString log;
    QString standardError;
    QProcess::ExitStatus status;
    int exitCode;
};

Crash waitForCrash(const ProgramCopy& copy, QProcess& process) {
    EXPECT_TRUE(process.waitForFinished(30000)) << "the program did not end";
    return {readText(copy.file(QStringLiteral("lumar.dmp"))),
            readText(copy.file(QStringLiteral("Corvel.log"))),
            QString::fromUtf8(process.readAllStandardError()), process.exitStatus(),
            process.exitCode()};
}

void expectReported(const Crash& crash, int sig, const QString& name) {
    EXPECT_EQ(crash.status, QProcess::CrashExit);
    EXPECT_EQ(crash.exitCode, sig) << "not ended by the signal itself";
    EXPECT_TRUE(crash.dump.startsWith(QStringLiteral("Signal: %1 (%2)\n").arg(sig).arg(name)))
        << crash.dump.left(300).toStdString();
    EXPECT_TRUE(crash.dump.contains(QRegularExpression(QStringLiteral("\nThread: [1-9][0-9]*\n"))));
    EXPECT_TRUE(crash.dump.contains(QStringLiteral("\nBacktrace:\n")));
    // The handler's own frame, named.
    EXPECT_TRUE(crash.dump.contains(QStringLiteral("crashSignalHandler")));
    EXPECT_TRUE(crash.standardError.contains(kFatalMessage)) << crash.standardError.toStdString();
    const QRegularExpression logLine(
        QStringLiteral("\\[Fatal\\] \\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\d{3}  \\S+: "
                       "Line: \\d+  Func: crashSignalHandler\\]  \\[Message: Fatal signal %1 "
                       "\\(%2\\), dump lumar.dmp. ")
            .arg(sig)
            .arg(name));
    EXPECT_TRUE(crash.log.contains(logLine)) << crash.log.right(600).toStdString();
    EXPECT_TRUE(crash.log.contains(kFatalMessage + QStringLiteral("]\n")));
}

TEST(CrashDump, SegvSentToTheRunningProgramLeavesADumpAndEndsTheProgramBySegv) {
    ProgramCopy copy;
    QFile old(copy.file(QStringLiteral("lumar.dmp")));
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("an older dump\n");
    old.close();

    QProcess process;
    copy.start(process);
    ASSERT_TRUE(process.waitForStarted());
    // Running: the window is up and the handler is in place.
    ASSERT_TRUE(waitFor(
        [&] {
            return x11_probe::viewableWindowOf(process.processId()) != 0 &&
                   catchesSignal(process.processId(), SIGSEGV);
        },
        std::chrono::seconds(30)));
    ::kill(static_cast<pid_t>(process.processId()), SIGSEGV);
    const Crash crash = waitForCrash(copy, process);

    expectReported(crash, SIGSEGV, QStringLiteral("SIGSEGV"));
    EXPECT_FALSE(crash.dump.contains(QStringLiteral("an older dump")));
    // A new file, readable by root alone, in place of the older one.
    EXPECT_EQ(QFile::permissions(copy.file(QStringLiteral("lumar.dmp"))),
              QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
    EXPECT_TRUE(crash.dump.contains(
        QStringLiteral("\nSent by process: %1\n").arg(QCoreApplication::applicationPid())));
}

struct RealFault {
    const char* kind;
    int signal;
    const char* name;
    const char* frame;    // a function of the test build on the faulting stack
    const char* address;  // the fault address when the test build knows it
};

class CrashDumpRealFault : public testing::TestWithParam<RealFault> {};

TEST_P(CrashDumpRealFault, LeavesADumpNamingTheFaultingFunctionAndEndsByTheSignal) {
    const RealFault fault = GetParam();
    ProgramCopy copy(QStringLiteral(LUMAR_FAULT_BINARY));
    QProcess process;
    QProcessEnvironment extra;
    extra.insert(QStringLiteral("LUMAR_TEST_FAULT"), QString::fromLatin1(fault.kind));
    copy.start(process, {}, extra);
    ASSERT_TRUE(process.waitForStarted());
    const Crash crash = waitForCrash(copy, process);

    expectReported(crash, fault.signal, QString::fromLatin1(fault.name));
    EXPECT_TRUE(crash.dump.contains(QString::fromLatin1(fault.frame)))
        << crash.dump.left(3000).toStdString();
    EXPECT_TRUE(crash.dump.contains(QStringLiteral("\nMemory map:\n")));
    if (fault.address) {
        EXPECT_TRUE(crash.dump.contains(
            QStringLiteral("\nAddress: %1\n").arg(QLatin1String(fault.address))));
    }
    // The thread that faulted, not just the process.
    const QString processId =
        QRegularExpression(QStringLiteral("\nProcess: (\\d+)\n")).match(crash.dump).captured(1);
    const QString thread =
        QRegularExpression(QStringLiteral("\nThread: (\\d+)\n")).match(crash.dump).captured(1);
    EXPECT_EQ(processId != thread, QByteArray(fault.kind) == "segv-thread")
        << crash.dump.left(300).toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CrashDumpRealFault,
    testing::Values(RealFault{"segv", SIGSEGV, "SIGSEGV", "writeThroughNull", "0x0000000000000000"},
                    RealFault{"segv-thread", SIGSEGV, "SIGSEGV", "writeThroughNull",
                              "0x0000000000000000"},
                    RealFault{"abort", SIGABRT, "SIGABRT", "abort", nullptr},
                    RealFault{"fpe", SIGFPE, "SIGFPE", "divideByZero", nullptr},
                    RealFault{"ill", SIGILL, "SIGILL", "executeIllegalInstruction", nullptr},
                    // The main thread's stack is used up: only the alternate stack is left.
                    RealFault{"stack", SIGSEGV, "SIGSEGV", "recurseWithoutEnd", nullptr}),
    [](const testing::TestParamInfo<RealFault>& info) {
        return QString::fromLatin1(info.param.kind).remove(QLatin1Char('-')).toStdString();
    });

// Another thread is inside dlopen for good when the main thread faults: the handler's symbol
// lookup would wait for the loader's lock for ever.
TEST(CrashDump, FaultWhileTheLoaderLockIsHeldElsewhereStillEndsTheProgram) {
    ProgramCopy copy(QStringLiteral(LUMAR_FAULT_BINARY));
    QProcess process;
    QProcessEnvironment extra;
    extra.insert(QStringLiteral("LUMAR_TEST_FAULT"), QStringLiteral("segv-loader-lock"));
    QElapsedTimer timer;
    timer.start();
    copy.start(process, {}, extra);
    const Crash crash = waitForCrash(copy, process);
    EXPECT_LT(timer.elapsed(), 30000);
    EXPECT_EQ(crash.status, QProcess::CrashExit);
    EXPECT_EQ(crash.exitCode, SIGSEGV);
    EXPECT_TRUE(crash.dump.startsWith(QStringLiteral("Signal: 11 (SIGSEGV)\n")));
    EXPECT_TRUE(crash.standardError.contains(kFatalMessage));
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
    }
}

TEST(CrashDump, WithoutADumpTheMessageIsShownAndTheSignalEndsTheProgram) {
    ProgramCopy copy(QStringLiteral(LUMAR_FAULT_BINARY));
    // A directory in the dump's place cannot be replaced.
    ASSERT_TRUE(QDir(copy.dir()).mkdir(QStringLiteral("lumar.dmp")));
    QProcess process;
    QProcessEnvironment extra;
    extra.insert(QStringLiteral("LUMAR_TEST_FAULT"), QStringLiteral("segv"));
    copy.start(process, {}, extra);
    const Crash crash = waitForCrash(copy, process);
    EXPECT_EQ(crash.status, QProcess::CrashExit);
    EXPECT_EQ(crash.exitCode, SIGSEGV);
    EXPECT_TRUE(QFileInfo(copy.file(QStringLiteral("lumar.dmp"))).isDir());
    EXPECT_TRUE(crash.standardError.contains(kFatalMessage));
}

TEST(CrashDump, LogLevelAboveFatalKeepsTheCrashOutOfTheLog) {
    ProgramCopy copy(QStringLiteral(LUMAR_FAULT_BINARY));
    QProcess process;
    QProcessEnvironment extra;
    extra.insert(QStringLiteral("LUMAR_TEST_FAULT"), QStringLiteral("segv"));
    extra.insert(QStringLiteral("LUMAR_LOG_LEVEL"), QStringLiteral("4"));
    copy.start(process, {}, extra);
    const Crash crash = waitForCrash(copy, process);
    EXPECT_EQ(crash.exitCode, SIGSEGV);
    EXPECT_FALSE(crash.dump.isEmpty());
    EXPECT_FALSE(crash.log.contains(QStringLiteral("[Fatal]")));
}

// A ping that ends after the application object (and its directory) is gone still logs beside
// the program, not in "/Corvel.log".
TEST(ClientLogAtExit, LineLoggedAfterTheApplicationIsGoneStaysBesideTheProgram) {
    const bool strayBefore = QFile::exists(QStringLiteral("/Corvel.log"));
    ProgramCopy copy(QStringLiteral(LUMAR_FAULT_BINARY));
    QProcess process;
    QProcessEnvironment extra;
    extra.insert(QStringLiteral("LUMAR_TEST_FAULT"), QStringLiteral("late-log"));
    copy.start(process, {}, extra);
    ASSERT_TRUE(process.waitForStarted());
    ASSERT_TRUE(
        waitFor([&] { return x11_probe::viewableWindowOf(process.processId()) != 0; }, 30s));
    process.terminate();
    ASSERT_TRUE(process.waitForFinished(30000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_TRUE(readText(copy.file(QStringLiteral("Corvel.log")))
                    .contains(QStringLiteral("Logged after the application object is gone.")));
    if (!strayBefore) {
        EXPECT_FALSE(QFile::exists(QStringLiteral("/Corvel.log")));
    }
}

// A stack overflow on a thread the program starts for its engine calls, pings and monitors:
// the thread has an alternate signal stack of its own, so the handler runs and dumps. Each
// case runs in a child process of this test program (a death test).
struct ThreadOverflow {
    const char* name;
    ScriptedEngine::Overflow where;
    bool connect;  // connect (start task, then monitors) rather than ping
};

void PrintTo(const ThreadOverflow& overflow, std::ostream* out) {
    *out << overflow.name;
}

class CrashDumpOffTheMainThread : public testing::TestWithParam<ThreadOverflow> {};

void overflowOnAProgramThread(const ThreadOverflow& c) {
    installCrashHandlers();
    ScriptedEngine engine;
    engine.overflowIn = c.where;
    // The bridge answers only while the window shows the program's own page.
    Corvel_Web window;
    client_test::RecordingPage page(window);
    Corvel bridge(&window, 1400, engine);
    if (c.connect) {
        const QJsonObject service{
            {"vpnServerIp", "192.0.2.1"},   {"vpnServerPort", 5000},
            {"vpnServerPk", "00ff"},        {"dns", "10.8.0.1"},
            {"backupDns", "10.8.0.2"},      {"localRoutes", QJsonArray{}},
            {"remoteRoutes", QJsonArray{}}, {"token", "t"},
        };
        bridge.conn(QString::fromUtf8(QJsonDocument(service).toJson(QJsonDocument::Compact)));
    } else {
        bridge.ping(QStringLiteral("192.0.2.1"), 5000, 1);
    }
    waitFor([] { return false; }, 30s);
}

TEST_P(CrashDumpOffTheMainThread, StackOverflowLeavesADump) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const QString dump = QCoreApplication::applicationDirPath() + QStringLiteral("/") +
                         QFileInfo(QCoreApplication::applicationFilePath()).baseName() +
                         QStringLiteral(".dmp");
    QFile::remove(dump);
    EXPECT_EXIT(overflowOnAProgramThread(GetParam()), testing::KilledBySignal(SIGSEGV),
                "Orvane\\.dmp");
    const QString text = readText(dump);
    EXPECT_TRUE(text.startsWith(QStringLiteral("Signal: 11 (SIGSEGV)\n"))) << text.toStdString();
    const QString processId =
        QRegularExpression(QStringLiteral("\nProcess: (\\d+)\n")).match(text).captured(1);
    const QString thread =
        QRegularExpression(QStringLiteral("\nThread: (\\d+)\n")).match(text).captured(1);
    EXPECT_FALSE(thread.isEmpty());
    EXPECT_NE(processId, thread);
}

INSTANTIATE_TEST_SUITE_P(
    Threads, CrashDumpOffTheMainThread,
    testing::Values(ThreadOverflow{"start_task", ScriptedEngine::Overflow::Start, true},
                    ThreadOverflow{"status_monitor", ScriptedEngine::Overflow::Status, true},
                    ThreadOverflow{"packet_loss_monitor", ScriptedEngine::Overflow::Ping, true},
                    ThreadOverflow{"ping", ScriptedEngine::Overflow::Ping, false}),
    [](const testing::TestParamInfo<ThreadOverflow>& info) {
        return std::string(info.param.name);
    });

// The test process takes the handlers itself here; a fault in it would leave crash_test.dmp.
TEST(CrashDump, HandlersReplacedByALibraryArePutBackAndLogged) {
    installCrashHandlers();
    EXPECT_EQ(reinstateCrashHandlers(), 0);

    struct sigaction ours {};
    ASSERT_EQ(sigaction(SIGSEGV, nullptr, &ours), 0);
    struct sigaction other {};
    other.sa_handler = SIG_IGN;
    sigaction(SIGBUS, &other, nullptr);
    other.sa_handler = SIG_DFL;
    sigaction(SIGABRT, &other, nullptr);

    static QStringList warnings;
    warnings.clear();
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
            if (type == QtWarningMsg) {
                warnings << text;
            }
        });
    const int reinstated = reinstateCrashHandlers();
    qInstallMessageHandler(previous);

    EXPECT_EQ(reinstated, 2);
    EXPECT_EQ(warnings,
              (QStringList{QStringLiteral("Crash handler for SIGBUS was replaced; reinstated."),
                           QStringLiteral("Crash handler for SIGABRT was replaced; reinstated.")}));
    for (int sig : {SIGBUS, SIGABRT}) {
        struct sigaction now {};
        ASSERT_EQ(sigaction(sig, nullptr, &now), 0);
        EXPECT_EQ(now.sa_sigaction, ours.sa_sigaction);
        EXPECT_TRUE(now.sa_flags & SA_ONSTACK);
    }
    EXPECT_EQ(reinstateCrashHandlers(), 0);
}

}  // namespace
