#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>

#include "termination_signals.h"

namespace {

// The handler may only write to a pipe; the event loop reads the other end.
int g_signalPipe[2] = {-1, -1};

void onTerminationSignal(int) {
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(g_signalPipe[1], &byte, 1);
    errno = savedErrno;
}

}  // namespace

void watchTerminationSignals(QObject* owner, std::function<void()> onSignal) {
    if (g_signalPipe[0] < 0 && pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        qCritical("Cannot watch termination signals: pipe2 failed.");
        return;
    }
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, owner);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                     [notifier, onSignal = std::move(onSignal)] {
                         char bytes[16];
                         while (read(g_signalPipe[0], bytes, sizeof(bytes)) > 0) {
                         }
                         // A second signal while the first is being handled changes nothing.
                         notifier->setEnabled(false);
                         onSignal();
                     });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}
