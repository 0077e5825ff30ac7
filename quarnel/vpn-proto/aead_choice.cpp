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
    const aead& faster = openssl_rate > sodium_rate ? openssl : sodium_aead();
    return {&faster, std::string(faster.name()) + " (measured on " + std::to_string(PROBE_LEN) +
                         "-byte packets: openssl " + rate_text(openssl_rate) + ", sodium " +
                         rate_text(sodium_rate) + ")"};
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
