// Putting back what sessions of killed processes left on the host, for the programs that drive
// the engine (the engine itself does it at every start). Linked from the quarnel_journal
// library, as the engine library exports only its six functions.
#pragma once

// Undoes what journals of ended processes left in this network namespace and resolver
// directory, newest change first: the number of changes put back, or -1 when some could not be
// (their journals stay for the next attempt).
int replay_host_journals();

// The same for a program before or between its sessions: the engine log is set up first where
// the process has none, so that what the replay reports reaches that log with its place in the
// code, as the engine's own replay at every start does.
int replay_host_journals_logged();
