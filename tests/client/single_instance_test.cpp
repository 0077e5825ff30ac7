// The single-instance guard: the instance list, socket names, file locks and the local peer
// in this process; lumar (or, where lumar cannot show it, a program with the same start-up)
// in real processes on the test's X server.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalSocket>
#include <QRegExp>
#include <QThread>
#include <QWidget>
#include <QtEndian>
#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "client_test_support.h"
#include "instance_list.h"
#include "localpeer.h"
#include "lockedfile.h"
#include "private_files.h"
#include "single_instance_x11.h"

using namespace std::chrono_literals;
using client_test::ProgramCopy;
using client_test::waitFor;
using InstanceGuard::InstanceList;
using InstanceGuard::InstanceListFile;
using InstanceGuard::LocalPeer;
using InstanceGuard::LockedFile;
using InstanceGuard::sessionSocketName;

namespace {

constexpr int kListBytes = 1024;

// Sets an environment variable for the scope.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const QByteArray& value)
        : m_name(name), m_wasSet(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name)) {
        value.isNull() ? qunsetenv(name) : qputenv(name, value);
    }
    ~ScopedEnv() { m_wasSet ? qputenv(m_name, m_old) : qunsetenv(m_name); }

  private:
    const char* m_name;
    bool m_wasSet;
    QByteArray m_old;
};

// Collects the messages logged while it exists.
class LogCapture {
  public:
    LogCapture() {
        s_lines.clear();
        m_previous = qInstallMessageHandler(&LogCapture::handler);
    }
    ~LogCapture() { qInstallMessageHandler(m_previous); }
    bool contains(const QString& text) const {
        std::lock_guard<std::mutex> guard(s_mutex);
        return std::any_of(s_lines.begin(), s_lines.end(),
                           [&](const QString& line) { return line.contains(text); });
    }

  private:
    static void handler(QtMsgType, const QMessageLogContext&, const QString& message) {
        std::lock_guard<std::mutex> guard(s_mutex);
        s_lines.append(message);
    }
    static inline std::mutex s_mutex;
    static inline QStringList s_lines;
    QtMessageHandler m_previous;
};

QString uniqueId(const char* name) {
    static int counter = 0;
    return QStringLiteral("sitest-%1-%2-%3")
        .arg(QLatin1String(name))
        .arg(QCoreApplication::applicationPid())
        .arg(++counter);
}

}  // namespace

// ---- Instance list ----

TEST(InstanceList, HoldsAtMost127IdsAndNeverWritesPastItsBlock) {
    QByteArray memory = QByteArray(kListBytes, '\0') + QByteArray(16, '\x5a');
    InstanceList list(memory.data(), kListBytes);
    EXPECT_EQ(list.capacity(), 127);
    for (qint64 pid = 1; pid <= 127; ++pid) {
        ASSERT_TRUE(list.append(pid));
    }
    EXPECT_FALSE(list.append(128));
    EXPECT_EQ(list.entries().size(), 127);
    EXPECT_EQ(list.entries().last(), 127);
    EXPECT_EQ(memory.mid(kListBytes), QByteArray(16, '\x5a'));

    list.assign({7, 9});
    EXPECT_EQ(list.entries(), (QVector<qint64>{7, 9}));
    EXPECT_TRUE(list.append(11));
    EXPECT_EQ(list.entries(), (QVector<qint64>{7, 9, 11}));
}

TEST(InstanceList, BlockWithoutEndMarkIsReadToItsEndAndTakesNoMore) {
    QByteArray memory(kListBytes, '\x01');
    InstanceList list(memory.data(), kListBytes);
    EXPECT_EQ(list.entries().size(), 128);
    EXPECT_FALSE(list.append(5));
    list.assign(list.entries());  // cut to the room there is, with its end mark
    EXPECT_EQ(list.entries().size(), 127);
}

// ---- Names ----

TEST(SessionSocketName, ChecksumAndSessionInLowercaseHex) {
    {
        ScopedEnv session("XDG_SESSION_ID", "42");
        // 0x906e is the ISO 3309 CRC-16 of "123456789".
        EXPECT_EQ(sessionSocketName(QStringLiteral("123456789")),
                  QStringLiteral("singleinstance-906e-2a"));
    }
    {
        ScopedEnv session("XDG_SESSION_ID", "c2 with/slash");
        const QString name = sessionSocketName(QStringLiteral("lumar"));
        EXPECT_EQ(name, sessionSocketName(QStringLiteral("lumar")));
        EXPECT_TRUE(QRegExp(QStringLiteral("singleinstance-[1-9a-f][0-9a-f]*-[1-9a-f][0-9a-f]*"))
                        .exactMatch(name))
            << name.toStdString();
        ScopedEnv other("XDG_SESSION_ID", "c3 with/slash");
        EXPECT_NE(name, sessionSocketName(QStringLiteral("lumar")));
    }
    {
        ScopedEnv session("XDG_SESSION_ID", QByteArray());
        EXPECT_TRUE(sessionSocketName(QStringLiteral("lumar"))
                        .endsWith(QLatin1Char('-') + QString::number(getuid(), 16)));
    }
}

// ---- File locks in one process ----

class LockedFileTest : public ::testing::Test {
  protected:
    QString path() const { return m_dir.filePath(QStringLiteral("lock")); }
    QTemporaryDir m_dir;
};

TEST_F(LockedFileTest, ObjectsOfOneProcessExcludeEachOtherAndOtherDescriptorsDoNotMatter) {
    LockedFile first(path());
    LockedFile second(path());
    ASSERT_TRUE(first.open(QIODevice::ReadWrite));
    ASSERT_TRUE(second.open(QIODevice::ReadWrite));
    ASSERT_TRUE(first.lock(LockedFile::ExclusiveLock, false));
    EXPECT_FALSE(second.lock(LockedFile::SharedLock, false));
    EXPECT_FALSE(second.lock(LockedFile::ExclusiveLock, false));
    EXPECT_EQ(second.currentLockMode(), LockedFile::Unlocked);
    {
        QFile other(path());
        ASSERT_TRUE(other.open(QIODevice::ReadOnly));
    }  // closing another descriptor of the file must not free the lock
    EXPECT_FALSE(second.lock(LockedFile::ExclusiveLock, false));
    EXPECT_TRUE(first.unlock());
    EXPECT_TRUE(second.lock(LockedFile::ExclusiveLock, false));
}

TEST_F(LockedFileTest, SharedHoldersCoexistAndOnlyTheLastRemovesTheFile) {
    LockedFile first(path());
    LockedFile second(path());
    ASSERT_TRUE(first.open(QIODevice::ReadWrite));
    ASSERT_TRUE(second.open(QIODevice::ReadWrite));
    ASSERT_TRUE(first.lock(LockedFile::SharedLock, false));
    ASSERT_TRUE(second.lock(LockedFile::SharedLock, false));
    EXPECT_TRUE(first.unlock());
    EXPECT_TRUE(QFileInfo::exists(path()));
    LockedFile writer(path());
    ASSERT_TRUE(writer.open(QIODevice::ReadWrite));
    EXPECT_FALSE(writer.lock(LockedFile::ExclusiveLock, false));
    EXPECT_TRUE(second.unlock());
    EXPECT_FALSE(QFileInfo::exists(path()));
}

TEST_F(LockedFileTest, RelockAfterRemovalLocksTheFileNowAtThePath) {
    LockedFile holder(path());
    ASSERT_TRUE(holder.open(QIODevice::ReadWrite));
    ASSERT_TRUE(holder.lock(LockedFile::SharedLock, false));
    // Changing the mode unlocks first, which removes the file; the new lock must be on the
    // file a newcomer opens.
    ASSERT_TRUE(holder.lock(LockedFile::ExclusiveLock, false));
    EXPECT_EQ(holder.currentLockMode(), LockedFile::ExclusiveLock);
    LockedFile newcomer(path());
    ASSERT_TRUE(newcomer.open(QIODevice::ReadWrite));
    EXPECT_FALSE(newcomer.lock(LockedFile::SharedLock, false));
}

TEST_F(LockedFileTest, ClosedFileRefusesLockAndUnlock) {
    LogCapture log;
    LockedFile file(path());
    EXPECT_FALSE(file.lock(LockedFile::SharedLock, true));
    EXPECT_TRUE(log.contains(QStringLiteral("LockedFile::lock(): file is not opened")));
    EXPECT_FALSE(file.unlock());
    EXPECT_TRUE(log.contains(QStringLiteral("LockedFile::unlock(): file is not opened")));
    EXPECT_FALSE(file.hasLock());
}

// ---- Local peer in one process ----

TEST(LocalPeerTest, OwnerAnswersAckAndEmitsTheMessage) {
    const QString id = uniqueId("deliver");
    LocalPeer owner(nullptr, id);
    ASSERT_FALSE(owner.isClient());
    EXPECT_FALSE(owner.isClient());  // still the owner
    QStringList received;
    QObject::connect(&owner, &LocalPeer::messageReceived,
                     [&](const QString& message, QObject* socket) {
                         EXPECT_NE(qobject_cast<QLocalSocket*>(socket), nullptr);
                         received << message;
                     });
    const QString text = QStringLiteral("raise_window_noop ü 窗口");
    auto delivered = std::async(std::launch::async, [&] {
        LocalPeer sender(nullptr, id);
        return sender.isClient() && sender.deliver(text, 5000);
    });
    ASSERT_TRUE(waitFor([&] { return delivered.wait_for(0s) == std::future_status::ready; }));
    EXPECT_TRUE(delivered.get());
    EXPECT_EQ(received, QStringList{text});
}

TEST(LocalPeerTest, DeliverToAnUnownedNameFailsAndHoldsTheNameMeanwhile) {
    const QString id = uniqueId("unowned");
    QElapsedTimer timer;
    timer.start();
    auto asker = std::make_unique<LocalPeer>(nullptr, id);
    EXPECT_FALSE(asker->deliver(QStringLiteral("hello"), 4000));
    EXPECT_LT(timer.elapsed(), 1000);  // nothing to connect to, nothing waited for
    LocalPeer other(nullptr, id);
    EXPECT_TRUE(other.isClient());
    asker.reset();
    EXPECT_FALSE(other.isClient());
}

class LocalPeerReceptionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(m_owner.isClient());
        QObject::connect(&m_owner, &LocalPeer::messageReceived,
                         [this](const QString& message) { m_received << message; });
        m_socket.connectToServer(InstanceGuard::guardDirectory() + QLatin1Char('/') +
                                 sessionSocketName(m_id));
        ASSERT_TRUE(m_socket.waitForConnected(2000));
    }
    void send(const QByteArray& bytes) {
        m_socket.write(bytes);
        ASSERT_TRUE(m_socket.waitForBytesWritten(2000));
    }
    static QByteArray length(quint32 value) {
        QByteArray bytes(4, '\0');
        qToBigEndian(value, bytes.data());
        return bytes;
    }

    QString m_id = uniqueId("reception");
    LocalPeer m_owner{nullptr, m_id};
    QLocalSocket m_socket;
    QStringList m_received;
    LogCapture m_log;
};

TEST_F(LocalPeerReceptionTest, MessageCutShortIsWaitedForThenDropped) {
    send(length(100) + QByteArray(10, 'x'));
    QElapsedTimer timer;
    timer.start();
    ASSERT_TRUE(waitFor([&] { return m_log.contains("LocalPeer: Message reception failed"); }));
    EXPECT_GE(timer.elapsed(), 1900);  // the owner waited for the next piece
    EXPECT_TRUE(m_received.isEmpty());
    EXPECT_EQ(m_socket.bytesAvailable(), 0);  // no "ack"
}

TEST_F(LocalPeerReceptionTest, SenderLeavingMidMessageIsNoMessage) {
    send(length(100) + QByteArray(10, 'x'));
    m_socket.disconnectFromServer();
    QElapsedTimer timer;
    timer.start();
    ASSERT_TRUE(waitFor([&] { return m_log.contains("LocalPeer: Message reception failed"); }));
    EXPECT_LT(timer.elapsed(), 1500);
    EXPECT_TRUE(m_received.isEmpty());
}

// One byte now and then would keep every single wait short: the message as a whole has 2 s.
TEST_F(LocalPeerReceptionTest, TricklingSenderGetsTwoSecondsForTheWholeMessage) {
    const int fd = int(m_socket.socketDescriptor());
    std::atomic<bool> done{false};
    std::thread trickle([&] {
        const QByteArray bytes = length(20) + QByteArray(20, 'x');
        for (int i = 0; i < bytes.size() && !done; ++i) {
            if (::write(fd, bytes.constData() + i, 1) != 1) {
                return;
            }
            for (int slept = 0; slept < 900 && !done; slept += 10) {
                QThread::msleep(10);
            }
        }
    });
    QElapsedTimer timer;
    timer.start();
    const bool failed =
        waitFor([&] { return m_log.contains("LocalPeer: Message reception failed"); }, 6s);
    const qint64 elapsed = timer.elapsed();
    done = true;
    trickle.join();
    EXPECT_TRUE(failed);
    EXPECT_LT(elapsed, 3000);
    EXPECT_TRUE(m_received.isEmpty());
}

TEST_F(LocalPeerReceptionTest, HugeLengthIsRefusedWithoutWaitingForTheData) {
    send(length(0xfffffff0u) + QByteArray("abc"));
    ASSERT_TRUE(waitFor([&] { return m_log.contains("LocalPeer: Message reception failed"); }));
    EXPECT_TRUE(m_received.isEmpty());
}

TEST_F(LocalPeerReceptionTest, SilentSenderDoesNotHoldTheOwnerAndOthersStillGetThrough) {
    ASSERT_TRUE(waitFor([&] { return m_log.contains("LocalPeer: Message reception failed"); }));
    auto delivered = std::async(std::launch::async, [&] {
        LocalPeer sender(nullptr, m_id);
        return sender.deliver(QStringLiteral("after"), 5000);
    });
    ASSERT_TRUE(waitFor([&] { return delivered.wait_for(0s) == std::future_status::ready; }));
    EXPECT_TRUE(delivered.get());
    EXPECT_EQ(m_received, QStringList{QStringLiteral("after")});
}

// ---- File locks across processes ----

namespace {

// A process holding a LockedFile (the probe's "lock" mode).
class LockHolder {
  public:
    // `runAs`: a command line the probe runs under (another user's, say).
    LockHolder(const QString& path, const char* mode, const char* wait,
               const QStringList& runAs = {}) {
        const QStringList probe{QStringLiteral(SINGLE_INSTANCE_PROBE), QStringLiteral("lock"), path,
                                QLatin1String(mode), QLatin1String(wait)};
        const QStringList command = runAs + probe;
        m_process.start(command.first(), command.mid(1));
    }
    ~LockHolder() {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
    // The next line of output, or an empty string when none comes in time.
    QString nextLine(std::chrono::milliseconds timeout = 10s) {
        waitFor([&] { return m_process.canReadLine(); }, timeout);
        return QString::fromLatin1(m_process.readLine()).trimmed();
    }
    void unlock() { m_process.write("unlock\n"); }

  private:
    QProcess m_process;
};

}  // namespace

TEST_F(LockedFileTest, AcrossProcessesSharedLocksCoexistAndExclusiveExcludes) {
    {
        LockHolder reader1(path(), "shared", "nowait");
        ASSERT_EQ(reader1.nextLine(), "locked 1");
        LockHolder reader2(path(), "shared", "nowait");
        EXPECT_EQ(reader2.nextLine(), "locked 1");
        LockHolder writer(path(), "exclusive", "nowait");
        EXPECT_EQ(writer.nextLine(), "locked 0");
    }
    LockHolder writer(path(), "exclusive", "nowait");
    ASSERT_EQ(writer.nextLine(), "locked 1");
    LockHolder reader(path(), "shared", "nowait");
    EXPECT_EQ(reader.nextLine(), "locked 0");
    LockHolder otherWriter(path(), "exclusive", "nowait");
    EXPECT_EQ(otherWriter.nextLine(), "locked 0");
}

TEST_F(LockedFileTest, AcrossProcessesBlockingLockWaitsForTheReleaseAndThenExcludes) {
    LockHolder holder(path(), "exclusive", "nowait");
    ASSERT_EQ(holder.nextLine(), "locked 1");
    LockHolder waiter(path(), "exclusive", "wait");
    EXPECT_EQ(waiter.nextLine(1500ms), "");  // still waiting
    holder.unlock();
    EXPECT_EQ(holder.nextLine(), "unlocked 1");
    EXPECT_EQ(waiter.nextLine(), "locked 1");
    // The holder removed the file on release; the waiter must now hold the file a newcomer
    // opens, not the removed one.
    LockHolder newcomer(path(), "shared", "nowait");
    EXPECT_EQ(newcomer.nextLine(), "locked 0");
}

// ---- lumar in real processes ----

namespace {

// For its lifetime this process derives names as the program copy's processes do.
class CopyNames {
  public:
    explicit CopyNames(const ProgramCopy& copy)
        : m_temp("TMPDIR", copy.tempDir().toLocal8Bit()),
          m_session("XDG_SESSION_ID",
                    copy.environment().value(QStringLiteral("XDG_SESSION_ID")).toLocal8Bit()) {}
    // A file named after sessionSocketName(id) in the guard's directory.
    static QString path(const QString& id, const QString& suffix = {}) {
        return InstanceGuard::guardDirectory() + QLatin1Char('/') + sessionSocketName(id) + suffix;
    }

  private:
    ScopedEnv m_temp;
    ScopedEnv m_session;
};

QString listLockPath(const ProgramCopy& copy) {
    CopyNames names(copy);
    return names.path(QStringLiteral("lumar"), QStringLiteral("-instances"));
}

// The socket file of a running instance's peer.
QString peerSocketPath(const ProgramCopy& copy, qint64 pid) {
    CopyNames names(copy);
    return names.path(QStringLiteral("lumar-%1").arg(pid));
}

// The instance list of the program copy's session, as the program finds it.
InstanceListFile listFile(const ProgramCopy& copy) {
    InstanceListFile file(listLockPath(copy) + QStringLiteral(".list"));
    EXPECT_TRUE(file.load());
    return file;
}

QVector<qint64> listedIds(const ProgramCopy& copy) {
    return listFile(copy).list().entries();
}

void writeList(const ProgramCopy& copy, const QVector<qint64>& pids) {
    InstanceListFile file = listFile(copy);
    file.list().assign(pids);
    ASSERT_TRUE(file.store());
}

// Whether a start has said, on its standard error (its log is not set up yet), that it waits
// for the instance list's lock; `said` keeps what was read.
bool waitsForTheList(QProcess& process, QByteArray& said) {
    said += process.readAllStandardError();
    return said.contains("Waiting for the instance list's lock.");
}

QProcessEnvironment debugLog() {
    QProcessEnvironment env;
    env.insert(QStringLiteral("LUMAR_LOG_LEVEL"), QStringLiteral("0"));
    return env;
}

void stop(QProcess& process) {
    if (process.state() == QProcess::NotRunning) {
        return;
    }
    process.terminate();
    if (!process.waitForFinished(15000)) {
        process.kill();
        process.waitForFinished();
    }
}

constexpr uid_t kNobody = 65534;

// setpriv arguments that run a program as nobody, with `dacOverride` able to pass the file
// permissions that keep it out, as a privileged process could.
QStringList asNobody(bool dacOverride = false) {
    QStringList args{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                     QStringLiteral("--clear-groups")};
    if (dacOverride) {
        args << QStringLiteral("--inh-caps=+dac_override")
             << QStringLiteral("--ambient-caps=+dac_override");
    }
    return args;
}

bool finishes(QProcess& process, std::chrono::milliseconds timeout = 60s) {
    return waitFor([&] { return process.state() == QProcess::NotRunning; }, timeout);
}

// A window of the test's own, shown over the instance's window, so that a raise is seen to
// put the instance's window back on top. (Without a window manager the X server refuses the
// activation's focus change for its old time stamp, so the focus says nothing here.)
class CoveringWindow {
  public:
    CoveringWindow() {
        m_window.setWindowTitle(QStringLiteral("covering window"));
        m_window.resize(400, 800);
        m_window.show();
        m_window.raise();
    }
    bool isBelow(unsigned long window) const {
        return x11_probe::isStackedAbove(window, static_cast<unsigned long>(m_window.winId()));
    }
    bool isAbove(unsigned long window) const {
        return x11_probe::isStackedAbove(static_cast<unsigned long>(m_window.winId()), window);
    }

  private:
    QWidget m_window;
};

}  // namespace

class InstanceProcessTest : public ::testing::Test {
  protected:
    void TearDown() override {
        for (QProcess* process : {&m_first, &m_second}) {
            stop(*process);
        }
    }
    qint64 startFirst(const QStringList& args = {}) {
        m_copy.start(m_first, args, debugLog());
        const bool shown = waitFor(
            [&] {
                return m_first.state() == QProcess::NotRunning ||
                       x11_probe::viewableWindowOf(m_first.processId()) != 0;
            },
            60s);
        return shown && m_first.state() == QProcess::Running ? m_first.processId() : 0;
    }
    QString log() const { return client_test::readText(m_copy.file(QStringLiteral("Corvel.log"))); }

    ProgramCopy m_copy;
    QProcess m_first;
    QProcess m_second;
};

TEST_F(InstanceProcessTest, FirstStartRegistersAndASecondStartRaisesIt) {
    const qint64 first = startFirst();
    ASSERT_NE(first, 0);
    EXPECT_EQ(listedIds(m_copy), QVector<qint64>{first});
    EXPECT_TRUE(QFileInfo::exists(peerSocketPath(m_copy, first)));

    const unsigned long window = x11_probe::viewableWindowOf(first);
    CoveringWindow cover;
    ASSERT_TRUE(waitFor([&] { return cover.isAbove(window); }));
    m_copy.start(m_second);
    ASSERT_TRUE(m_second.waitForStarted());
    ASSERT_TRUE(finishes(m_second)) << "the second start did not end";
    EXPECT_EQ(m_second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(m_second.exitCode(), 0);
    EXPECT_TRUE(waitFor([&] { return cover.isBelow(window); }))
        << "the first instance's window was not raised";
    EXPECT_TRUE(log().contains(QStringLiteral("raise window")));
    EXPECT_EQ(m_first.state(), QProcess::Running);
    // The second start took itself off the list when it ended.
    EXPECT_EQ(listedIds(m_copy), QVector<qint64>{first});
}

TEST_F(InstanceProcessTest, KilledFirstInstanceIsSkippedAndItsNameCleanedUp) {
    const qint64 killed = startFirst();
    ASSERT_NE(killed, 0);
    ::kill(pid_t(killed), SIGKILL);
    ASSERT_TRUE(finishes(m_first));
    ASSERT_TRUE(QFileInfo::exists(peerSocketPath(m_copy, killed)));

    m_copy.start(m_second, {}, debugLog());
    ASSERT_TRUE(
        waitFor([&] { return x11_probe::viewableWindowOf(m_second.processId()) != 0; }, 60s))
        << "the new start did not become the first instance; state " << m_second.state()
        << ", exit code " << m_second.exitCode() << ", log:\n"
        << log().toStdString() << m_second.readAllStandardError().toStdString();
    EXPECT_EQ(m_second.state(), QProcess::Running);
    EXPECT_EQ(listedIds(m_copy), (QVector<qint64>{killed, m_second.processId()}));
    EXPECT_FALSE(QFileInfo::exists(peerSocketPath(m_copy, killed)));
    EXPECT_FALSE(QFileInfo::exists(peerSocketPath(m_copy, killed) + QStringLiteral("-lockfile")));
}

TEST_F(InstanceProcessTest, SimultaneousStartsLeaveExactlyOneOwner) {
    // Both starts are held at the instance list's lock, so that they really meet there.
    LockHolder gate(listLockPath(m_copy), "exclusive", "nowait");
    ASSERT_EQ(gate.nextLine(), "locked 1");
    m_copy.start(m_first, {}, debugLog());
    m_copy.start(m_second, {}, debugLog());
    ASSERT_TRUE(m_first.waitForStarted() && m_second.waitForStarted());
    QByteArray firstSaid, secondSaid;
    ASSERT_TRUE(waitFor(
        [&] {
            return waitsForTheList(m_first, firstSaid) && waitsForTheList(m_second, secondSaid);
        },
        60s));
    gate.unlock();
    ASSERT_TRUE(waitFor(
        [&] {
            return m_first.state() == QProcess::NotRunning ||
                   m_second.state() == QProcess::NotRunning;
        },
        60s))
        << "neither start gave way";
    QProcess& loser = m_first.state() == QProcess::NotRunning ? m_first : m_second;
    QProcess& owner = &loser == &m_first ? m_second : m_first;
    EXPECT_EQ(loser.exitCode(), 0);
    ASSERT_TRUE(waitFor([&] { return x11_probe::viewableWindowOf(owner.processId()) != 0; }, 60s));
    QThread::sleep(2);
    EXPECT_EQ(owner.state(), QProcess::Running);
    EXPECT_EQ(listedIds(m_copy), QVector<qint64>{owner.processId()});
}

TEST_F(InstanceProcessTest, StartWaitingAtTheLockReadsTheListItGetsThere) {
    // Another start may register while this one waits at the lock; it must be found there
    // rather than written over.
    LockHolder gate(listLockPath(m_copy), "exclusive", "nowait");
    ASSERT_EQ(gate.nextLine(), "locked 1");
    m_copy.start(m_first, {}, debugLog());
    QByteArray said;
    ASSERT_TRUE(waitFor([&] { return waitsForTheList(m_first, said); }, 60s));

    // This process plays the start that got in first.
    CopyNames names(m_copy);
    const qint64 self = QCoreApplication::applicationPid();
    LocalPeer peer(nullptr, QStringLiteral("lumar-%1").arg(self));
    ASSERT_FALSE(peer.isClient());
    QStringList received;
    QObject::connect(&peer, &LocalPeer::messageReceived,
                     [&](const QString& message) { received << message; });
    writeList(m_copy, {self});
    gate.unlock();

    ASSERT_TRUE(finishes(m_first)) << "the start took itself for the first instance";
    EXPECT_EQ(m_first.exitCode(), 0);
    EXPECT_EQ(received, QStringList{QStringLiteral("raise_window_noop")});
    EXPECT_EQ(listedIds(m_copy), QVector<qint64>{self});
}

TEST_F(InstanceProcessTest, ListLockHeldForGoodHoldsTheStartForFiveSecondsOnly) {
    LockHolder gate(listLockPath(m_copy), "exclusive", "nowait");
    ASSERT_EQ(gate.nextLine(), "locked 1");
    QElapsedTimer timer;
    timer.start();
    ASSERT_NE(startFirst(), 0);
    EXPECT_GE(timer.elapsed(), 5000);
    EXPECT_TRUE(m_first.readAllStandardError().contains(
        "Instance list lock refused or held for over 5 s: starting as the first instance."));
}

TEST_F(InstanceProcessTest, FullListIsCompactedOrLeftAsItIs) {
    CopyNames names(m_copy);
    // Ids above the kernel's pid limit (2^22) never belong to a live process.
    QVector<qint64> pids;
    while (pids.size() < kListBytes / int(sizeof(qint64)) - 1) {
        pids.append(5000000 + pids.size());
    }

    // Ended instances make room.
    writeList(m_copy, pids);
    m_copy.start(m_first, {}, debugLog());
    ASSERT_TRUE(
        waitFor([&] { return x11_probe::viewableWindowOf(m_first.processId()) != 0; }, 60s));
    EXPECT_EQ(listedIds(m_copy), QVector<qint64>{m_first.processId()});
    stop(m_first);

    // Live ones do not: the start stays off the list and still reaches the first of them.
    std::vector<std::unique_ptr<LocalPeer>> peers;
    for (const qint64 pid : pids) {
        peers.push_back(std::make_unique<LocalPeer>(nullptr, QStringLiteral("lumar-%1").arg(pid)));
        ASSERT_FALSE(peers.back()->isClient());
    }
    QStringList received;
    QObject::connect(peers.front().get(), &LocalPeer::messageReceived,
                     [&](const QString& message) { received << message; });
    writeList(m_copy, pids);
    m_copy.start(m_second, {}, debugLog());
    ASSERT_TRUE(finishes(m_second));
    EXPECT_EQ(m_second.exitCode(), 0);
    EXPECT_EQ(received, QStringList{QStringLiteral("raise_window_noop")});
    EXPECT_TRUE(m_second.readAllStandardError().contains(
        "Instance list is full, this instance is not registered"));
    EXPECT_EQ(listedIds(m_copy), pids);
}

TEST_F(InstanceProcessTest, BrokenFramingIsNotTakenForAMessage) {
    const qint64 first = startFirst();
    ASSERT_NE(first, 0);
    QLocalSocket socket;
    socket.connectToServer(peerSocketPath(m_copy, first));
    ASSERT_TRUE(socket.waitForConnected(5000));
    QByteArray framing(4, '\0');
    qToBigEndian(quint32(17), framing.data());
    socket.write(framing + "raise_wi");
    ASSERT_TRUE(socket.waitForBytesWritten(5000));
    EXPECT_TRUE(waitFor(
        [&] { return log().contains(QStringLiteral("LocalPeer: Message reception failed")); },
        30s));
    EXPECT_FALSE(log().contains(QStringLiteral("raise window")));
    EXPECT_EQ(socket.bytesAvailable(), 0);
    EXPECT_EQ(m_first.state(), QProcess::Running);
}

// Another user's processes in the same login session (whose id is only an environment
// variable) and with the same temporary directory, as /tmp is shared: its own instance of the
// program and a hold on the lock the instance list once had there.
TEST_F(InstanceProcessTest, AnotherUserInTheSameSessionNeitherEndsNorHoldsTheStart) {
    ASSERT_EQ(chmod(QFile::encodeName(m_copy.dir()).constData(), 0711), 0);
    ASSERT_EQ(chmod(QFile::encodeName(m_copy.tempDir()).constData(), 01777), 0);
    QTemporaryDir runtime;
    ASSERT_EQ(chown(QFile::encodeName(runtime.path()).constData(), kNobody, kNobody), 0);
    QProcessEnvironment env = m_copy.environment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QProcess rival;
    rival.setProcessEnvironment(env);
    rival.start(QStringLiteral("setpriv"),
                asNobody() +
                    QStringList{QStringLiteral(SINGLE_INSTANCE_PROBE), QStringLiteral("--hidden")});
    ASSERT_TRUE(waitFor([&] { return rival.canReadLine(); }, 30s));
    ASSERT_EQ(rival.readLine().trimmed(), "first instance");
    CopyNames names(m_copy);
    LockHolder hold(m_copy.tempDir() + QLatin1Char('/') +
                        sessionSocketName(QStringLiteral("lumar")) + QStringLiteral("-instances"),
                    "exclusive", "nowait", QStringList{QStringLiteral("setpriv")} + asNobody());
    ASSERT_EQ(hold.nextLine(), "locked 1");

    const qint64 first = startFirst();
    ASSERT_NE(first, 0) << (m_first.state() == QProcess::NotRunning ? "the start ended" : "hung");
    QThread::sleep(1);
    EXPECT_EQ(m_first.state(), QProcess::Running);

    // Only privilege gets another user to the instance's socket; its message is refused unread.
    QProcess sender;
    sender.start(QStringLiteral("setpriv"),
                 asNobody(true) + QStringList{QStringLiteral(SINGLE_INSTANCE_PROBE),
                                              QStringLiteral("send"), peerSocketPath(m_copy, first),
                                              QStringLiteral("raise_window_noop")});
    ASSERT_TRUE(sender.waitForFinished(15000));
    EXPECT_EQ(sender.readAllStandardOutput().trimmed(), "answer");
    EXPECT_TRUE(waitFor([&] {
        return log().contains(QStringLiteral("LocalPeer: connection from user 65534 refused"));
    }));
    EXPECT_FALSE(log().contains(QStringLiteral("raise window")));
    stop(rival);
}

// For any other user the guard lives in "lumar" under the user's runtime directory, and only
// where that directory is the user's own and closed to others.
TEST(UserInstanceGuard, LivesUnderTheRuntimeDirectoryOnlyWhereThatIsPrivate) {
    QTemporaryDir runtime;
    ASSERT_EQ(chown(QFile::encodeName(runtime.path()).constData(), kNobody, kNobody), 0);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    env.insert(QStringLiteral("XDG_SESSION_ID"), uniqueId("user"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    const auto start = [&](QProcess& process) {
        process.setProcessEnvironment(env);
        process.start(QStringLiteral("setpriv"),
                      asNobody() + QStringList{QStringLiteral(SINGLE_INSTANCE_PROBE),
                                               QStringLiteral("--hidden")});
        EXPECT_TRUE(waitFor([&] { return process.canReadLine(); }, 30s));
        return QString::fromLatin1(process.readLine()).trimmed();
    };
    QProcess first;
    ASSERT_EQ(start(first), "first instance");
    const QFileInfo dir(runtime.filePath(QStringLiteral("lumar")));
    EXPECT_TRUE(dir.isDir());
    EXPECT_EQ(dir.ownerId(), kNobody);
    EXPECT_EQ(dir.permissions() & 0x7077, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    EXPECT_EQ(QDir(dir.filePath()).entryList({QStringLiteral("singleinstance-*")}).size(), 2)
        << "the socket and its lock file";
    QProcess second;
    EXPECT_EQ(start(second), "delivered 1");
    EXPECT_TRUE(finishes(second));
    EXPECT_EQ(second.exitCode(), 0);
    stop(first);

    // A runtime directory others may enter is not used: the start goes on alone and says why.
    ASSERT_EQ(chmod(QFile::encodeName(runtime.path()).constData(), 0755), 0);
    QProcess alone;
    EXPECT_EQ(start(alone), "first instance");
    EXPECT_TRUE(
        alone.readAllStandardError().contains("Failed to initialize instances shared memory"));
    stop(alone);
}

// lumar always shows its window at start; this program has lumar's start-up but can start with
// its window hidden or minimised, and quits when its window is closed.
class HiddenWindowTest : public ::testing::TestWithParam<const char*> {};

TEST_P(HiddenWindowTest, SecondStartShowsRaisesAndActivatesIt) {
    ProgramCopy copy(QStringLiteral(SINGLE_INSTANCE_PROBE));
    QProcess first;
    QProcess second;
    const bool minimised = QLatin1String(GetParam()) == QLatin1String("--minimized");
    copy.start(first, {QLatin1String(GetParam())}, debugLog());
    ASSERT_TRUE(first.waitForStarted());
    const qint64 firstPid = first.processId();
    ASSERT_TRUE(waitFor([&] { return listedIds(copy) == QVector<qint64>{firstPid}; }));
    if (minimised) {
        ASSERT_TRUE(waitFor([&] { return x11_probe::viewableWindowOf(first.processId()) != 0; }));
        EXPECT_EQ(x11_probe::initialState(x11_probe::viewableWindowOf(first.processId())), 3)
            << "not iconic";
    } else {
        QThread::msleep(500);
        EXPECT_EQ(x11_probe::viewableWindowOf(first.processId()), 0u);
    }
    CoveringWindow cover;

    copy.start(second);
    ASSERT_TRUE(second.waitForStarted());
    ASSERT_TRUE(finishes(second));
    EXPECT_EQ(second.exitCode(), 0);
    unsigned long window = 0;
    ASSERT_TRUE(waitFor([&] { return (window = x11_probe::viewableWindowOf(first.processId())); }));
    EXPECT_NE(x11_probe::initialState(window), 3) << "still iconic";
    EXPECT_TRUE(waitFor([&] { return cover.isBelow(window); })) << "not raised";

    // Closing the window ends the program normally, which takes it off the list.
    x11_probe::requestClose(window);
    ASSERT_TRUE(finishes(first, 15s));
    EXPECT_EQ(first.exitCode(), 0);
    EXPECT_TRUE(listedIds(copy).isEmpty());
    stop(first);
}

INSTANTIATE_TEST_SUITE_P(StartState, HiddenWindowTest, ::testing::Values("--hidden", "--minimized"),
                         [](const auto& info) { return std::string(info.param + 2); });
