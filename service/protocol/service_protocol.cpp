#include "service_protocol.h"

#include <cstring>

namespace engine_service {

namespace {

// The visitor of a request: one call operator per record.
template <typename... F>
struct overloaded : F... {
    using F::operator()...;
};
template <typename... F>
overloaded(F...) -> overloaded<F...>;

constexpr uint8_t MAGIC[2] = {'Q', 'N'};
constexpr uint8_t REPLY_OK = 0x80;
constexpr uint8_t REPLY_ERROR = 0x81;
constexpr size_t ROUTE_BYTES = sizeof(route_entry_str_t::ip) + 4;

class writer {
  public:
    explicit writer(std::vector<uint8_t>* out) : out_(out) {}
    void u8(uint8_t v) { out_->push_back(v); }
    void u16(uint16_t v) {
        u8(static_cast<uint8_t>(v >> 8));
        u8(static_cast<uint8_t>(v));
    }
    void u32(uint32_t v) {
        u16(static_cast<uint16_t>(v >> 16));
        u16(static_cast<uint16_t>(v));
    }
    void i32(int32_t v) { u32(static_cast<uint32_t>(v)); }
    void text(const std::string& v) {
        u16(static_cast<uint16_t>(v.size()));
        out_->insert(out_->end(), v.begin(), v.end());
    }
    void routes(const std::vector<route_entry_str_t>& v) {
        u32(static_cast<uint32_t>(v.size()));
        for (const route_entry_str_t& route : v) {
            const auto* ip = reinterpret_cast<const uint8_t*>(route.ip);
            out_->insert(out_->end(), ip, ip + sizeof(route.ip));
            i32(route.bitlen);
        }
    }

  private:
    std::vector<uint8_t>* out_;
};

// Reads fields in order; any field past the end or past its limit spoils the whole message.
class reader {
  public:
    reader(const uint8_t* data, size_t size) : data_(data), left_(size) {}
    bool ok() const { return ok_; }
    bool at_end() const { return ok_ && left_ == 0; }

    uint8_t u8() {
        const uint8_t* p = take(1);
        return p != nullptr ? p[0] : 0;
    }
    uint16_t u16() {
        const uint8_t* p = take(2);
        return p != nullptr ? static_cast<uint16_t>(p[0] << 8 | p[1]) : 0;
    }
    uint32_t u32() {
        const uint8_t* p = take(4);
        return p != nullptr
                   ? static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
                         static_cast<uint32_t>(p[2]) << 8 | p[3]
                   : 0;
    }
    int32_t i32() { return static_cast<int32_t>(u32()); }
    std::string text() {
        const size_t size = u16();
        if (size > MAX_TEXT) {
            ok_ = false;
        }
        const uint8_t* p = take(size);
        if (p == nullptr || std::memchr(p, '\0', size) != nullptr) {
            ok_ = false;
            return std::string();
        }
        return std::string(reinterpret_cast<const char*>(p), size);
    }
    std::vector<route_entry_str_t> routes() {
        std::vector<route_entry_str_t> out;
        const size_t count = u32();
        // The count is checked against what is left before anything is allocated for it.
        if (count > MAX_ROUTES || count * ROUTE_BYTES > left_) {
            ok_ = false;
            return out;
        }
        out.resize(count);
        for (route_entry_str_t& route : out) {
            std::memcpy(route.ip, take(sizeof(route.ip)), sizeof(route.ip));
            route.bitlen = i32();
        }
        return out;
    }

  private:
    const uint8_t* take(size_t size) {
        if (!ok_ || size > left_) {
            ok_ = false;
            return nullptr;
        }
        const uint8_t* p = data_;
        data_ += size;
        left_ -= size;
        return p;
    }

    const uint8_t* data_;
    size_t left_;
    bool ok_ = true;
};

bool text_fits(const std::string& text, const char* name, std::string* why) {
    if (text.size() > MAX_TEXT || text.find('\0') != std::string::npos) {
        *why = std::string(name) + " is longer than " + std::to_string(MAX_TEXT) +
               " bytes or holds a NUL";
        return false;
    }
    return true;
}

bool routes_fit(const std::vector<route_entry_str_t>& routes, const char* name, std::string* why) {
    if (routes.size() > MAX_ROUTES) {
        *why = std::string(name) + " holds more than " + std::to_string(MAX_ROUTES) + " routes";
        return false;
    }
    return true;
}

bool start_fits(const start_record& v, std::string* why) {
    return text_fits(v.os_type, "os_type", why) &&
           text_fits(v.client_version, "client_version", why) && text_fits(v.token, "token", why) &&
           text_fits(v.uuid, "uuid", why) && text_fits(v.server_pk, "server_pk", why) &&
           text_fits(v.static_ip, "static_ip", why) && text_fits(v.server_ip, "server_ip", why) &&
           routes_fit(v.local_routes, "local_routes", why) &&
           routes_fit(v.remote_routes, "remote_routes", why) &&
           routes_fit(v.proxy_routes, "proxy_routes", why) && text_fits(v.dns, "dns", why) &&
           text_fits(v.backup_dns, "backup_dns", why);
}

void write_start(writer& w, const start_record& v) {
    w.text(v.os_type);
    w.text(v.client_version);
    w.text(v.token);
    w.text(v.uuid);
    w.text(v.server_pk);
    w.text(v.static_ip);
    w.text(v.server_ip);
    w.i32(v.server_port);
    w.routes(v.local_routes);
    w.routes(v.remote_routes);
    w.routes(v.proxy_routes);
    w.i32(v.mtu);
    w.i32(v.upload_limit);
    w.i32(v.download_limit);
    w.i32(v.proxy_mode);
    w.text(v.dns);
    w.text(v.backup_dns);
}

void read_start(reader& r, start_record* v) {
    v->os_type = r.text();
    v->client_version = r.text();
    v->token = r.text();
    v->uuid = r.text();
    v->server_pk = r.text();
    v->static_ip = r.text();
    v->server_ip = r.text();
    v->server_port = r.i32();
    v->local_routes = r.routes();
    v->remote_routes = r.routes();
    v->proxy_routes = r.routes();
    v->mtu = r.i32();
    v->upload_limit = r.i32();
    v->download_limit = r.i32();
    v->proxy_mode = r.i32();
    v->dns = r.text();
    v->backup_dns = r.text();
}

bool known_request(uint8_t kind) {
    return kind >= static_cast<uint8_t>(request_kind::start) &&
           kind <= static_cast<uint8_t>(request_kind::load_tun);
}

// Room for the length and the header up front; also keeps GCC 12's -O3 bounds
// check from misreading the first push_back past a 4-byte buffer.
std::vector<uint8_t> unframed() {
    std::vector<uint8_t> out;
    out.reserve(256);
    out.resize(LENGTH_BYTES);
    return out;
}

void begin(writer& w, uint8_t kind) {
    w.u8(MAGIC[0]);
    w.u8(MAGIC[1]);
    w.u8(PROTOCOL_VERSION);
    w.u8(kind);
}

// Fills in the length once the message is written.
std::vector<uint8_t> framed(std::vector<uint8_t> frame) {
    const auto size = static_cast<uint32_t>(frame.size() - LENGTH_BYTES);
    for (size_t i = 0; i < LENGTH_BYTES; ++i) {
        frame[i] = static_cast<uint8_t>(size >> (8 * (LENGTH_BYTES - 1 - i)));
    }
    return frame;
}

}  // namespace

const char* error_name(error_code code) {
    switch (code) {
        case error_code::unsupported_version:
            return "unsupported protocol version";
        case error_code::malformed:
            return "malformed message";
        case error_code::truncated:
            return "truncated message";
        case error_code::too_large:
            return "message too large";
        case error_code::unknown_request:
            return "unknown request";
        case error_code::not_owner:
            return "not the session's owner";
        case error_code::peer_not_allowed:
            return "peer not allowed";
        case error_code::timed_out:
            return "message timed out";
        case error_code::busy:
            return "service busy";
        case error_code::shutting_down:
            return "service shutting down";
    }
    return "unknown error";
}

bool error_ends_connection(error_code code) {
    return code != error_code::not_owner && code != error_code::busy &&
           code != error_code::shutting_down;
}

uint32_t frame_length(const uint8_t* header) {
    return static_cast<uint32_t>(header[0]) << 24 | static_cast<uint32_t>(header[1]) << 16 |
           static_cast<uint32_t>(header[2]) << 8 | header[3];
}

request_kind kind_of(const request& r) {
    static_assert(std::variant_size_v<request> == static_cast<size_t>(request_kind::load_tun),
                  "one request record per kind, in the kinds' order");
    return static_cast<request_kind>(r.index() + 1);
}

bool encode_request(const request& r, std::vector<uint8_t>* frame, std::string* why) {
    const bool fits = std::visit(
        overloaded{[why](const start_record& v) { return start_fits(v, why); },
                   [why](const token_request& v) { return text_fits(v.token, "token", why); },
                   [why](const ping_request& v) { return text_fits(v.address, "address", why); },
                   [](const auto&) { return true; }},
        r);
    if (!fits) {
        return false;
    }
    std::vector<uint8_t> out = unframed();
    writer w(&out);
    begin(w, static_cast<uint8_t>(kind_of(r)));
    std::visit(overloaded{[&w](const start_record& v) { write_start(w, v); },
                          [&w](const stop_request& v) { w.i32(v.send_disconn); },
                          [&w](const token_request& v) { w.text(v.token); },
                          [&w](const limits_request& v) {
                              w.i32(v.upload);
                              w.i32(v.download);
                          },
                          [&w](const ping_request& v) {
                              w.text(v.address);
                              w.i32(v.port);
                          },
                          [](const auto&) {}},
               r);
    if (out.size() - LENGTH_BYTES > MAX_MESSAGE) {
        *why = "the request is larger than " + std::to_string(MAX_MESSAGE) + " bytes";
        return false;
    }
    *frame = framed(std::move(out));
    return true;
}

std::vector<uint8_t> encode_reply(const reply& r) {
    std::vector<uint8_t> out = unframed();
    writer w(&out);
    begin(w, r.ok ? REPLY_OK : REPLY_ERROR);
    w.u8(r.kind);
    if (r.ok) {
        w.i32(r.value);
        w.u16(r.rtt_ms);
    } else {
        w.u8(static_cast<uint8_t>(r.error));
    }
    return framed(std::move(out));
}

bool decode_request(const uint8_t* message, size_t size, request* out, error_code* error) {
    reader r(message, size);
    const uint8_t m0 = r.u8();
    const uint8_t m1 = r.u8();
    const uint8_t version = r.u8();
    const uint8_t kind = r.u8();
    if (!r.ok() || m0 != MAGIC[0] || m1 != MAGIC[1]) {
        *error = error_code::malformed;
        return false;
    }
    if (version != PROTOCOL_VERSION) {
        *error = error_code::unsupported_version;
        return false;
    }
    if (!known_request(kind)) {
        *error = error_code::unknown_request;
        return false;
    }
    switch (static_cast<request_kind>(kind)) {
        case request_kind::start: {
            start_record v;
            read_start(r, &v);
            *out = std::move(v);
            break;
        }
        case request_kind::stop:
            *out = stop_request{r.i32()};
            break;
        case request_kind::update_token:
            *out = token_request{r.text()};
            break;
        case request_kind::update_limits: {
            limits_request v;
            v.upload = r.i32();
            v.download = r.i32();
            *out = v;
            break;
        }
        case request_kind::ping: {
            ping_request v;
            v.address = r.text();
            v.port = r.i32();
            *out = std::move(v);
            break;
        }
        case request_kind::status:
            *out = status_request{};
            break;
        case request_kind::device_check:
            *out = device_check_request{};
            break;
        case request_kind::load_tun:
            *out = load_tun_request{};
            break;
    }
    if (!r.at_end()) {
        *error = error_code::malformed;
        return false;
    }
    return true;
}

bool decode_reply(const uint8_t* message, size_t size, reply* out) {
    reader r(message, size);
    const bool framing_ok = r.u8() == MAGIC[0] && r.u8() == MAGIC[1] && r.u8() == PROTOCOL_VERSION;
    const uint8_t type = r.u8();
    *out = reply{};
    out->kind = r.u8();
    if (!framing_ok || (type != REPLY_OK && type != REPLY_ERROR)) {
        return false;
    }
    out->ok = type == REPLY_OK;
    if (out->ok) {
        out->value = r.i32();
        out->rtt_ms = r.u16();
    } else {
        const uint8_t code = r.u8();
        if (code < static_cast<uint8_t>(error_code::unsupported_version) ||
            code > static_cast<uint8_t>(error_code::shutting_down)) {
            return false;
        }
        out->error = static_cast<error_code>(code);
    }
    return r.at_end();
}

}  // namespace engine_service
