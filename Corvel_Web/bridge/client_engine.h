// The engine lumar drives (program_engine.h), with what kept a call from the service in the
// client log.
#pragma once

#include "service_engine.h"

VpnEngine& clientEngine();
// What kept a call from the service, as a warning in the client log.
void logEngineFault(const std::string& why);
// The service itself, for the driver check of a program that is not root.
ServiceEngine& clientServiceEngine();
// Says in the client log which way the engine is reached.
void logEngineChoice();
