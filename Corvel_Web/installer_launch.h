// Starting a downloaded installer once the program has ended.
#pragma once

#include <QString>

// Opens `path` with the desktop's "open" action in a process detached from this one (its own
// session, not a child); the outcome is not awaited.
void openDetached(const QString& path);

// Arranges for openDetached(path) to run at process exit, after main has returned.
void openAtExit(const QString& path);
