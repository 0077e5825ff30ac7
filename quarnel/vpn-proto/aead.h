// Sealing of the protocol's payloads: ChaCha20-Poly1305 with 8-byte nonces. Keystream block 0
// gives the one-time Poly1305 key, the data is encrypted from block 1, and the tag covers the
// associated data, its length, the ciphertext and its length (lengths 8 bytes little-endian).
// Two implementations produce the same bytes; the faster one serves the process, libsodium
// its short payloads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr int AEAD_KEY_LEN = 32;
constexpr int AEAD_NONCE_LEN = 8;
constexpr int AEAD_TAG_LEN = 16;

class aead {
  public:
    virtual ~aead() = default;
    // The value of QUARNEL_AEAD that selects it.
    virtual const char* name() const = 0;
    // Writes plain_len + 16 bytes at out: the ciphertext, then the tag. out is plain itself or
    // does not overlap it.
    virtual void seal(const uint8_t* key, const uint8_t* nonce, const uint8_t* ad, size_t ad_len,
                      const uint8_t* plain, size_t plain_len, uint8_t* out) const = 0;
    // Opens sealed_len bytes (ciphertext, then tag) into sealed_len - 16 bytes at plain, which
    // is sealed itself or does not overlap it. False when shorter than a tag or not authentic.
    virtual bool open(const uint8_t* key, const uint8_t* nonce, const uint8_t* ad, size_t ad_len,
                      const uint8_t* sealed, size_t sealed_len, uint8_t* plain) const = 0;
};

const aead& sodium_aead();
#ifdef QN_OPENSSL
// Built from OpenSSL's ChaCha20 and Poly1305; nullptr when the library offers either not.
// Only builds with OpenSSL 3 for their target have it (not the Windows one).
const aead* openssl_aead();
#endif

struct aead_choice {
    const aead* impl;
    std::string reason;  // for the log: which one, and why
};

// forced is QUARNEL_AEAD's value ("sodium" or "openssl", then for every payload) or nullptr;
// otherwise both are timed on a few packets and the faster is taken, for payloads longer than
// 512 bytes when it is OpenSSL. OpenSSL is taken only when its bytes match libsodium's. A build
// without OpenSSL always takes libsodium.
aead_choice choose_aead(const char* forced);

// The process's choice, made on first use from the environment.
const aead_choice& active_aead();
