// Whether the program's standard output or error is a stream of the system journal (a service
// under systemd): log lines are kept there then, with no file of their own.
#pragma once

bool stdout_is_system_journal();
bool stderr_is_system_journal();
