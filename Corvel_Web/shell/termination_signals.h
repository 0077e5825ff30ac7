// Termination requests from outside the program (a shutdown, a kill, Ctrl+C), turned into an
// ordinary call on the user-interface thread.
#pragma once

#include <functional>

class QObject;

// After SIGTERM or SIGINT, runs `onSignal` once from the event loop of the calling thread.
// The watcher lives as a child of `owner`.
void watchTerminationSignals(QObject* owner, std::function<void()> onSignal);
