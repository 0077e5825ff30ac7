// Windows has no system journal behind a program's standard streams: the log keeps its file.
#include "system_journal.h"

bool stdout_is_system_journal() {
    return false;
}

bool stderr_is_system_journal() {
    return false;
}
