#include <unistd.h>

#include <QByteArray>

#include "login_session.h"

namespace InstanceGuard {

namespace {

// FNV-1a: a stable hash, the same in every process and every Qt build.
quint32 textSessionHash(const QByteArray& text) {
    quint32 hash = 2166136261u;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 16777619u;
    }
    return hash;
}

}  // namespace

std::optional<quint32> loginSessionId() {
    return loginSessionIdFor(qgetenv("XDG_SESSION_ID"));
}

// logind hands out decimal session ids; other session managers may use any text, which is
// hashed so that the id stays a short, file-name-safe number.
quint32 loginSessionIdFor(const QByteArray& session) {
    if (session.isEmpty()) {
        return static_cast<quint32>(getuid());
    }
    bool numeric = false;
    const uint value = session.toUInt(&numeric, 10);
    if (numeric && session.at(0) >= '0' && session.at(0) <= '9') {
        return value;
    }
    return textSessionHash(session);
}

}  // namespace InstanceGuard
