// The request/reply protocol between the engine service quarneld and the programs that drive
// the engine through it. One stream message is a 4-byte big-endian length, then that many
// bytes: "QN", the protocol version, the message kind, its body. Numbers are big-endian; a text
// is a 2-byte length and its bytes (no NUL); a route list is a 4-byte count and that many
// route records as the engine's ABI has them (16 bytes of address text, a 4-byte prefix length).
// Portable: no sockets here, only bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "route_entry.h"
#include "start_record.h"

namespace engine_service {

constexpr uint8_t PROTOCOL_VERSION = 1;
constexpr size_t LENGTH_BYTES = 4;
// Checked from the length alone, before any of the body is read.
constexpr size_t MAX_MESSAGE = 1 << 20;
constexpr size_t MAX_TEXT = 1024;
constexpr size_t MAX_ROUTES = 16384;
// Replies are small and of fixed shape.
constexpr size_t MAX_REPLY = 16;

constexpr const char DEFAULT_SOCKET[] = "/run/quarnel/engine.sock";
constexpr const char SOCKET_VARIABLE[] = "QUARNEL_SOCKET";

// The engine's six calls, and the two the driver check of an unprivileged program needs.
enum class request_kind : uint8_t {
    start = 1,
    stop = 2,
    update_token = 3,
    update_limits = 4,
    status = 5,
    ping = 6,
    device_check = 7,
    load_tun = 8,
};

// Why the service refused a message; each has its name in error_name().
enum class error_code : uint8_t {
    unsupported_version = 1,
    malformed = 2,
    truncated = 3,
    too_large = 4,
    unknown_request = 5,
    not_owner = 6,
    peer_not_allowed = 7,
    timed_out = 8,
    busy = 9,
    shutting_down = 10,
};

const char* error_name(error_code code);
// Whether the service closes the connection after sending this error.
bool error_ends_connection(error_code code);

// Outcome of load_tun, in the reply's value.
enum class tun_load : int32_t { works = 0, node_failed = 1, still_missing = 2 };

// One record per request kind, in request_kind's order; a start carries the start record.
struct stop_request {
    int32_t send_disconn = 0;
};
struct token_request {
    std::string token;
};
struct limits_request {
    int32_t upload = 0;
    int32_t download = 0;
};
struct status_request {};
struct ping_request {
    std::string address;
    int32_t port = 0;
};
struct device_check_request {};
struct load_tun_request {};

using request = std::variant<start_record, stop_request, token_request, limits_request,
                             status_request, ping_request, device_check_request, load_tun_request>;

// The kind a request goes on the wire as.
request_kind kind_of(const request& r);

// ok: `value` is the call's result (start, status, ping: the engine's; device_check: 1 when
// the device works; load_tun: a tun_load), `rtt_ms` the ping's round trip. Otherwise `error`.
// `kind` is the request answered (0 when the service could not tell).
struct reply {
    uint8_t kind = 0;
    bool ok = false;
    error_code error = error_code::malformed;
    int32_t value = 0;
    uint16_t rtt_ms = 0;
};

// The body length a frame's first LENGTH_BYTES announce.
uint32_t frame_length(const uint8_t* header);

// The whole frame (length first); false with the reason when a value is past the limits.
bool encode_request(const request& r, std::vector<uint8_t>* frame, std::string* why);
std::vector<uint8_t> encode_reply(const reply& r);

// The message after its length. A request that fails gives the error to answer with.
bool decode_request(const uint8_t* message, size_t size, request* out, error_code* error);
bool decode_reply(const uint8_t* message, size_t size, reply* out);

}  // namespace engine_service
