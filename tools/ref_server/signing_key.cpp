#include "signing_key.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

std::string to_hex(const uint8_t* bytes, size_t len) {
    std::string hex(len * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), bytes, len);
    hex.pop_back();
    return hex;
}

signing_key from_seed(const uint8_t* seed) {
    signing_key key;
    crypto_sign_seed_keypair(key.public_key, key.secret_key, seed);
    return key;
}

bool create_key_file(const std::string& path, signing_key* key, std::string* error) {
    uint8_t seed[crypto_sign_SEEDBYTES];
    randombytes_buf(seed, sizeof seed);
    // The seed is the whole secret: only the owner may read it.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    const std::string text = to_hex(seed, sizeof seed) + "\n";
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    if (!written) {
        *error = "cannot write " + path;
        return false;
    }
    *key = from_seed(seed);
    sodium_memzero(seed, sizeof seed);
    return true;
}

}  // namespace

signing_key signing_key::generate() {
    signing_key key;
    crypto_sign_keypair(key.public_key, key.secret_key);
    return key;
}

bool signing_key::load_or_create(const std::string& path, signing_key* key, std::string* error) {
    std::ifstream in(path);
    if (!in)
        return create_key_file(path, key, error);
    std::string text;
    in >> text;
    uint8_t seed[crypto_sign_SEEDBYTES];
    size_t seed_len = 0;
    if (text.size() != 2 * sizeof seed ||
        sodium_hex2bin(seed, sizeof seed, text.c_str(), text.size(), nullptr, &seed_len, nullptr) !=
            0 ||
        seed_len != sizeof seed) {
        *error = path + " does not hold a 64-character hexadecimal seed";
        return false;
    }
    *key = from_seed(seed);
    sodium_memzero(seed, sizeof seed);
    return true;
}

std::string signing_key::public_hex() const {
    return to_hex(public_key, sizeof public_key);
}
