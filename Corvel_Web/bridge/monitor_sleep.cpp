#include "monitor_sleep.h"

#include <QThread>
#include <algorithm>

bool sleepUnlessInterrupted(int ms) {
    constexpr int kSliceMs = 20;
    QThread* self = QThread::currentThread();
    for (int slept = 0; slept < ms; slept += kSliceMs) {
        if (self->isInterruptionRequested()) {
            return false;
        }
        QThread::msleep(static_cast<unsigned long>(std::min(kSliceMs, ms - slept)));
    }
    return !self->isInterruptionRequested();
}
