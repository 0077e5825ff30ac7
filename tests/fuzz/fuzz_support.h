// Shared set-up of the fuzz targets: a keyed session, and inputs shaped into server messages
// that pass the outer checks so the fuzzer reaches what lies behind them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "session_fixture.h"

// Reads an input front to back; past its end every read gives zeros.
class fuzz_input {
  public:
    fuzz_input(const uint8_t* data, size_t size) : data_(data), left_(size) {}
    uint8_t byte();
    uint32_t u32();
    uint64_t u64();
    // Everything not read yet.
    std::vector<uint8_t> rest();

  private:
    const uint8_t* data_;
    size_t left_;
};

// The session every sealed-message target works on, with its receive sequence reset.
keyed_session& fuzz_session();

// A server message of this type sealed with the session's key, seq and plaintext from the input.
// The plaintext has exactly plain_len bytes (zero-padded), or when plain_len is -1 whatever is
// left: exact sizes take the fuzzer straight past the length checks.
std::vector<uint8_t> sealed_message(uint8_t type, int plain_len, fuzz_input& in);

// Raw input, or (odd mode byte) a sealed message of the type, exact-sized when bit 1 is set.
std::vector<uint8_t> reply_from_input(uint8_t type, int exact_plain_len, fuzz_input& in);

using signed_check = int (*)(proto_ctx*, const uint8_t*, int, const uint8_t*);

// Feeds an S1 or S4 reply checker: raw bytes, or a reply signed with the known server key that
// echoes the challenge of the request just made on proto.
void fuzz_signed_reply(const uint8_t* data, size_t size, proto_ctx& proto, uint8_t type,
                       signed_check check);
