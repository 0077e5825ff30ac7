// Where the program keeps its files. Started anywhere but the directory it is installed to (its
// build tree, say), everything lives beside the program. Installed, the page stays there, read
// only, while the files of the user running it follow the XDG base directories: the settings in
// "lumar" under the configuration home, the log and the crash dump in "lumar" under the state
// home.
#pragma once

#include <QString>

// The directory of the running executable, links resolved.
QString programDirectory();
// Whether the program runs from the directory it was built to be installed to.
bool runsInstalled();
// Where "Option.ini" and "page_options.json" are read from.
QString settingsDirectory();
// Where "Corvel.log" and the crash dump go; made, closed to others, when missing. Empty, with
// `why` saying why, when it cannot be made.
QString stateDirectory(QString* why = nullptr);
