// The server's Ed25519 signing key and its key file.
#pragma once

#include <sodium.h>

#include <cstdint>
#include <string>

struct signing_key {
    uint8_t public_key[crypto_sign_PUBLICKEYBYTES] = {};
    uint8_t secret_key[crypto_sign_SECRETKEYBYTES] = {};

    static signing_key generate();

    // Reads the key file (the seed as 64 hex characters), creating it when it does not exist.
    static bool load_or_create(const std::string& path, signing_key* key, std::string* error);

    // The public key as the 64 hexadecimal characters the client is given.
    std::string public_hex() const;
};
