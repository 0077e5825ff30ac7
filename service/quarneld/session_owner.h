// The session's side of quarneld: which client owns the session (the one whose start was
// taken), what each request does to the engine, and the workers that make the calls that take
// seconds. The connections' side (engine_server) hands it decoded requests and sends back what
// it answers; it knows no socket.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "job_queue.h"
#include "service_protocol.h"
#include "vpn_engine.h"

// The ids the connections' side gives its clients start here; the log numbers them from 1.
constexpr uint64_t FIRST_CLIENT = 16;
uint64_t client_number(uint64_t client);

class session_owner {
  public:
    // Calls go to `engine`, the library in this process; the workers signal `wake_fd` (an
    // eventfd) when calls are done.
    session_owner(VpnEngine& engine, int wake_fd);
    // The workers finish what is queued (a session's teardown too) before they go.
    ~session_owner();

    // A request of `client` (named `who` in the log): the answer to send at once, or none when
    // the call went to a worker and its answer comes from collect().
    std::optional<engine_service::reply> take(uint64_t client, const std::string& who,
                                              const engine_service::request& r);
    // The answers of the calls done since the last collect, the session's owner kept up to date.
    std::vector<job_done> collect();
    // The client's connection ended: a session it owned is stopped and the host put back.
    void client_gone(uint64_t client);
    // The service is stopping: the session is stopped after whatever call is queued, and every
    // later request is refused.
    void end();

    uint64_t owner() const { return owner_; }
    bool ending() const { return ending_; }
    // No call waits, runs or is left to collect.
    bool idle();

  private:
    std::optional<engine_service::reply> submit(uint64_t client, job_queue& queue,
                                                const engine_service::request& r);
    void stop_session();

    VpnEngine& engine_;
    uint64_t owner_ = 0;
    bool ending_ = false;
    std::unique_ptr<job_queue> session_jobs_;
    std::unique_ptr<job_queue> ping_jobs_;
};

engine_service::reply ok_reply(engine_service::request_kind kind, int32_t value,
                               uint16_t rtt_ms = 0);
engine_service::reply error_reply(uint8_t kind, engine_service::error_code code);
