#include "crash_dump.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QtGlobal>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>

#include "client_log.h"
#include "program_locations.h"

namespace {

struct FatalSignal {
    int number;
    const char* name;
};

constexpr std::array<FatalSignal, 5> kFatalSignals{{
    {SIGSEGV, "SIGSEGV"},
    {SIGBUS, "SIGBUS"},
    {SIGILL, "SIGILL"},
    {SIGFPE, "SIGFPE"},
    {SIGABRT, "SIGABRT"},
}};

constexpr int kMaxFrames = 128;
// Naming the frames takes the dynamic loader's lock, which another thread may hold for good (a
// library constructor that never returns, a fault inside dlopen): the backtrace gets this long
// before the process ends without it.
constexpr unsigned kBacktraceSeconds = 5;
constexpr char kLogFileName[] = "Corvel.log";
constexpr char kFatalMessage[] =
    u8"发生严重错误，即将退出！\r\n请将安装目录下的 \"Orvane.dmp文件\" 提交给开发人员！";
// The time stamp of a client log line: "yyyy-MM-dd hh:mm:ss zzz".
constexpr char kStampPattern[] = "dddd-dd-dd dd:dd:dd ddd";
constexpr int kStampLength = sizeof(kStampPattern) - 1;

// Everything the handler touches is prepared at installation: no allocation, no Qt, no
// stdio once a signal arrives.
int g_dirFd = AT_FDCWD;
std::string g_dumpName;
std::array<std::string, kFatalSignals.size()> g_logLines;
int g_stampOffset = -1;
bool g_logFatal = false;
bool g_logDirTrusted = false;
long g_utcOffsetSeconds = 0;
struct sigaction g_action;
struct sigaction g_timeoutAction;
std::atomic<bool> g_crashing{false};
volatile sig_atomic_t g_crashSignal = 0;

// Async-signal-safe output helpers.
void writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
}

void writeText(int fd, const char* text) {
    writeAll(fd, text, std::strlen(text));
}

void writeNumber(int fd, unsigned long long value, unsigned base, int minDigits = 1) {
    char digits[32];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[value % base];
        value /= base;
    } while (value != 0 && n < static_cast<int>(sizeof digits));
    while (n < minDigits && n < static_cast<int>(sizeof digits)) {
        digits[n++] = '0';
    }
    char text[32];
    for (int i = 0; i < n; ++i) {
        text[i] = digits[n - 1 - i];
    }
    writeAll(fd, text, static_cast<size_t>(n));
}

void writeSigned(int fd, long long value) {
    if (value < 0) {
        writeText(fd, "-");
        writeNumber(fd, static_cast<unsigned long long>(-(value + 1)) + 1, 10);
    } else {
        writeNumber(fd, static_cast<unsigned long long>(value), 10);
    }
}

int signalIndex(int sig) {
    for (size_t i = 0; i < kFatalSignals.size(); ++i) {
        if (kFatalSignals[i].number == sig) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void copyFile(int from, int to) {
    char buffer[4096];
    ssize_t n;
    while ((n = read(from, buffer, sizeof buffer)) > 0) {
        writeAll(to, buffer, static_cast<size_t>(n));
    }
}

void writeDump(int sig, const siginfo_t* info, const char* name) {
    unlinkat(g_dirFd, g_dumpName.c_str(), 0);
    const int fd = openat(g_dirFd, g_dumpName.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return;
    }
    writeText(fd, "Signal: ");
    writeSigned(fd, sig);
    writeText(fd, " (");
    writeText(fd, name);
    writeText(fd, ")\nCode: ");
    writeSigned(fd, info->si_code);
    // Signals sent by a process carry its id where a fault carries the address.
    if (info->si_code <= 0) {
        writeText(fd, "\nSent by process: ");
        writeSigned(fd, info->si_pid);
    } else {
        writeText(fd, "\nAddress: 0x");
        writeNumber(fd, reinterpret_cast<uintptr_t>(info->si_addr), 16, 2 * sizeof(void*));
    }
    writeText(fd, "\nProcess: ");
    writeSigned(fd, getpid());
    writeText(fd, "\nThread: ");
    writeSigned(fd, syscall(SYS_gettid));
    writeText(fd, "\nBacktrace:\n");
    sigaction(SIGALRM, &g_timeoutAction, nullptr);
    alarm(kBacktraceSeconds);
    void* frames[kMaxFrames];
    const int count = backtrace(frames, kMaxFrames);
    backtrace_symbols_fd(frames, count, fd);
    alarm(0);
    // The map turns the addresses of unnamed frames into module offsets.
    writeText(fd, "Memory map:\n");
    const int maps = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (maps >= 0) {
        copyFile(maps, fd);
        close(maps);
    }
    fsync(fd);
    close(fd);
}

// Civil date from days since 1970-01-01 (proleptic Gregorian), pure arithmetic.
void civilFromDays(long long days, long long& year, unsigned& month, unsigned& day) {
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<long long>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
}

void putDigits(char* out, unsigned long long value, int digits) {
    for (int i = digits - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

// The local time as the client log writes it, with the UTC offset taken at installation
// (the time zone database is not safe to read here).
void formatStamp(char* out) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const long long local = static_cast<long long>(now.tv_sec) + g_utcOffsetSeconds;
    long long days = local / 86400;
    long long secondOfDay = local % 86400;
    if (secondOfDay < 0) {
        secondOfDay += 86400;
        --days;
    }
    long long year;
    unsigned month, day;
    civilFromDays(days, year, month, day);
    std::memcpy(out, kStampPattern, kStampLength);
    putDigits(out, static_cast<unsigned long long>(year), 4);
    putDigits(out + 5, month, 2);
    putDigits(out + 8, day, 2);
    putDigits(out + 11, static_cast<unsigned long long>(secondOfDay / 3600), 2);
    putDigits(out + 14, static_cast<unsigned long long>(secondOfDay / 60 % 60), 2);
    putDigits(out + 17, static_cast<unsigned long long>(secondOfDay % 60), 2);
    putDigits(out + 20, static_cast<unsigned long long>(now.tv_nsec / 1000000), 3);
}

// The client log's own handler locks a mutex and allocates; this appends the line that was
// formatted at installation, with the time stamp of now.
void appendLogLine(int index) {
    if (!g_logFatal) {
        return;
    }
    std::string& line = g_logLines[static_cast<size_t>(index)];
    if (g_stampOffset >= 0) {
        formatStamp(line.data() + g_stampOffset);
    }
    const int fd =
        openat(g_dirFd, kLogFileName, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return;
    }
    writeAll(fd, line.data(), line.size());
    close(fd);
}

// The message, the log line and the signal's own end of the process.
[[noreturn]] void finishCrash(int sig) {
    writeText(STDERR_FILENO, kFatalMessage);
    writeText(STDERR_FILENO, "\n");
    const int index = signalIndex(sig);
    if (index >= 0) {
        appendLogLine(index);
    }
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&defaultAction.sa_mask);
    sigaction(sig, &defaultAction, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(sig);
    _exit(128 + sig);
}

// The backtrace did not come back in time; the dump keeps what was written before it.
void backtraceTimedOut(int) {
    finishCrash(g_crashSignal);
}

}  // namespace

// Not in the anonymous namespace: the dump's backtrace names it.
void crashSignalHandler(int sig, siginfo_t* info, void*) {
    // Only the first fatal signal reports; the others wait for the process to end.
    if (g_crashing.exchange(true)) {
        for (;;) {
            pause();
        }
    }
    g_crashSignal = sig;
    const int index = signalIndex(sig);
    const char* name = index >= 0 ? kFatalSignals[static_cast<size_t>(index)].name : "?";
    writeDump(sig, info, name);
    finishCrash(sig);
}

namespace {

// The time stamp's position in a line formatted by clientLogLine; -1 when the layout has none.
int findStamp(const std::string& line) {
    for (int at = 0; at + kStampLength <= static_cast<int>(line.size()); ++at) {
        bool match = true;
        for (int i = 0; i < kStampLength && match; ++i) {
            const char c = line[at + i];
            match = kStampPattern[i] == 'd' ? (c >= '0' && c <= '9') : c == kStampPattern[i];
        }
        if (match) {
            return at;
        }
    }
    return -1;
}

void prepareLogLines() {
    g_logFatal = static_cast<int>(QtFatalMsg) >= clientLogThreshold() && g_logDirTrusted;
    const QMessageLogContext context(__FILE__, __LINE__, "crashSignalHandler", "default");
    for (size_t i = 0; i < kFatalSignals.size(); ++i) {
        const QString text =
            QStringLiteral("Fatal signal %1 (%2), dump %3. %4")
                .arg(kFatalSignals[i].number)
                .arg(QLatin1String(kFatalSignals[i].name), QString::fromStdString(g_dumpName),
                     QString::fromUtf8(kFatalMessage));
        g_logLines[i] =
            (clientLogLine(QtFatalMsg, context, text) + QLatin1Char('\n')).toStdString();
    }
    g_stampOffset = findStamp(g_logLines[0]);

    const time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    g_utcOffsetSeconds = local.tm_gmtoff;
}

void prepareFiles() {
    const QFileInfo exe(QFile::symLinkTarget(QStringLiteral("/proc/self/exe")));
    const QString dir = stateDirectory();
    // A directory descriptor keeps the dump in its place however long the path is.
    const int dirFd =
        dir.isEmpty() ? -1
                      : open(QFile::encodeName(dir).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    // Without one the dump goes to the working directory.
    g_dirFd = dirFd >= 0 ? dirFd : AT_FDCWD;
    g_dumpName = QFile::encodeName(exe.baseName() + QStringLiteral(".dmp")).toStdString();
    // The client log's own rule: appended only where nobody else can put a file.
    g_logDirTrusted = clientLogDirectory() == dir && !dir.isEmpty();
}

bool isOurs(const struct sigaction& action) {
    return (action.sa_flags & SA_SIGINFO) && action.sa_sigaction == crashSignalHandler;
}

}  // namespace

void installCrashHandlers() {
    prepareFiles();
    prepareLogLines();

    // The first call loads the unwinder, which would otherwise allocate inside the handler.
    void* frames[1];
    backtrace(frames, 1);

    ensureThreadSignalStack();
    g_timeoutAction = {};
    g_timeoutAction.sa_handler = backtraceTimedOut;
    g_timeoutAction.sa_flags = SA_ONSTACK;
    sigemptyset(&g_timeoutAction.sa_mask);

    g_action = {};
    g_action.sa_sigaction = crashSignalHandler;
    g_action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    // A fault inside the handler then ends the process at once instead of re-entering it.
    sigemptyset(&g_action.sa_mask);
    for (const FatalSignal& fatal : kFatalSignals) {
        sigaddset(&g_action.sa_mask, fatal.number);
    }
    for (const FatalSignal& fatal : kFatalSignals) {
        sigaction(fatal.number, &g_action, nullptr);
    }
}

int reinstateCrashHandlers() {
    int reinstated = 0;
    if (!isOurs(g_action)) {
        return reinstated;  // never installed
    }
    for (const FatalSignal& fatal : kFatalSignals) {
        struct sigaction current {};
        if (sigaction(fatal.number, nullptr, &current) == 0 && isOurs(current)) {
            continue;
        }
        sigaction(fatal.number, &g_action, nullptr);
        qWarning("Crash handler for %s was replaced; reinstated.", fatal.name);
        ++reinstated;
    }
    return reinstated;
}
