#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFile>
#include <cstdlib>
#include <string>

#include "installer_launch.h"

namespace {

// Kept outside Qt: the at-exit function runs after the application object is gone.
std::string g_pathAtExit;

void openPathAtExit() {
    openDetached(QString::fromStdString(g_pathAtExit));
}

}  // namespace

void openDetached(const QString& path) {
    const QByteArray nativePath = QFile::encodeName(path);
    const pid_t child = fork();
    if (child < 0) {
        return;
    }
    if (child == 0) {
        // The intermediate child leaves at once, so the opener is nobody's child to reap.
        setsid();
        if (fork() == 0) {
            execlp("xdg-open", "xdg-open", nativePath.constData(), static_cast<char*>(nullptr));
        }
        _exit(0);
    }
    waitpid(child, nullptr, 0);
}

void openAtExit(const QString& path) {
    const bool registered = !g_pathAtExit.empty();
    g_pathAtExit = path.toStdString();
    if (!registered) {
        std::atexit(openPathAtExit);
    }
}
