#include "engine_client.h"

#include "result_codes.h"

namespace engine_service {

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// A start runs the handshake's retries (up to 18 s), the resolver manager (up to 10 s) and
// the teardown of a failed start; a stop the disconnect's pause. The others are immediate.
constexpr milliseconds START_TIMEOUT = seconds(60);
constexpr milliseconds STOP_TIMEOUT = seconds(30);
constexpr milliseconds UPDATE_TIMEOUT = seconds(10);
constexpr milliseconds STATUS_TIMEOUT = seconds(2);
constexpr milliseconds DEVICE_TIMEOUT = seconds(5);
constexpr milliseconds LOAD_TIMEOUT = seconds(30);

const char* request_name(request_kind kind) {
    switch (kind) {
        case request_kind::start:
            return "start";
        case request_kind::stop:
            return "stop";
        case request_kind::update_token:
            return "update token";
        case request_kind::update_limits:
            return "update limits";
        case request_kind::status:
            return "status";
        case request_kind::ping:
            return "ping";
        case request_kind::device_check:
            return "device check";
        case request_kind::load_tun:
            return "load tun";
    }
    return "request";
}

}  // namespace

engine_client::engine_client(std::string socket_path, log_function log)
    : log_(std::move(log)), session_(socket_path), query_(socket_path) {}

int engine_client::call(connection& link, const request& r, milliseconds timeout,
                        int not_owner_result) {
    reply got;
    std::string why;
    const std::string prefix =
        "quarneld at " + link.path() + ", " + request_name(kind_of(r)) + ": ";
    if (!link.call(r, &got, timeout, &why)) {
        log_(prefix + why);
        return QN_SERVICE_UNREACHABLE;
    }
    if (got.ok) {
        return got.value;
    }
    log_(prefix + "refused: " + error_name(got.error));
    switch (got.error) {
        case error_code::peer_not_allowed:
            return QN_SERVICE_REFUSED;
        case error_code::not_owner:
            return not_owner_result;
        case error_code::busy:
        case error_code::shutting_down:
            return QN_SERVICE_UNREACHABLE;
        default:
            return QN_FAILED;
    }
}

int engine_client::start(const start_record& record) {
    std::lock_guard<std::mutex> lock(session_lock_);
    const int result = call(session_, record, START_TIMEOUT, QN_ALREADY_STARTED);
    holds_session_ = result == QN_OK;
    return result;
}

void engine_client::stop(int send_disconn) {
    std::lock_guard<std::mutex> lock(session_lock_);
    call(session_, stop_request{send_disconn}, STOP_TIMEOUT, QN_FAILED);
    holds_session_ = false;
}

void engine_client::update_token(const std::string& token) {
    std::lock_guard<std::mutex> lock(session_lock_);
    call(session_, token_request{token}, UPDATE_TIMEOUT, QN_FAILED);
}

void engine_client::update_limits(int upload_limit, int download_limit) {
    std::lock_guard<std::mutex> lock(session_lock_);
    call(session_, limits_request{upload_limit, download_limit}, UPDATE_TIMEOUT, QN_FAILED);
}

int engine_client::status() {
    if (holds_session_) {
        // A call in progress on the session's connection finds out about it itself.
        std::unique_lock<std::mutex> lock(session_lock_, std::try_to_lock);
        if (lock.owns_lock() && session_.lost()) {
            log_("quarneld at " + session_.path() +
                 " closed the connection that held the session: the session is over");
            return QN_SERVICE_UNREACHABLE;
        }
    }
    std::lock_guard<std::mutex> lock(query_lock_);
    return call(query_, status_request{}, STATUS_TIMEOUT, QN_FAILED);
}

int engine_client::device_check() {
    std::lock_guard<std::mutex> lock(query_lock_);
    return call(query_, device_check_request{}, DEVICE_TIMEOUT, QN_FAILED);
}

int engine_client::load_tun() {
    std::lock_guard<std::mutex> lock(query_lock_);
    return call(query_, load_tun_request{}, LOAD_TIMEOUT, QN_FAILED);
}

}  // namespace engine_service
