// Who is at the other end of a local connection, and whether the service serves them.
#pragma once

#include <sys/types.h>

struct peer_identity {
    uid_t uid = 0;
    pid_t pid = 0;
};

// The kernel's record of the peer, taken when it connected; false when there is none.
bool peer_identity_of(int fd, peer_identity* out);
// Root, or a user whose primary or supplementary group is `group` in the user database (what
// the account is allowed now, not what some process of it once was).
bool peer_allowed(uid_t uid, gid_t group);
