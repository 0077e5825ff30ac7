#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <climits>
#include <cstring>

#include "aead.h"

namespace {

constexpr int BLOCK_LEN = 64;
constexpr int POLY_KEY_LEN = 32;
// Payloads up to this size go through the cipher in one call together with block 0.
constexpr size_t STAGED_DATA_MAX = 3 * BLOCK_LEN;
// OpenSSL's ChaCha20 IV: the 32-bit block counter, then three words of nonce. The 8-byte nonce
// takes the last two; the word between, the counter's high half, stays 0.
constexpr int IV_LEN = 16;
constexpr int IV_NONCE_OFFSET = 8;

void put_le64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Cipher and MAC contexts of one thread, made on its first packet and kept for the next.
struct thread_contexts {
    EVP_CIPHER_CTX* cipher = nullptr;
    EVP_MAC_CTX* mac = nullptr;
    bool ready = false;

    ~thread_contexts() {
        EVP_MAC_CTX_free(mac);
        EVP_CIPHER_CTX_free(cipher);
    }
};

// The construction from OpenSSL's ChaCha20 stream cipher and Poly1305 MAC, fetched once. Where
// the library fails (no memory for a thread's contexts), libsodium computes the same bytes.
class openssl_chacha20_poly1305 final : public aead {
  public:
    openssl_chacha20_poly1305()
        : cipher_(EVP_CIPHER_fetch(nullptr, "ChaCha20", nullptr)),
          mac_(EVP_MAC_fetch(nullptr, "POLY1305", nullptr)) {}

    ~openssl_chacha20_poly1305() override {
        EVP_MAC_free(mac_);
        EVP_CIPHER_free(cipher_);
    }

    bool usable() const { return cipher_ != nullptr && mac_ != nullptr; }

    const char* name() const override { return "openssl"; }

    void seal(const uint8_t* key, const uint8_t* nonce, const uint8_t* ad, size_t ad_len,
              const uint8_t* plain, size_t plain_len, uint8_t* out) const override {
        thread_contexts* ctx = contexts();
        if (ctx == nullptr || !seal_with(*ctx, key, nonce, ad, ad_len, plain, plain_len, out))
            sodium_aead().seal(key, nonce, ad, ad_len, plain, plain_len, out);
    }

    bool open(const uint8_t* key, const uint8_t* nonce, const uint8_t* ad, size_t ad_len,
              const uint8_t* sealed, size_t sealed_len, uint8_t* plain) const override {
        if (sealed_len < AEAD_TAG_LEN)
            return false;
        thread_contexts* ctx = contexts();
        if (ctx == nullptr)
            return sodium_aead().open(key, nonce, ad, ad_len, sealed, sealed_len, plain);
        const open_result result =
            open_with(*ctx, key, nonce, ad, ad_len, sealed, sealed_len, plain);
        if (result == open_result::failed)
            return sodium_aead().open(key, nonce, ad, ad_len, sealed, sealed_len, plain);
        return result == open_result::opened;
    }

  private:
    enum class open_result { opened, not_authentic, failed };

    // nullptr when this thread's contexts cannot be made.
    thread_contexts* contexts() const {
        thread_local thread_contexts tls;
        if (!tls.ready) {
            if (tls.cipher == nullptr)
                tls.cipher = EVP_CIPHER_CTX_new();
            if (tls.mac == nullptr)
                tls.mac = EVP_MAC_CTX_new(mac_);
            tls.ready = tls.cipher != nullptr && tls.mac != nullptr &&
                        EVP_EncryptInit_ex2(tls.cipher, cipher_, nullptr, nullptr, nullptr) == 1;
        }
        return tls.ready ? &tls : nullptr;
    }

    // Runs the keystream from block 0 over the stage: 64 zero bytes, then the first `head` bytes
    // of the input. The stage then holds the one-time Poly1305 key and the head's output, and
    // the cipher stands at the block after them. A short payload so costs one cipher call, not
    // two: the cipher computes several blocks per call anyway.
    static bool start(thread_contexts& ctx, const uint8_t* key, const uint8_t* nonce,
                      const uint8_t* ad, size_t ad_len, const uint8_t* in, size_t head,
                      uint8_t* stage) {
        uint8_t iv[IV_LEN] = {};
        std::memcpy(iv + IV_NONCE_OFFSET, nonce, AEAD_NONCE_LEN);
        std::memset(stage, 0, BLOCK_LEN);
        if (head > 0)
            std::memcpy(stage + BLOCK_LEN, in, head);
        uint8_t ad_bits[8];
        put_le64(ad_bits, ad_len);
        int n = 0;
        return EVP_EncryptInit_ex2(ctx.cipher, nullptr, key, iv, nullptr) == 1 &&
               EVP_EncryptUpdate(ctx.cipher, stage, &n, stage,
                                 BLOCK_LEN + static_cast<int>(head)) == 1 &&
               EVP_MAC_init(ctx.mac, stage, POLY_KEY_LEN, nullptr) == 1 &&
               EVP_MAC_update(ctx.mac, ad, ad_len) == 1 &&
               EVP_MAC_update(ctx.mac, ad_bits, sizeof ad_bits) == 1;
    }

    // Adds the ciphertext and its length to the MAC and writes the tag.
    static bool finish(thread_contexts& ctx, const uint8_t* ciphertext, size_t len, uint8_t* tag) {
        uint8_t len_bits[8];
        put_le64(len_bits, len);
        size_t tag_len = 0;
        return EVP_MAC_update(ctx.mac, ciphertext, len) == 1 &&
               EVP_MAC_update(ctx.mac, len_bits, sizeof len_bits) == 1 &&
               EVP_MAC_final(ctx.mac, tag, &tag_len, AEAD_TAG_LEN) == 1 && tag_len == AEAD_TAG_LEN;
    }

    // The rest of the data after the staged head.
    static bool crypt(thread_contexts& ctx, const uint8_t* in, size_t len, uint8_t* out) {
        int n = 0;
        return len == 0 || EVP_EncryptUpdate(ctx.cipher, out, &n, in, static_cast<int>(len)) == 1;
    }

    static size_t staged_head(size_t len) { return len <= STAGED_DATA_MAX ? len : 0; }

    static bool seal_with(thread_contexts& ctx, const uint8_t* key, const uint8_t* nonce,
                          const uint8_t* ad, size_t ad_len, const uint8_t* plain, size_t plain_len,
                          uint8_t* out) {
        if (plain_len > INT_MAX)
            return false;
        uint8_t stage[BLOCK_LEN + STAGED_DATA_MAX];
        const size_t head = staged_head(plain_len);
        bool ok = start(ctx, key, nonce, ad, ad_len, plain, head, stage);
        if (ok) {
            if (head > 0)
                std::memcpy(out, stage + BLOCK_LEN, head);
            ok = crypt(ctx, plain + head, plain_len - head, out + head) &&
                 finish(ctx, out, plain_len, out + plain_len);
        }
        OPENSSL_cleanse(stage, BLOCK_LEN + head);
        return ok;
    }

    // No plaintext is written before the tag holds: opened in place, the MAC still needs the
    // ciphertext.
    static open_result open_with(thread_contexts& ctx, const uint8_t* key, const uint8_t* nonce,
                                 const uint8_t* ad, size_t ad_len, const uint8_t* sealed,
                                 size_t sealed_len, uint8_t* plain) {
        const size_t len = sealed_len - AEAD_TAG_LEN;
        if (len > INT_MAX)
            return open_result::failed;
        uint8_t stage[BLOCK_LEN + STAGED_DATA_MAX];
        const size_t head = staged_head(len);
        uint8_t tag[AEAD_TAG_LEN];
        open_result result = open_result::failed;
        if (start(ctx, key, nonce, ad, ad_len, sealed, head, stage) &&
            finish(ctx, sealed, len, tag)) {
            if (CRYPTO_memcmp(tag, sealed + len, AEAD_TAG_LEN) != 0) {
                result = open_result::not_authentic;
            } else {
                if (head > 0)
                    std::memcpy(plain, stage + BLOCK_LEN, head);
                result = crypt(ctx, sealed + head, len - head, plain + head) ? open_result::opened
                                                                             : open_result::failed;
            }
        }
        OPENSSL_cleanse(stage, BLOCK_LEN + head);
        return result;
    }

    EVP_CIPHER* cipher_;
    EVP_MAC* mac_;
};

}  // namespace

const aead* openssl_aead() {
    static const openssl_chacha20_poly1305 instance;
    return instance.usable() ? &instance : nullptr;
}
