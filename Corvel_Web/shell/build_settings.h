// Values fixed when a program is built (CMake cache variables). They are linked in per program,
// so that a test build can point them at its own opener, update site, key and installation.
#pragma once

#include <QtGlobal>

namespace build_settings {

// The desktop's opener for URLs and directories, as an absolute path (never looked up in PATH).
extern const char* const openerProgram;
// The https origins updates may come from, separated by ';' or spaces; empty: no updates.
extern const char* const updateOrigins;
// The Ed25519 public key that signs updates, as 64 hexadecimal digits.
extern const char* const updatePublicKey;
// The largest update download accepted, in bytes.
extern const qint64 updateMaxBytes;
// The directory the program is installed to (its page and engine library beside it).
extern const char* const installDirectory;

}  // namespace build_settings
