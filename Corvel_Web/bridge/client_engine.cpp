#include "client_engine.h"

#include <QtGlobal>

void logEngineFault(const std::string& why) {
    qWarning("%s", why.c_str());
}

VpnEngine& clientEngine() {
    return programEngine(logEngineFault);
}

ServiceEngine& clientServiceEngine() {
    return serviceEngine(logEngineFault);
}

void logEngineChoice() {
    if (!engineRunsInProcess()) {
        // The service also puts back what its sessions left, at its own start.
        qInfo("Not root: the engine is reached through the service at %s.",
              clientServiceEngine().socketPath().c_str());
    }
}
