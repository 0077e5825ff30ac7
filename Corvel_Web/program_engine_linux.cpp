#include <unistd.h>

#include <QtGlobal>

#include "service_engine.h"
#include "vpn_engine.h"

bool engineRunsInProcess() {
    return geteuid() == 0;
}

VpnEngine& programEngine() {
    return engineRunsInProcess() ? quarnelEngine() : static_cast<VpnEngine&>(serviceEngine());
}

void logEngineChoice() {
    if (!engineRunsInProcess()) {
        // The service also puts back what its sessions left, at its own start.
        qInfo("Not root: the engine is reached through the service at %s.",
              serviceEngine().socketPath().c_str());
    }
}
