// Routing between interfaces, which split mode turns on: the system's part of it, recorded in
// the host journal and put back from there.
#pragma once

#include <string>

// Turns forwarding on, recording what it was; 0, or -1 with the reason logged.
int start_router();
// Puts forwarding back to `before` while it still shows `after`; 0 or an errno value.
int restore_forwarding(const std::string& before, const std::string& after);
// Whether a recorded forwarding state is one this system's forwarding can take.
bool forwarding_state_valid(const std::string& state);
