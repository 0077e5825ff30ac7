// The person at the desktop. The program runs as root for the tunnel; what it opens for the
// user (links, payment pages, a downloaded update) is opened as the user who started it through
// sudo or pkexec, with that user's groups and environment, never as root.
#pragma once

#include <QString>

// Whether there is someone to open `what` for: the program does not run as root, or SUDO_UID
// or PKEXEC_UID names an ordinary user. Logs why not.
bool desktopUserKnown(const QString& what);

// Opens `target` (a URL) with the opener the program is built with, in a detached process of
// the desktop user. False, logged, when there is no desktop user or the opener cannot start.
bool openForDesktopUser(const QString& target);
// The same once the process ends, after main has returned; false, logged, when there is no
// desktop user now. A later call replaces the target.
bool openForDesktopUserAtExit(const QString& target);

// Gives `dir` and the files directly in it to the desktop user, so that what is opened for them
// can read it; nothing to do unless the program runs as root.
bool handOverToDesktopUser(const QString& dir);
