#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "aead.h"

namespace {

constexpr const char* FORCE_VARIABLE = "QUARNEL_AEAD";

#ifdef QN_OPENSSL
constexpr size_t PROBE_LEN = 1400;  // a full-size packet, where the cipher's cost lies
constexpr size_t PROBE_AD_LEN = 15;
constexpr int PROBE_ROUNDS = 7;
constexpr int SEALS_PER_ROUND = 16;
// Payloads up to this size go to libsodium even where OpenSSL is faster on full-size packets.
// OpenSSL's longer path (context set-up, parameters, provider calls) costs little when the
// packets of a transfer follow one another, but a packet that comes alone, a ping or a lone
// acknowledgement, finds that code out of the caches: there it takes about twice libsodium's
// time, at each of the four seals and opens of a round trip. The short packets are the ones
// whose latency is seen.
constexpr size_t SHORT_PAYLOAD = 512;

// libsodium for short payloads, the given implementation for the rest; the same bytes either
// way.
class by_length final : public aead {
  public:
    explicit by_length(const aead& long_payloads) : long_(long_payloads) {}

    const char* name() const override { return long_.name(); }

    void seal(const uint8_t* key, const uint8_t* nonce, const uint8_t* ad, size_t ad_len,
              const uint8_t* plain, size_t plain_len, uint8_t* out) const override {
        for_length(plain_len).seal(key, nonce, ad, ad_len, plain, plain_len, out);
    }

    bool open(const uint8_t* key, const uint8_t* nonce, const uint8_t* ad, size_t ad_len,
              const uint8_t* sealed, size_t sealed_len, uint8_t* plain) const override {
        return for_length(sealed_len < AEAD_TAG_LEN ? 0 : sealed_len - AEAD_TAG_LEN)
            .open(key, nonce, ad, ad_len, sealed, sealed_len, plain);
    }

  private:
    const aead& for_length(size_t payload_len) const {
        return payload_len <= SHORT_PAYLOAD ? sodium_aead() : long_;
    }
    const aead& long_;
};

struct probe {
    uint8_t key[AEAD_KEY_LEN];
    uint8_t nonce[AEAD_NONCE_LEN];
    std::vector<uint8_t> data = std::vector<uint8_t>(PROBE_AD_LEN + PROBE_LEN + AEAD_TAG_LEN);

    probe() {
        for (size_t i = 0; i < sizeof key; ++i)
            key[i] = static_cast<uint8_t>(i * 7 + 1);
        for (size_t i = 0; i < sizeof nonce; ++i)
            nonce[i] = static_cast<uint8_t>(0xA0 + i);
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<uint8_t>(i * 31);
    }

    const uint8_t* ad() const { return data.data(); }
    uint8_t* payload() { return data.data() + PROBE_AD_LEN; }
    void seal_with(const aead& impl, size_t len) {
        impl.seal(key, nonce, ad(), PROBE_AD_LEN, payload(), len, payload());
    }
};

// Bytes per nanosecond (GB/s) in the least disturbed of a few short rounds: other work on the
// machine only ever slows a round down.
double seal_rate(const aead& impl) {
    probe p;
    p.seal_with(impl, PROBE_LEN);  // the first call makes the thread's contexts
    auto best = std::chrono::steady_clock::duration::max();
    for (int round = 0; round < PROBE_ROUNDS; ++round) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < SEALS_PER_ROUND; ++i)
            p.seal_with(impl, PROBE_LEN);
        best = std::min(best, std::chrono::steady_clock::now() - start);
    }
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(best).count();
    return static_cast<double>(SEALS_PER_ROUND * PROBE_LEN) / static_cast<double>(ns > 0 ? ns : 1);
}

// libsodium's result is the reference: a library that differs (a broken or replaced provider)
// is not used, whatever it costs.
bool agrees_with_sodium(const aead& impl) {
    const probe original;
    for (size_t len : {size_t{0}, size_t{1}, size_t{64}, size_t{192}, size_t{193}, PROBE_LEN}) {
        probe reference, candidate;
        reference.seal_with(sodium_aead(), len);
        candidate.seal_with(impl, len);
        if (reference.data != candidate.data)
            return false;
        if (!impl.open(candidate.key, candidate.nonce, candidate.ad(), PROBE_AD_LEN,
                       candidate.payload(), len + AEAD_TAG_LEN, candidate.payload()) ||
            !std::equal(original.data.begin(), original.data.begin() + PROBE_AD_LEN + len,
                        candidate.data.begin()))
            return false;
    }
    return true;
}

std::string rate_text(double rate) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f GB/s", rate);
    return text;
}

aead_choice measured_choice(const aead& openssl) {
    const double sodium_rate = seal_rate(sodium_aead());
    const double openssl_rate = seal_rate(openssl);
    const std::string measured = "measured on " + std::to_string(PROBE_LEN) +
                                 "-byte packets: openssl " + rate_text(openssl_rate) + ", sodium " +
                                 rate_text(sodium_rate);
    if (openssl_rate <= sodium_rate)
        return {&sodium_aead(), "sodium (" + measured + ")"};
    static const by_length openssl_for_long(openssl);
    return {&openssl_for_long, "openssl, sodium for payloads up to " +
                                   std::to_string(SHORT_PAYLOAD) + " bytes (" + measured + ")"};
}

aead_choice choose_with_openssl(const std::string& force, const std::string& setting) {
    const aead* openssl = openssl_aead();
    if (openssl == nullptr)
        return {&sodium_aead(), "sodium (OpenSSL offers no ChaCha20 or Poly1305)"};
    if (!agrees_with_sodium(*openssl))
        return {&sodium_aead(), "sodium (OpenSSL's ChaCha20-Poly1305 differs from libsodium's)"};
    if (force == openssl->name())
        return {openssl, "openssl (" + setting + ")"};
    aead_choice choice = measured_choice(*openssl);
    if (!force.empty())
        choice.reason += ", " + setting + " not understood";
    return choice;
}
#endif

}  // namespace

aead_choice choose_aead(const char* forced) {
    const std::string force = forced != nullptr ? forced : "";
    const std::string setting = std::string(FORCE_VARIABLE) + "=" + force;
    if (force == sodium_aead().name())
        return {&sodium_aead(), "sodium (" + setting + ")"};
#ifdef QN_OPENSSL
    return choose_with_openssl(force, setting);
#else
    // The build's target has no OpenSSL 3: libsodium is the only implementation there is.
    std::string reason = "sodium (built without OpenSSL";
    if (!force.empty())
        reason += ", " + setting + (force == "openssl" ? " not available" : " not understood");
    return {&sodium_aead(), reason + ")"};
#endif
}

const aead_choice& active_aead() {
    static const aead_choice choice = choose_aead(std::getenv(FORCE_VARIABLE));
    return choice;
}
