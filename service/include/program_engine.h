// Which way a program reaches the engine, decided here for every program: the library in its
// own process where it has the rights the engine needs (root; on Windows, which has no service,
// always), otherwise the service quarneld.
#pragma once

#include <functional>
#include <string>

#include "vpn_engine.h"

// Says what kept a call from the service, in the program's own log.
using engine_fault_log = std::function<void(const std::string&)>;

bool engineRunsInProcess();

// The engine the program's calls go to. The service's connection is made at the first call,
// with that call's `log`.
VpnEngine& programEngine(const engine_fault_log& log);
