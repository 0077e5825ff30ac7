// The program's version text and the identity of the host it runs on.
#pragma once

#include <QString>

// Four dot-separated decimal numbers, compiled in from the build system (3.1.8.0); needs no
// application object.
QString builtVersion();
// The same, once the running executable is found; empty otherwise.
QString appFileVersion();
// The host name; empty when it cannot be read.
QString hostComputerName();
// The machine id; empty when the host has none.
QString hostMachineGuid();

// The version text up to its last "." and the text after it; a text without a "." gives the
// whole text in both.
QString versionHead(const QString& version);
QString versionTail(const QString& version);
