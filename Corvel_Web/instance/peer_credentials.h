// Who is at the other end of a local socket connection.
#pragma once

#include <QtGlobal>

namespace InstanceGuard {

// Whether the process at the other end of the connected local socket ran as this process's
// user when the connection was made; `peerUid` gets its user id, or -1 when the system cannot
// tell (which counts as another user).
bool peerIsThisUser(qintptr socketDescriptor, qint64* peerUid);

}  // namespace InstanceGuard
