#include "session_owner.h"

#include <cstring>

#include "client_limits.h"
#include "result_codes.h"
#include "service_log.h"
#include "tun_device.h"

using namespace engine_service;

namespace {

// Each client has at most one call in flight.
constexpr size_t SESSION_QUEUE = client_limits::MAX_CLIENTS;
// A ping waits up to 3 s for a silent server.
constexpr size_t PING_THREADS = 4;

// What a worker runs for a call that may take seconds.
job_queue::job engine_job(VpnEngine& engine, const request& r) {
    switch (kind_of(r)) {
        case request_kind::start:
            return [&engine, record = std::get<start_record>(r)] {
                return ok_reply(request_kind::start, engine.startVpn(record));
            };
        case request_kind::stop:
            return [&engine, send = std::get<stop_request>(r).send_disconn] {
                engine.stopVpn(send);
                return ok_reply(request_kind::stop, 0);
            };
        case request_kind::update_token:
            return [&engine, token = std::get<token_request>(r).token] {
                engine.updateToken(token);
                return ok_reply(request_kind::update_token, 0);
            };
        case request_kind::update_limits:
            return [&engine, limits = std::get<limits_request>(r)] {
                engine.updateLimitRate(limits.upload, limits.download);
                return ok_reply(request_kind::update_limits, 0);
            };
        case request_kind::ping:
            return [&engine, ping = std::get<ping_request>(r)] {
                uint16_t rtt = 0;
                const int result = engine.udpPing(ping.address, ping.port, &rtt);
                return ok_reply(request_kind::ping, result, rtt);
            };
        case request_kind::load_tun:
            return [] {
                const int error = make_tun_device_node();
                if (error != 0) {
                    log_error("cannot make the TUN device node: {}", std::strerror(error));
                    return ok_reply(request_kind::load_tun,
                                    static_cast<int32_t>(tun_load::node_failed));
                }
                // Opening the node has the kernel load the module.
                const tun_load result =
                    tun_device_works() ? tun_load::works : tun_load::still_missing;
                log_info("TUN device asked for: {}",
                         result == tun_load::works ? "it works" : "it still does not work");
                return ok_reply(request_kind::load_tun, static_cast<int32_t>(result));
            };
        case request_kind::status:
        case request_kind::device_check:
            break;
    }
    return nullptr;
}

}  // namespace

reply ok_reply(request_kind kind, int32_t value, uint16_t rtt_ms) {
    reply r;
    r.kind = static_cast<uint8_t>(kind);
    r.ok = true;
    r.value = value;
    r.rtt_ms = rtt_ms;
    return r;
}

reply error_reply(uint8_t kind, error_code code) {
    reply r;
    r.kind = kind;
    r.error = code;
    return r;
}

uint64_t client_number(uint64_t client) {
    return client - FIRST_CLIENT + 1;
}

session_owner::session_owner(VpnEngine& engine, int wake_fd)
    : engine_(engine),
      session_jobs_(std::make_unique<job_queue>(1, SESSION_QUEUE, wake_fd)),
      ping_jobs_(std::make_unique<job_queue>(PING_THREADS, PING_THREADS, wake_fd)) {}

session_owner::~session_owner() = default;

std::optional<reply> session_owner::take(uint64_t client, const std::string& who,
                                         const request& r) {
    const request_kind kind = kind_of(r);
    if (ending_) {
        return error_reply(static_cast<uint8_t>(kind), error_code::shutting_down);
    }
    switch (kind) {
        case request_kind::status:
            return ok_reply(kind, engine_.vpnStatus());
        case request_kind::device_check:
            return ok_reply(kind, tun_device_works() ? 1 : 0);
        case request_kind::ping:
            return submit(client, *ping_jobs_, r);
        case request_kind::load_tun:
            return submit(client, *session_jobs_, r);
        case request_kind::start: {
            // Answered as the engine would, without reaching it.
            std::string why;
            const int32_t refused = start_refusal(std::get<start_record>(r), &why);
            if (refused != QN_OK) {
                log_warning("{}: start refused, {}", who, why);
                return ok_reply(kind, refused);
            }
            break;
        }
        case request_kind::stop:
        case request_kind::update_token:
        case request_kind::update_limits:
            break;
    }
    if (owner_ != 0 && owner_ != client) {
        log_warning("{}: {} refused, client {} owns the session", who,
                    kind == request_kind::start ? "start" : "call", client_number(owner_));
        return error_reply(static_cast<uint8_t>(kind), error_code::not_owner);
    }
    std::optional<reply> refused = submit(client, *session_jobs_, r);
    if (!refused && kind == request_kind::start) {
        owner_ = client;
    }
    return refused;
}

std::optional<reply> session_owner::submit(uint64_t client, job_queue& queue, const request& r) {
    if (!queue.submit(client, engine_job(engine_, r))) {
        return error_reply(static_cast<uint8_t>(kind_of(r)), error_code::busy);
    }
    return std::nullopt;
}

std::vector<job_done> session_owner::collect() {
    std::vector<job_done> all;
    for (job_queue* queue : {session_jobs_.get(), ping_jobs_.get()}) {
        for (job_done& done : queue->take_done()) {
            all.push_back(std::move(done));
        }
    }
    for (const job_done& done : all) {
        const auto kind = static_cast<request_kind>(done.answer.kind);
        if (done.client == 0 || owner_ != done.client) {
            continue;
        }
        if (kind == request_kind::start) {
            if (done.answer.value == 0) {
                log_info("client {}: session started", client_number(done.client));
            } else {
                log_info("client {}: start failed with {}", client_number(done.client),
                         done.answer.value);
                owner_ = 0;
            }
        } else if (kind == request_kind::stop) {
            log_info("client {}: session stopped", client_number(done.client));
            owner_ = 0;
        }
    }
    return all;
}

void session_owner::client_gone(uint64_t client) {
    if (owner_ != client) {
        return;
    }
    log_info("client {} owned the session: stopping it and putting the host back",
             client_number(client));
    stop_session();
}

void session_owner::end() {
    ending_ = true;
    stop_session();
}

void session_owner::stop_session() {
    owner_ = 0;
    // After whatever call is queued, so that a start in flight is stopped too.
    session_jobs_->submit(0, engine_job(engine_, stop_request{1}));
}

bool session_owner::idle() {
    return session_jobs_->idle() && ping_jobs_->idle();
}
