#include <string>
#include <vector>

#include "engine_log.h"
#include "forwarding.h"
#include "host_journal.h"
#include "win_calls.h"

namespace {

const char ROUTING_SERVICE[] = "RemoteAccess";

// The service's start type and whether it runs, as the journal keeps it: "3:1".
struct service_state {
    DWORD start_type = SERVICE_DISABLED;
    bool running = false;
};

std::string state_text(const service_state& state) {
    return std::to_string(state.start_type) + ":" + (state.running ? "1" : "0");
}

bool parse_state(const std::string& text, service_state* state) {
    if (text.size() != 3 || text[0] < '0' || text[0] > '4' || text[1] != ':' ||
        (text[2] != '0' && text[2] != '1')) {
        return false;
    }
    state->start_type = static_cast<DWORD>(text[0] - '0');
    state->running = text[2] == '1';
    return true;
}

// The routing service opened with all access; false (logged) when it cannot be.
class routing_service {
  public:
    explicit routing_service(const char* caller) {
        manager_ = win().OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        if (manager_ == nullptr) {
            error_ = static_cast<int>(GetLastError());
            QN_ERROR_IN(caller, "OpenSCManager failed.");
            return;
        }
        service_ = win().OpenServiceA(manager_, ROUTING_SERVICE, SERVICE_ALL_ACCESS);
        if (service_ == nullptr) {
            error_ = static_cast<int>(GetLastError());
            QN_ERROR_IN(caller, "OpenService failed.");
        }
    }
    ~routing_service() {
        if (service_ != nullptr) {
            win().CloseServiceHandle(service_);
        }
        if (manager_ != nullptr) {
            win().CloseServiceHandle(manager_);
        }
    }
    routing_service(const routing_service&) = delete;
    routing_service& operator=(const routing_service&) = delete;

    bool opened() const { return service_ != nullptr; }
    int error() const { return error_; }
    SC_HANDLE get() const { return service_; }

  private:
    SC_HANDLE manager_ = nullptr;
    SC_HANDLE service_ = nullptr;
    int error_ = 0;
};

bool query_status(SC_HANDLE service, DWORD* current) {
    SERVICE_STATUS status{};
    if (!win().QueryServiceStatus(service, &status)) {
        return false;
    }
    *current = status.dwCurrentState;
    return true;
}

bool query_start_type(SC_HANDLE service, DWORD* start_type) {
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    if (!win().QueryServiceConfigA(service, reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data()),
                                   static_cast<DWORD>(buffer.size()), &needed)) {
        return false;
    }
    *start_type = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data())->dwStartType;
    return true;
}

bool set_start_type(SC_HANDLE service, DWORD start_type) {
    return win().ChangeServiceConfigA(service, SERVICE_NO_CHANGE, start_type, SERVICE_NO_CHANGE,
                                      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                      nullptr) != FALSE;
}

int last_error_or(int fallback) {
    const DWORD error = GetLastError();
    return error != 0 ? static_cast<int>(error) : fallback;
}

}  // namespace

int start_router() {
    routing_service service(__func__);
    if (!service.opened()) {
        return -1;
    }
    // What the service was, on record before it changes.
    service_state before;
    DWORD current = 0;
    if (!query_start_type(service.get(), &before.start_type) ||
        !query_status(service.get(), &current)) {
        QN_ERROR("QueryServiceStatus failed.");
        return -1;
    }
    before.running = current != SERVICE_STOPPED;
    host_change change;
    change.kind = host_change_kind::forwarding;
    change.before = state_text(before);
    change.after = state_text({SERVICE_DEMAND_START, true});
    uint64_t id = 0;
    if (!session_journal().record(change, &id)) {
        return -1;
    }
    if (!set_start_type(service.get(), SERVICE_DEMAND_START)) {
        session_journal().settle(id);
        QN_ERROR("ChangeServiceConfig failed.");
        return -1;
    }
    if (!query_status(service.get(), &current)) {
        QN_ERROR("QueryServiceStatus failed.");
        return -1;
    }
    if (current == SERVICE_STOPPED && !win().StartServiceA(service.get(), 0, nullptr)) {
        QN_ERROR("StartService failed.");
        return -1;
    }
    return 0;
}

bool forwarding_state_valid(const std::string& state) {
    service_state parsed;
    return parse_state(state, &parsed);
}

// The service goes back to the start type it had, and is stopped only if it was not running
// before the session: someone else's routing is never switched off.
int restore_forwarding(const std::string& before_text, const std::string& after_text) {
    service_state before;
    service_state after;
    if (!parse_state(before_text, &before) || !parse_state(after_text, &after)) {
        return ERROR_INVALID_DATA;
    }
    routing_service service("stop_router");
    if (!service.opened()) {
        return service.error();
    }
    DWORD current = 0;
    if (!query_status(service.get(), &current)) {
        QN_ERROR("QueryServiceStatus failed.");
        return last_error_or(ERROR_GEN_FAILURE);
    }
    if (!before.running && current != SERVICE_STOPPED) {
        SERVICE_STATUS status{};
        if (!win().ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
            QN_ERROR("ControlService failed.");
            return last_error_or(ERROR_GEN_FAILURE);
        }
    }
    DWORD start_type = 0;
    if (!query_start_type(service.get(), &start_type)) {
        QN_ERROR("QueryServiceStatus failed.");
        return last_error_or(ERROR_GEN_FAILURE);
    }
    // A start type someone else chose since the session stays.
    if (start_type == after.start_type && !set_start_type(service.get(), before.start_type)) {
        QN_ERROR("ChangeServiceConfig failed.");
        return last_error_or(ERROR_GEN_FAILURE);
    }
    return 0;
}
