// Where the engine log is written.
#pragma once

#include <string>

struct log_place {
    std::string directory;
    // The system's log directory, which the engine makes where it is missing.
    bool system_directory = false;
};

// Beside the running program, as a program run from its build or an unpacked folder has it; for
// a program installed under /usr, where no log file belongs, /var/log/quarnel.
log_place log_place_for(const std::string& executable_directory);
