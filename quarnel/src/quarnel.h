// Opening a session, and the one teardown every path that ends a session takes.
#pragma once

struct qn_ctx_t;
struct session_config;

int qn_start(qn_ctx_t** out, const session_config& config);

// Raises the session's stop, joins its threads, sends the disconnect message when asked and
// possible, puts back every host change and closes the device and the socket. Takes a session
// at any point of its start.
void qn_stop(qn_ctx_t* ctx, bool send_disconn);
