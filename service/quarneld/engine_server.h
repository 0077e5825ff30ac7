// quarneld's loop: one thread serves the listening socket and every client's connection, and
// hands their requests to the session's owner (session_owner), whose workers make the engine
// calls that take seconds meanwhile. When the connection of the client that owns the session
// ends, the session is stopped and the host put back.
#pragma once

#include <sys/types.h>

#include <string>

// Serves until SIGTERM or SIGINT (blocked by the caller beforehand), then stops the session
// and returns once every engine call has ended. false with the reason when the loop could not
// be set up.
bool serve_clients(int listen_fd, gid_t group, const std::string& group_name, std::string* error);
