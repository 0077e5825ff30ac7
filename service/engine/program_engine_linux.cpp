#include <unistd.h>

#include "program_engine.h"
#include "service_connection.h"
#include "service_engine.h"

bool engineRunsInProcess() {
    return geteuid() == 0;
}

ServiceEngine& serviceEngine(const engine_fault_log& log) {
    static ServiceEngine engine(engine_service::socket_path(), log);
    return engine;
}

VpnEngine& programEngine(const engine_fault_log& log) {
    return engineRunsInProcess() ? libraryEngine() : static_cast<VpnEngine&>(serviceEngine(log));
}
