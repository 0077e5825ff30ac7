// The login session a process runs in: instances of the client in different sessions never
// see each other.
#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <optional>

namespace InstanceGuard {

// The current login session's id, or nothing when the system cannot tell it.
std::optional<quint32> loginSessionId();
// The id loginSessionId gives for that XDG_SESSION_ID value (empty: not set).
quint32 loginSessionIdFor(const QByteArray& xdgSessionId);

}  // namespace InstanceGuard
