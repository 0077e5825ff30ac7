#include "system_bus_linux.h"

#include <cerrno>

namespace {

const char SYSTEM_BUS_ADDRESS[] = "unix:path=/run/dbus/system_bus_socket";
// The caller holds the session lock, and every export waits with it.
constexpr uint64_t CALL_TIMEOUT_USEC = 10 * 1000 * 1000;

}  // namespace

system_bus::system_bus() {
    int result = sd_bus_new(&bus_);
    if (result >= 0) {
        result = sd_bus_set_address(bus_, SYSTEM_BUS_ADDRESS);
    }
    if (result >= 0) {
        result = sd_bus_set_bus_client(bus_, 1);
    }
    if (result >= 0) {
        result = sd_bus_set_method_call_timeout(bus_, CALL_TIMEOUT_USEC);
    }
    if (result >= 0) {
        result = sd_bus_start(bus_);
    }
    open_error_ = result < 0 ? -result : 0;
}

system_bus::~system_bus() {
    if (bus_ != nullptr) {
        sd_bus_flush_close_unref(bus_);
    }
}

bool system_bus::has_owner(const char* name) {
    if (open_error_ != 0) {
        return false;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int owned = 0;
    int result =
        sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s", name);
    if (result >= 0) {
        result = sd_bus_message_read(reply, "b", &owned);
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return result >= 0 && owned != 0;
}

bool bus_failed(int result, const sd_bus_error* error, bus_failure* out) {
    if (result >= 0) {
        return false;
    }
    out->error = -result;
    out->name = error != nullptr && error->name != nullptr ? error->name : "";
    out->text = error != nullptr && error->message != nullptr ? error->message : "";
    return true;
}
