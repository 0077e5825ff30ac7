// The monitors' pauses: cut short once the thread is asked to stop, so that stopping a
// monitor keeps the user-interface thread waiting for a few milliseconds, not a second.
#pragma once

// Sleeps up to `ms` milliseconds on the current QThread; false when interruption has been
// requested.
bool sleepUnlessInterrupted(int ms);
