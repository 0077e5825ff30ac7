// The base directories of the user the program runs as, as the XDG base directory rules name
// them, and making one.
#pragma once

#include <QString>

// $XDG_CONFIG_HOME, or ".config" in the home directory.
QString userConfigHome();
// $XDG_STATE_HOME, or ".local/state" in the home directory.
QString userStateHome();
// Makes the directory at the absolute `path` and each missing parent, closed to others (0700).
// False, with `why` saying why, when it is not there afterwards.
bool makeUserDirectory(const QString& path, QString* why = nullptr);
