#include "client_limits.h"

namespace client_limits {

admission admit(uid_t uid, size_t clients, size_t of_user, std::optional<uid_t> session_user) {
    if (clients >= MAX_CLIENTS) {
        return admission::service_full;
    }
    // Root is whom the service answers to; its connections count against the total only.
    if (uid == 0) {
        return admission::taken;
    }
    if (of_user >= MAX_PER_USER) {
        return admission::user_full;
    }
    if (clients >= MAX_CLIENTS - RESERVED && session_user != uid) {
        return admission::service_full;
    }
    return admission::taken;
}

}  // namespace client_limits
