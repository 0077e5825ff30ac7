// lumar's start-up around the single-instance guard with a plain window instead of the web
// view, which may start hidden or minimised; a LockedFile holder and a raw message sender for
// tests that need a second process (or another user's).
//   single_instance_probe [--hidden | --minimized]
//       prints "first instance" once it is the first, or "delivered 1|0" after a message
//   single_instance_probe lock PATH shared|exclusive wait|nowait
//       prints "locked 1|0"; each "unlock" line on standard input prints "unlocked 1|0";
//       ends at the end of standard input.
//   single_instance_probe send SOCKET MESSAGE
//       sends one framed message and prints "answer " with what came back within 3 s.
#include <QCoreApplication>
#include <QDataStream>
#include <QLocalSocket>
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

int sendRaw(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QLocalSocket socket;
    socket.connectToServer(QString::fromLocal8Bit(argv[2]));
    if (!socket.waitForConnected(3000)) {
        std::printf("connect failed\n");
        return 1;
    }
    const QByteArray message(argv[3]);
    QDataStream(&socket).writeBytes(message.constData(), uint(message.size()));
    socket.waitForBytesWritten(3000);
    socket.waitForReadyRead(3000);
    std::printf("answer %s\n", socket.readAll().constData());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "lock") == 0) {
        return holdLock(argv[2], argv[3], argv[4]);
    }
    if (argc == 4 && std::strcmp(argv[1], "send") == 0) {
        return sendRaw(argc, argv);
    }
    InstanceGuard::SingleApplication app(QStringLiteral("lumar"), argc, argv);
    if (app.isPeerRunning()) {
        std::printf("delivered %d\n", app.sendToPeer(QStringLiteral("raise_window_noop"), 5000));
        return 0;
    }
    std::printf("first instance\n");
    std::fflush(stdout);
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
