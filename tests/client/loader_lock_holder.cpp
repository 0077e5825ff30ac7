// A library whose constructor never returns: the thread that loads it keeps the dynamic
// loader's lock, which dladdr and so backtrace_symbols_fd need, until the process ends.
#include <unistd.h>

extern "C" void lumarTestHoldingLoaderLock();

[[gnu::constructor]] static void holdLoaderLock() {
    lumarTestHoldingLoaderLock();
    for (;;) {
        pause();
    }
}
