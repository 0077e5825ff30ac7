// Where the single-instance guard keeps its names, and how it opens its files there: nothing in
// that directory may be another user's, so that no other user can end or stall a start.
#pragma once

#include <QFile>
#include <QString>

namespace InstanceGuard {

// Root's "/run/lumar", or "lumar" under $XDG_RUNTIME_DIR for any other user; made 0700 when
// missing. Empty, with `problem` saying why, when it cannot be made or is not private (not a
// directory of this user's that nobody else may enter).
QString guardDirectory(QString* problem = nullptr);

// Opens `file` (its file name set) for `mode`, creating it 0600 when missing, only when the path
// names a regular file of this user's and no symbolic link. On false `problem` says why.
bool openPrivateFile(QFile& file, QIODevice::OpenMode mode, QString* problem);

}  // namespace InstanceGuard
