// Fatal signals leave "lumar.dmp" in the program's state directory (beside the program unless it
// runs installed), a message, and the signal's own exit.
#pragma once

// Installs the handlers on an alternate stack; prepares everything the handler would
// otherwise allocate.
void installCrashHandlers();
// Gives the calling thread an alternate signal stack for the rest of its life, so that the
// handlers still run when that thread has used up its own stack. Every thread the program
// starts calls it first (the engine's workers are the engine's own); once per thread.
void ensureThreadSignalStack();
// Puts back any handler a library replaced since installation, logging each one.
// Returns how many were put back.
int reinstateCrashHandlers();
