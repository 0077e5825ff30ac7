// lumar's start-up around the single-instance guard with a plain window instead of the web
// view, which may start hidden or minimised; and a LockedFile holder for tests that need a
// second process.
//   single_instance_probe [--hidden | --minimized]
//   single_instance_probe lock PATH shared|exclusive wait|nowait
//       prints "locked 1|0"; each "unlock" line on standard input prints "unlocked 1|0";
//       ends at the end of standard input.
#include <QWidget>
#include <cstdio>
#include <cstring>

#include "client_log.h"
#include "lockedfile.h"
#include "singleapplication.h"

namespace {

int holdLock(const char* path, const char* mode, const char* wait) {
    using InstanceGuard::LockedFile;
    LockedFile file(QString::fromLocal8Bit(path));
    if (!file.open(QIODevice::ReadWrite)) {
        std::printf("open failed\n");
        return 1;
    }
    const bool locked = file.lock(
        std::strcmp(mode, "shared") == 0 ? LockedFile::SharedLock : LockedFile::ExclusiveLock,
        std::strcmp(wait, "wait") == 0);
    std::printf("locked %d\n", locked);
    std::fflush(stdout);
    char line[64];
    while (std::fgets(line, sizeof line, stdin)) {
        if (std::strncmp(line, "unlock", 6) == 0) {
            std::printf("unlocked %d\n", file.unlock());
            std::fflush(stdout);
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "lock") == 0) {
        return holdLock(argv[2], argv[3], argv[4]);
    }
    InstanceGuard::SingleApplication app(QStringLiteral("lumar"), argc, argv);
    if (app.isPeerRunning()) {
        app.sendToPeer(QStringLiteral("raise_window_noop"), 5000);
        return 0;
    }
    installClientLog();
    QWidget window;
    window.setWindowTitle(QStringLiteral("single instance probe"));
    window.resize(320, 240);
    app.setRaiseWindow(&window, true);
    const QStringList args = QCoreApplication::arguments();
    if (args.contains(QStringLiteral("--minimized"))) {
        window.showMinimized();
    } else if (!args.contains(QStringLiteral("--hidden"))) {
        window.show();
    }
    return app.exec();
}
