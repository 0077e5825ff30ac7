// Files the program reads and writes for itself: which may be believed, and creating files that
// no link can redirect.
#pragma once

#include <QByteArray>
#include <QString>

class QFile;

enum class FileTrust { Trusted, Missing, Untrusted };

// Whether a file the program reads for itself may be used: only a regular file that root or the
// program's own user owns, in a directory that root or that user owns, neither writable by group
// or others (for root: root's alone). `why` gets what is wrong with an untrusted one.
FileTrust programFileTrust(const QString& path, QString* why = nullptr);
// The same rule for a directory the program writes into.
bool directoryTrusted(const QString& path, QString* why = nullptr);

// Opens `file` at `path` for appending, creating it with mode 0600, never through a symbolic
// link.
bool openForAppendNoFollow(QFile& file, const QString& path);
// Creates `name` in `dir` with mode 0600, never through a link and never over an existing
// file, and writes `data` to it.
bool writeNewFile(const QString& dir, const QString& name, const QByteArray& data);
// Where the program may create its private directories: the temporary directory when nobody
// but root can rename or replace what root creates in it, else /tmp.
QString privateDirParent();
