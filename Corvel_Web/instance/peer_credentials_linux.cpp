#include <sys/socket.h>
#include <unistd.h>

#include "peer_credentials.h"

namespace InstanceGuard {

bool peerIsThisUser(qintptr socketDescriptor, qint64* peerUid) {
    struct ucred credentials {};
    socklen_t size = sizeof credentials;
    if (getsockopt(int(socketDescriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
        size != sizeof credentials) {
        *peerUid = -1;
        return false;
    }
    *peerUid = credentials.uid;
    return credentials.uid == geteuid();
}

}  // namespace InstanceGuard
