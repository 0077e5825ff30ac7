// A connection to the system bus for the resolver managers that live there.
#pragma once

#include <systemd/sd-bus.h>

#include <string>

// The system bus at its fixed address: the engine runs as root, and the address a caller's
// environment names could be a bus of the caller's own.
class system_bus {
  public:
    system_bus();
    ~system_bus();
    system_bus(const system_bus&) = delete;
    system_bus& operator=(const system_bus&) = delete;

    // 0 once connected, otherwise the errno value of the failure.
    int open_error() const { return open_error_; }
    sd_bus* get() const { return bus_; }

    // Whether a service holds the name now; asking never starts one.
    bool has_owner(const char* name);

  private:
    sd_bus* bus_ = nullptr;
    int open_error_ = 0;
};

// The errno value of a failed call (positive), and the error's name and message for the log.
struct bus_failure {
    int error = 0;
    std::string name;
    std::string text;
};
// Fills the failure from a call's result and its error; true when the call failed.
bool bus_failed(int result, const sd_bus_error* error, bus_failure* out);
