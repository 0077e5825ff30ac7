// Fatal signals leave "lumar.dmp" beside the program, a message, and the signal's own exit.
#pragma once

// Installs the handlers on an alternate stack; prepares everything the handler would
// otherwise allocate.
void installCrashHandlers();
// Puts back any handler a library replaced since installation, logging each one.
// Returns how many were put back.
int reinstateCrashHandlers();
