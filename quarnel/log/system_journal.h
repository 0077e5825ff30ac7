// Whether the program's standard output is a stream of the system journal (a service under
// systemd): the engine log's lines are kept there then, with no file of their own.
#pragma once

bool stdout_is_system_journal();
