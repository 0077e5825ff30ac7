#include "session_registry.h"

#include "quarnel_defaults.h"

std::mutex& session_lock() {
    static std::mutex lock;
    return lock;
}

std::map<std::string, std::shared_ptr<qn_ctx_t>>& session_map() {
    // Left to the process, never destroyed: a session still open at exit holds threads that
    // are still joinable, and destroying it then would end the process with std::terminate.
    static auto* sessions = new std::map<std::string, std::shared_ptr<qn_ctx_t>>();
    return *sessions;
}

std::shared_ptr<qn_ctx_t> running_session() {
    auto it = session_map().find(QUARNEL_DEVICE_NAME);
    return it == session_map().end() ? nullptr : it->second;
}
