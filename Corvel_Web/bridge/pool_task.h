// Tasks on a thread pool. Qt's pools have no thread-start hook: every task first makes sure
// its pool thread has the alternate signal stack the crash handlers need.
#pragma once

#include <QThreadPool>
#include <QtConcurrent>
#include <utility>

#include "crash_dump.h"

template <typename Task>
auto runOnPool(QThreadPool* pool, Task task) {
    return QtConcurrent::run(pool, [task = std::move(task)] {
        ensureThreadSignalStack();
        return task();
    });
}
