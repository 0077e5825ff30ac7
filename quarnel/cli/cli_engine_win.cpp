// Windows has no engine service: the client drives the engine library in its own process.
#include "cli_engine.h"

std::unique_ptr<cli_engine> make_cli_engine() {
    return make_library_engine();
}
