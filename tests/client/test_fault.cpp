// Test builds of lumar only: LUMAR_TEST_FAULT (segv, segv-thread, abort, fpe, ill, stack,
// segv-loader-lock) makes the program fault that way for real once its window is shown;
// late-log logs a line once the application object is gone, as a ping finishing at exit does.
// Linked beside the unchanged entry point; it hooks in when the application object is built.
#include <dlfcn.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <QtGlobal>
#include <atomic>
#include <cstdlib>
#include <thread>

// The faulting functions have external linkage so that the dump's backtrace can name them.
volatile bool g_keepRecursing = true;

[[gnu::noinline]] void writeThroughNull() {
    volatile int* volatile target = nullptr;
    *target = 1;
}

[[gnu::noinline]] void divideByZero() {
    // Both operands unknown, or the compiler replaces the division by a comparison.
    volatile int one = 1;
    volatile int zero = 0;
    volatile int quotient = one / zero;
    (void)quotient;
}

// Each frame keeps a page alive so the stack runs out after a few thousand calls.
[[gnu::noinline]] int recurseWithoutEnd(int depth) {
    volatile char page[4096];
    page[0] = static_cast<char>(depth);
    if (g_keepRecursing) {
        return recurseWithoutEnd(depth + 1) + page[0];
    }
    return page[0];
}

[[gnu::noinline]] void executeIllegalInstruction() {
    __builtin_trap();
}

// Called by the constructor of the library loaded below, which then never returns: the
// loading thread holds the dynamic loader's lock for good.
std::atomic<bool> g_loaderLockHeld{false};
extern "C" void lumarTestHoldingLoaderLock() {
    g_loaderLockHeld = true;
}

namespace {

void fault(const QByteArray& kind) {
    if (kind == "segv") {
        writeThroughNull();
    } else if (kind == "segv-thread") {
        std::thread worker(writeThroughNull);
        worker.join();
    } else if (kind == "abort") {
        std::abort();
    } else if (kind == "fpe") {
        divideByZero();
    } else if (kind == "ill") {
        executeIllegalInstruction();
    } else if (kind == "stack") {
        recurseWithoutEnd(0);
    } else if (kind == "segv-loader-lock") {
        std::thread([] { dlopen(LOADER_LOCK_HOLDER, RTLD_NOW); }).detach();
        while (!g_loaderLockHeld) {
            usleep(1000);
        }
        writeThroughNull();
    }
}

void logLate() {
    qCritical("Logged after the application object is gone.");
}

bool windowShown() {
    for (const QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible()) {
            return true;
        }
    }
    return false;
}

void scheduleTestFault() {
    const QByteArray kind = qgetenv("LUMAR_TEST_FAULT");
    if (kind.isEmpty()) {
        return;
    }
    if (kind == "late-log") {
        std::atexit(logLate);
        return;
    }
    auto* poll = new QTimer(QCoreApplication::instance());
    QObject::connect(poll, &QTimer::timeout, [kind] {
        if (windowShown()) {
            fault(kind);
        }
    });
    poll->start(50);
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(scheduleTestFault)
