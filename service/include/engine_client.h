// The engine's calls made through the service, with the results the exports give, for the
// programs that run without the rights the engine needs. The session belongs to one connection
// held for the client's life: when it closes, the service stops the session. Status queries
// use a second connection, so that they never wait behind a start. Every call is bounded in
// time; a failure to reach the service is logged with its reason through `log`.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

#include "service_connection.h"
#include "service_protocol.h"

namespace engine_service {

class engine_client {
  public:
    using log_function = std::function<void(const std::string&)>;

    engine_client(std::string socket_path, log_function log);

    // start_vpn's result; QN_SERVICE_UNREACHABLE or QN_SERVICE_REFUSED when the service did not
    // take the call, QN_ALREADY_STARTED when another program's session runs.
    int start(const start_record& record);
    void stop(int send_disconn);
    void update_token(const std::string& token);
    void update_limits(int upload_limit, int download_limit);
    // The engine status; QN_SERVICE_UNREACHABLE once the connection that holds the session is
    // gone (the service has stopped the session then) or when the service cannot be asked.
    int status();
    // 1 when the service finds a working TUN device, 0 when not; or a SERVICE_ code.
    int device_check();
    // A tun_load value; or a SERVICE_ code.
    int load_tun();

    const std::string& socket_path() const { return session_.path(); }

  private:
    // The call's value, or the SERVICE_ code (or `not_owner_result`) its failure maps to.
    int call(connection& link, const request& r, std::chrono::milliseconds timeout,
             int not_owner_result);

    log_function log_;
    std::mutex session_lock_;
    connection session_;
    std::mutex query_lock_;
    connection query_;
    std::atomic<bool> holds_session_{false};
};

}  // namespace engine_service
