#include <sodium.h>

#include "aead.h"

namespace {

class sodium_chacha20_poly1305 final : public aead {
  public:
    const char* name() const override { return "sodium"; }

    void seal(const uint8_t* key, const uint8_t* nonce, const uint8_t* ad, size_t ad_len,
              const uint8_t* plain, size_t plain_len, uint8_t* out) const override {
        crypto_aead_chacha20poly1305_encrypt(out, nullptr, plain, plain_len, ad, ad_len, nullptr,
                                             nonce, key);
    }

    bool open(const uint8_t* key, const uint8_t* nonce, const uint8_t* ad, size_t ad_len,
              const uint8_t* sealed, size_t sealed_len, uint8_t* plain) const override {
        return sealed_len >= AEAD_TAG_LEN &&
               crypto_aead_chacha20poly1305_decrypt(plain, nullptr, nullptr, sealed, sealed_len, ad,
                                                    ad_len, nonce, key) == 0;
    }
};

}  // namespace

const aead& sodium_aead() {
    // Initialised, the library runs its fastest code for this CPU; otherwise its portable code,
    // which gives the same bytes.
    [[maybe_unused]] static const bool initialised = sodium_init() >= 0;
    static const sodium_chacha20_poly1305 instance;
    return instance;
}
