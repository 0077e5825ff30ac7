// The engine as the command-line client reaches it: its own library when it runs as root,
// the service quarneld otherwise.
#pragma once

#include <memory>

#include "service_protocol.h"

class cli_engine {
  public:
    virtual ~cli_engine() = default;
    virtual int start(const engine_service::start_values& values) = 0;
    virtual void stop(int send_disconn) = 0;
    virtual int status() = 0;
};

std::unique_ptr<cli_engine> make_cli_engine();
// The engine library in this process.
std::unique_ptr<cli_engine> make_library_engine();
