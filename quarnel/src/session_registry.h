// The registry of open sessions: non-empty exactly while the engine is started.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "session.h"

// Held by start and stop for their whole run, and by the calls that reach into a session.
std::mutex& session_lock();
std::map<std::string, std::shared_ptr<qn_ctx_t>>& session_map();

// The running session, or null; the caller holds session_lock().
std::shared_ptr<qn_ctx_t> running_session();
