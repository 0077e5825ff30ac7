#include "fuzz_support.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>

#include "engine_log.h"

// libFuzzer calls this once before the first input.
extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    // Failing checks would otherwise format and print a log line for nearly every input.
    engine_log::g_active_level.store(spdlog::level::off);
    return sodium_init() < 0 ? -1 : 0;
}

uint8_t fuzz_input::byte() {
    if (left_ == 0)
        return 0;
    --left_;
    return *data_++;
}

uint32_t fuzz_input::u32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v = (v << 8) | byte();
    return v;
}

uint64_t fuzz_input::u64() {
    return (uint64_t{u32()} << 32) | u32();
}

std::vector<uint8_t> fuzz_input::rest() {
    std::vector<uint8_t> all(data_, data_ + left_);
    data_ += left_;
    left_ = 0;
    return all;
}

keyed_session& fuzz_session() {
    static keyed_session session;
    session.proto.rx_seq.store(session.server_seq);
    return session;
}

std::vector<uint8_t> sealed_message(uint8_t type, int plain_len, fuzz_input& in) {
    const keyed_session& session = fuzz_session();
    const uint64_t seq = in.u64();
    std::vector<uint8_t> plain = in.rest();
    if (plain_len >= 0)
        plain.resize(static_cast<size_t>(plain_len));
    plain.resize(std::min<size_t>(plain.size(), 0xFFFF - AEAD_TAG_LEN));
    std::vector<uint8_t> msg(VPN_HEADER_LEN + plain.size() + AEAD_TAG_LEN);
    session.seal_reply(type, seq, plain.data(), static_cast<int>(plain.size()), msg.data());
    return msg;
}

std::vector<uint8_t> reply_from_input(uint8_t type, int exact_plain_len, fuzz_input& in) {
    const uint8_t mode = in.byte();
    if ((mode & 1) == 0)
        return in.rest();
    return sealed_message(type, (mode & 2) ? exact_plain_len : -1, in);
}

void fuzz_signed_reply(const uint8_t* data, size_t size, proto_ctx& proto, uint8_t type,
                       signed_check check) {
    const keyed_session& session = fuzz_session();
    fuzz_input in(data, size);
    if ((in.byte() & 1) == 0) {
        const std::vector<uint8_t> msg = in.rest();
        check(&proto, msg.data(), static_cast<int>(msg.size()), session.server.public_key);
        return;
    }
    const uint32_t sid = in.u32();
    const uint64_t seq = (uint64_t{in.u32()} << 32) | proto.challenge.load();
    uint8_t message[KX_SIGNED_MSG_LEN];
    for (uint8_t& b : message)
        b = in.byte();
    uint8_t msg[KX_REPLY_LEN];
    put_vpn_header(msg, type, sid, seq, KX_REPLY_LEN - VPN_HEADER_LEN);
    crypto_sign(msg + VPN_HEADER_LEN, nullptr, message, sizeof message, session.server.secret_key);
    check(&proto, msg, KX_REPLY_LEN, session.server.public_key);
}
