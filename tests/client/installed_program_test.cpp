// The program as installed, run by an ordinary user: the page from the installation directory,
// the user's own settings, log and crash dump in the XDG base directories, the single-instance
// names in its runtime directory, nothing written beside the program, and the web view's
// renderer in Chromium's sandbox.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include "client_test_support.h"

using client_test::readText;
using client_test::waitFor;
using namespace std::chrono_literals;

namespace {

constexpr uid_t kUser = 65534;

void writeOwnedFile(const QString& path, const QByteArray& text, mode_t mode) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
    file.close();
    ASSERT_EQ(chown(QFile::encodeName(path).constData(), kUser, kUser), 0);
    ASSERT_EQ(chmod(QFile::encodeName(path).constData(), mode), 0);
}

void makeOwnedDir(const QString& path) {
    ASSERT_TRUE(QDir().mkpath(path));
    ASSERT_EQ(chown(QFile::encodeName(path).constData(), kUser, kUser), 0);
    ASSERT_EQ(chmod(QFile::encodeName(path).constData(), 0700), 0);
}

// The installation directory as the package leaves it: root's, holding the program and its page.
void install(const QString& dir) {
    QDir(dir).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(dir));
    ASSERT_TRUE(QFile::copy(QStringLiteral(LUMAR_FAULT_BINARY), dir + QStringLiteral("/lumar")));
    ASSERT_TRUE(QFile::copy(QStringLiteral(LUMAR_PAGE), dir + QStringLiteral("/index.html")));
    chmod(QFile::encodeName(dir + QStringLiteral("/lumar")).constData(), 0755);
    chmod(QFile::encodeName(dir + QStringLiteral("/index.html")).constData(), 0644);
}

qint64 parentOf(qint64 pid) {
    const QString stat = readText(QStringLiteral("/proc/%1/stat").arg(pid));
    // The fields after the command name, which may hold spaces, start with the state.
    const QStringList fields = stat.mid(stat.lastIndexOf(QLatin1Char(')')) + 2).split(' ');
    return fields.size() > 1 ? fields[1].toLongLong() : 0;
}

bool descendsFrom(qint64 pid, qint64 ancestor) {
    for (int depth = 0; pid > 1 && depth < 64; ++depth) {
        pid = parentOf(pid);
        if (pid == ancestor) {
            return true;
        }
    }
    return false;
}

// A process the program started that runs under a seccomp filter in a user namespace of its
// own: a sandboxed renderer.
bool hasSandboxedChild(qint64 program) {
    const QString programNamespace =
        QFile::symLinkTarget(QStringLiteral("/proc/%1/ns/user").arg(program));
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        const qint64 pid = entry.toLongLong();
        if (pid <= 0 || !descendsFrom(pid, program)) {
            continue;
        }
        const QString status = readText(QStringLiteral("/proc/%1/status").arg(pid));
        const QString userNamespace =
            QFile::symLinkTarget(QStringLiteral("/proc/%1/ns/user").arg(pid));
        if (status.contains(QRegularExpression(QStringLiteral("\nSeccomp:\\s*2\n"))) &&
            !userNamespace.isEmpty() && userNamespace != programNamespace) {
            return true;
        }
    }
    return false;
}

}  // namespace

TEST(InstalledProgram, UserFilesFollowTheBaseDirectoriesAndTheRendererIsSandboxed) {
    const QString installed = QStringLiteral(LUMAR_TEST_INSTALL_DIR);
    install(installed);
    QTemporaryDir scratch;
    chmod(QFile::encodeName(scratch.path()).constData(), 0755);
    const QString home = scratch.filePath(QStringLiteral("home"));
    const QString config = scratch.filePath(QStringLiteral("config"));
    const QString runtime = scratch.filePath(QStringLiteral("runtime"));
    for (const QString& dir : {home, config, config + QStringLiteral("/lumar"), runtime}) {
        makeOwnedDir(dir);
    }
    writeOwnedFile(config + QStringLiteral("/lumar/Option.ini"), "[resolution]\nwidth=400\n", 0600);
    writeOwnedFile(config + QStringLiteral("/lumar/page_options.json"), R"({"autoconnect": true})",
                   0664);
    const QString xauthority = scratch.filePath(QStringLiteral("xauthority"));
    QFile::copy(qEnvironmentVariable("XAUTHORITY"), xauthority);
    ASSERT_EQ(chown(QFile::encodeName(xauthority).constData(), kUser, kUser), 0);

    // A device node only this run sees lets the user's driver check succeed, in a network
    // namespace of the run's own.
    const QString device = scratch.filePath(QStringLiteral("dev"));
    QDir().mkpath(device);
    QProcessEnvironment env;
    env.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH"));
    env.insert(QStringLiteral("DISPLAY"), qEnvironmentVariable("DISPLAY"));
    env.insert(QStringLiteral("XAUTHORITY"), xauthority);
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    env.insert(QStringLiteral("LUMAR_LOG_LEVEL"), QStringLiteral("0"));
    // The test's own no-bus address: a dbus-launch forked from a thread can hang under ASan.
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
               qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"));
    QProcess lumar;
    lumar.setProcessEnvironment(env);
    lumar.setWorkingDirectory(home);
    lumar.start(
        QStringLiteral("unshare"),
        {QStringLiteral("--mount"), QStringLiteral("--net"),
         QStringLiteral("--propagation=private"), QStringLiteral("sh"), QStringLiteral("-c"),
         QStringLiteral("mount -t tmpfs -o mode=755 tmpfs %1 && "
                        "mknod -m 666 %1/tun c 10 200 && "
                        "mount --bind %1/tun /dev/net/tun && "
                        "exec setpriv --reuid=%2 --regid=%2 --clear-groups "
                        "--inh-caps=+net_admin --ambient-caps=+net_admin %3/lumar")
             .arg(device)
             .arg(kUser)
             .arg(installed)});
    ASSERT_TRUE(client_test::waitForViewableXWindow(QStringLiteral("lumar"), 60s))
        << lumar.readAllStandardError().toStdString();
    EXPECT_EQ(client_test::findXWindow(QStringLiteral("lumar")).geometry.width(), 400);

    const QString state = home + QStringLiteral("/.local/state/lumar");
    const QString log = state + QStringLiteral("/Corvel.log");
    EXPECT_TRUE(waitFor([&] { return hasSandboxedChild(lumar.processId()); }, 30s))
        << "no renderer in a sandbox";
    ASSERT_TRUE(
        waitFor([&] { return readText(log).contains(QStringLiteral("page_options.json")); }, 30s))
        << readText(log).toStdString() << lumar.readAllStandardError().toStdString();
    // The page has drawn by then.
    QTest::qWait(3000);
    client_test::saveScreenScreenshot(QStringLiteral("installed_as_user"));
    const QString text = readText(log);
    EXPECT_TRUE(text.contains(QStringLiteral("Ignoring %1/lumar/page_options.json: it is writable "
                                             "by group or others.")
                                  .arg(config)));
    EXPECT_TRUE(text.contains(QStringLiteral("[Message: The web view runs in its sandbox.]")));
    EXPECT_FALSE(QDir(runtime + QStringLiteral("/lumar"))
                     .entryList({QStringLiteral("singleinstance-*")}, QDir::Files | QDir::System)
                     .isEmpty());
    struct stat st {};
    ASSERT_EQ(stat(QFile::encodeName(state).constData(), &st), 0);
    EXPECT_EQ(st.st_uid, kUser);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    kill(static_cast<pid_t>(lumar.processId()), SIGSEGV);
    ASSERT_TRUE(lumar.waitForFinished(30000));
    EXPECT_TRUE(readText(state + QStringLiteral("/lumar.dmp")).startsWith("Signal: 11 (SIGSEGV)"));
    EXPECT_TRUE(
        readText(log).contains(QStringLiteral("Fatal signal 11 (SIGSEGV), dump lumar.dmp")));
    EXPECT_EQ(QDir(installed).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
              (QStringList{QStringLiteral("index.html"), QStringLiteral("lumar")}));
}
