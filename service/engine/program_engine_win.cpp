// Windows has no engine service: every program drives the engine library in its own process.
#include "program_engine.h"

bool engineRunsInProcess() {
    return true;
}

VpnEngine& programEngine(const engine_fault_log&) {
    return libraryEngine();
}
