#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDebug>
#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "build_settings.h"
#include "desktop_user.h"

extern char** environ;

namespace {

struct DesktopUser {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string name;
    std::string home;
    std::string shell;
    std::vector<gid_t> groups;
};

// Everything the opener's process needs, made before fork: the child of a multi-threaded
// program may only make async-signal-safe calls.
struct Launch {
    std::vector<std::string> argv;
    std::vector<std::string> env;
    std::optional<DesktopUser> user;  // set: switch to this user
};

bool runningAsRoot() {
    return geteuid() == 0;
}

std::optional<DesktopUser> lookUpUser(uid_t uid) {
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    DesktopUser user;
    user.uid = entry.pw_uid;
    user.gid = entry.pw_gid;
    user.name = entry.pw_name;
    user.home = entry.pw_dir;
    user.shell = entry.pw_shell;
    int count = 64;
    user.groups.resize(static_cast<size_t>(count));
    if (getgrouplist(entry.pw_name, entry.pw_gid, user.groups.data(), &count) < 0) {
        user.groups.resize(static_cast<size_t>(count));
        getgrouplist(entry.pw_name, entry.pw_gid, user.groups.data(), &count);
    }
    user.groups.resize(static_cast<size_t>(std::max(count, 0)));
    return user;
}

// The user behind sudo or pkexec; never root.
std::optional<DesktopUser> sudoUser() {
    for (const char* variable : {"SUDO_UID", "PKEXEC_UID"}) {
        bool ok = false;
        const uint uid = qEnvironmentVariable(variable).toUInt(&ok, 10);
        if (ok && uid != 0) {
            if (auto user = lookUpUser(static_cast<uid_t>(uid))) {
                return user;
            }
        }
    }
    return std::nullopt;
}

bool ownedDirectory(const std::string& path, uid_t uid) {
    struct stat st {};
    return !path.empty() && lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           st.st_uid == uid;
}

// The desktop user's own environment: their identity and home, and the session's display,
// runtime directory and bus where they are known.
std::vector<std::string> userEnvironment(const DesktopUser& user) {
    std::vector<std::string> env{"HOME=" + user.home, "USER=" + user.name, "LOGNAME=" + user.name,
                                 "SHELL=" + user.shell, "PATH=/usr/local/bin:/usr/bin:/bin"};
    for (const char* passed :
         {"DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "LANG", "LANGUAGE", "LC_ALL"}) {
        if (const char* value = std::getenv(passed)) {
            env.push_back(std::string(passed) + "=" + value);
        }
    }
    std::string runtime = "/run/user/" + std::to_string(user.uid);
    if (!ownedDirectory(runtime, user.uid)) {
        const char* inherited = std::getenv("XDG_RUNTIME_DIR");
        runtime = inherited != nullptr && ownedDirectory(inherited, user.uid) ? inherited : "";
    }
    if (!runtime.empty()) {
        env.push_back("XDG_RUNTIME_DIR=" + runtime);
    }
    struct stat bus {};
    if (!runtime.empty() && lstat((runtime + "/bus").c_str(), &bus) == 0 && S_ISSOCK(bus.st_mode)) {
        env.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime + "/bus");
    } else if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
        env.push_back(std::string("DBUS_SESSION_BUS_ADDRESS=") + address);
    }
    return env;
}

std::optional<Launch> prepareLaunch(const QString& target) {
    Launch launch;
    launch.argv = {build_settings::openerProgram, QFile::encodeName(target).toStdString()};
    if (!runningAsRoot()) {
        for (char** entry = environ; *entry != nullptr; ++entry) {
            launch.env.emplace_back(*entry);
        }
        return launch;
    }
    launch.user = sudoUser();
    if (!launch.user) {
        desktopUserKnown(target);
        return std::nullopt;
    }
    launch.env = userEnvironment(*launch.user);
    return launch;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> list;
    for (std::string& text : texts) {
        list.push_back(text.data());
    }
    list.push_back(nullptr);
    return list;
}

[[noreturn]] void execOpener(Launch& launch, char** argv, char** envp, int reportFd) {
    // A descriptor of this root process must not reach the user's programs; the report
    // descriptor closes by itself once the opener runs.
    const int nullFd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (nullFd >= 0) {
        dup2(nullFd, STDIN_FILENO);
    }
    if (reportFd != 3) {
        dup3(reportFd, 3, O_CLOEXEC);
        reportFd = 3;
    }
    if (close_range(4, ~0U, 0) != 0) {
        for (int fd = 4; fd < 65536; ++fd) {
            close(fd);
        }
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &defaults, nullptr);

    int error = 0;
    if (launch.user) {
        const DesktopUser& user = *launch.user;
        if (setgroups(user.groups.size(), user.groups.data()) != 0 || setgid(user.gid) != 0 ||
            setuid(user.uid) != 0 || setuid(0) == 0) {
            error = errno != 0 ? errno : EPERM;
        } else if (chdir(user.home.c_str()) != 0 && chdir("/") != 0) {
            error = errno;
        }
    }
    if (error == 0) {
        execve(argv[0], argv, envp);
        error = errno;
    }
    ssize_t ignored = write(reportFd, &error, sizeof error);
    (void)ignored;
    _exit(127);
}

// Starts the opener in a process of its own session that nobody needs to reap. Returns 0 once
// it runs, or the error that kept it from running.
int spawnDetached(Launch& launch) {
    std::vector<char*> argv = pointers(launch.argv);
    std::vector<char*> envp = pointers(launch.env);
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        return errno;
    }
    const pid_t child = fork();
    if (child < 0) {
        const int error = errno;
        close(report[0]);
        close(report[1]);
        return error;
    }
    if (child == 0) {
        close(report[0]);
        setsid();
        const pid_t opener = fork();
        if (opener == 0) {
            execOpener(launch, argv.data(), envp.data(), report[1]);
        }
        _exit(opener < 0 ? 1 : 0);
    }
    close(report[1]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t n;
    while ((n = read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    close(report[0]);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return EAGAIN;
    }
    return n == static_cast<ssize_t>(sizeof error) ? error : 0;
}

// Kept outside Qt: the launch at exit runs after the application object is gone.
std::optional<Launch> g_launchAtExit;

void launchAtExit() {
    if (g_launchAtExit) {
        spawnDetached(*g_launchAtExit);
    }
}

}  // namespace

bool desktopUserKnown(const QString& what) {
    if (!runningAsRoot() || sudoUser().has_value()) {
        return true;
    }
    qWarning().noquote() << QStringLiteral(
                                "Not opening %1: the program runs as root and neither SUDO_UID "
                                "nor PKEXEC_UID names a desktop user to open it for.")
                                .arg(what);
    return false;
}

bool openForDesktopUser(const QString& target) {
    std::optional<Launch> launch = prepareLaunch(target);
    if (!launch) {
        return false;
    }
    const int error = spawnDetached(*launch);
    if (error != 0) {
        qCritical().noquote() << QStringLiteral("Cannot start the opener %1: %2")
                                     .arg(QString::fromLocal8Bit(build_settings::openerProgram),
                                          QString::fromLocal8Bit(std::strerror(error)));
    }
    return error == 0;
}

bool openForDesktopUserAtExit(const QString& target) {
    std::optional<Launch> launch = prepareLaunch(target);
    if (!launch) {
        return false;
    }
    const bool registered = g_launchAtExit.has_value();
    g_launchAtExit = std::move(launch);
    if (!registered) {
        std::atexit(launchAtExit);
    }
    return true;
}

bool handOverToDesktopUser(const QString& dir) {
    if (!runningAsRoot()) {
        return true;
    }
    const std::optional<DesktopUser> user = sudoUser();
    if (!user) {
        return false;
    }
    const int dirFd =
        open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0) {
        return false;
    }
    bool ok = true;
    // The files first: once the directory is the user's, they may change what is in it.
    if (DIR* listing = fdopendir(dup(dirFd))) {
        while (const dirent* entry = readdir(listing)) {
            struct stat st {};
            if (fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISREG(st.st_mode)) {
                ok = fchownat(dirFd, entry->d_name, user->uid, user->gid, AT_SYMLINK_NOFOLLOW) ==
                         0 &&
                     ok;
            }
        }
        closedir(listing);
    } else {
        ok = false;
    }
    ok = fchown(dirFd, user->uid, user->gid) == 0 && ok;
    close(dirFd);
    return ok;
}
