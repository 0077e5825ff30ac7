#include "aead.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

bytes from_hex(const std::string& hex) {
    bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// Each implementation the build has (OpenSSL's only where the target has OpenSSL 3), and the
// measured choice when it is neither alone (OpenSSL with libsodium for short payloads).
std::vector<const aead*> all() {
#ifdef QN_OPENSSL
    const aead* openssl = openssl_aead();
    EXPECT_NE(openssl, nullptr);
    std::vector<const aead*> impls{&sodium_aead()};
    for (const aead* impl : {openssl, choose_aead(nullptr).impl}) {
        if (impl != nullptr && std::find(impls.begin(), impls.end(), impl) == impls.end())
            impls.push_back(impl);
    }
    return impls;
#else
    return {&sodium_aead()};
#endif
}

struct message {
    bytes key = bytes(AEAD_KEY_LEN);
    bytes nonce = bytes(AEAD_NONCE_LEN);
    bytes ad;
    bytes plain;

    bytes seal(const aead& impl) const {
        bytes out(plain.size() + AEAD_TAG_LEN);
        impl.seal(key.data(), nonce.data(), ad.data(), ad.size(), plain.data(), plain.size(),
                  out.data());
        return out;
    }
    // The opened plaintext, or nothing when refused.
    std::optional<bytes> open(const aead& impl, const bytes& sealed) const {
        bytes out(sealed.size() > AEAD_TAG_LEN ? sealed.size() - AEAD_TAG_LEN : 0);
        if (!impl.open(key.data(), nonce.data(), ad.data(), ad.size(), sealed.data(), sealed.size(),
                       out.data()))
            return std::nullopt;
        return out;
    }
};

// Published vectors of the 8-byte-nonce construction: the AEAD vector of the original
// ChaCha20-Poly1305 proposal for TLS, and keystream block 1 of the all-zero key and nonce
// (the data's first block), which a zero payload shows as its ciphertext.
TEST(Aead, PublishedVectorsFromBoth) {
    message agl;
    agl.key = from_hex("4290bcb154173531f314af57f3be3b5006da371ece272afa1b5dbdd1100a1007");
    agl.nonce = from_hex("cd7cf67be39c794a");
    agl.ad = from_hex("87e229d4500845a079c0");
    agl.plain = from_hex("86d09974840bded2a5ca");
    const bytes agl_sealed = from_hex("e3e446f7ede9a19b62a4677dabf4e3d24b876bb284753896e1d6");
    message zeros;
    zeros.plain = bytes(64, 0);
    const bytes block1 = from_hex(
        "9f07e7be5551387a98ba977c732d080dcb0f29a048e3656912c6533e32ee7aed"
        "29b721769ce64e43d57133b074d839d531ed1f28510afb45ace10a1f4b794d6f");
    for (const aead* impl : all()) {
        SCOPED_TRACE(impl->name());
        EXPECT_EQ(agl.seal(*impl), agl_sealed);
        EXPECT_EQ(agl.open(*impl, agl_sealed), agl.plain);
        const bytes sealed = zeros.seal(*impl);
        EXPECT_EQ(bytes(sealed.begin(), sealed.begin() + 64), block1);
        EXPECT_EQ(zeros.open(*impl, sealed), zeros.plain);
    }
}

#ifdef QN_OPENSSL
// Every payload length up to 2048 with random keys, nonces and associated data (often the
// 15-byte header): the same bytes from both and from the measured choice, each opens the
// other's, also in place.
TEST(Aead, BothGiveTheSameBytesAndOpenEachOther) {
    const aead* openssl = openssl_aead();
    ASSERT_NE(openssl, nullptr);
    const aead& chosen = *choose_aead(nullptr).impl;
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    auto random_bytes = [&](size_t n) {
        bytes b(n);
        for (uint8_t& x : b)
            x = static_cast<uint8_t>(rng());
        return b;
    };
    for (size_t len = 0; len <= 2048; ++len) {
        SCOPED_TRACE("payload " + std::to_string(len));
        message m;
        m.key = random_bytes(AEAD_KEY_LEN);
        m.nonce = random_bytes(AEAD_NONCE_LEN);
        m.ad = random_bytes(len % 3 == 0 ? 15 : rng() % 2049);
        m.plain = random_bytes(len);
        const bytes reference = m.seal(sodium_aead());
        ASSERT_EQ(m.seal(*openssl), reference);
        ASSERT_EQ(m.open(*openssl, reference), m.plain);
        ASSERT_EQ(m.open(sodium_aead(), reference), m.plain);
        ASSERT_EQ(m.seal(chosen), reference);
        ASSERT_EQ(m.open(chosen, reference), m.plain);

        bytes in_place = m.plain;
        in_place.resize(len + AEAD_TAG_LEN);
        openssl->seal(m.key.data(), m.nonce.data(), m.ad.data(), m.ad.size(), in_place.data(), len,
                      in_place.data());
        ASSERT_EQ(in_place, reference);
        ASSERT_TRUE(openssl->open(m.key.data(), m.nonce.data(), m.ad.data(), m.ad.size(),
                                  in_place.data(), in_place.size(), in_place.data()));
        ASSERT_TRUE(std::equal(m.plain.begin(), m.plain.end(), in_place.begin()));
    }
}
#endif

TEST(Aead, ForgedTruncatedOrMisaddressedMessagesAreRefusedByBoth) {
    message m;
    m.key = bytes(AEAD_KEY_LEN, 0x11);
    m.nonce = bytes(AEAD_NONCE_LEN, 0x22);
    m.ad = bytes(15, 0x33);
    m.plain = bytes(100, 0x44);
    struct fault {
        const char* name;
        std::function<void(message&, bytes&)> apply;
    } faults[] = {
        {"tag bit", [](message&, bytes& s) { s.back() ^= 0x01; }},
        {"ciphertext bit", [](message&, bytes& s) { s[7] ^= 0x80; }},
        {"header byte", [](message& m, bytes&) { m.ad[0] ^= 0x01; }},
        {"header longer", [](message& m, bytes&) { m.ad.push_back(0); }},
        {"truncated by one", [](message&, bytes& s) { s.pop_back(); }},
        {"shorter than a tag", [](message&, bytes& s) { s.resize(AEAD_TAG_LEN - 1); }},
        {"empty", [](message&, bytes& s) { s.clear(); }},
        {"other nonce", [](message& m, bytes&) { m.nonce[7] ^= 0x01; }},
        {"other key", [](message& m, bytes&) { m.key[31] ^= 0x01; }},
    };
    for (const aead* impl : all()) {
        const bytes sealed = m.seal(*impl);
        ASSERT_EQ(m.open(*impl, sealed), m.plain) << impl->name();
        for (const fault& f : faults) {
            message changed = m;
            bytes forged = sealed;
            f.apply(changed, forged);
            EXPECT_FALSE(changed.open(*impl, forged)) << impl->name() << ": " << f.name;
        }
    }
}

#ifdef QN_OPENSSL
TEST(Aead, QuarnelAeadForcesOneAndOtherwiseTheFasterIsMeasured) {
    EXPECT_EQ(choose_aead("sodium").impl, &sodium_aead());
    EXPECT_EQ(choose_aead("openssl").impl, openssl_aead());
    EXPECT_NE(choose_aead("openssl").reason.find("QUARNEL_AEAD=openssl"), std::string::npos);
    for (const char* unset : {static_cast<const char*>(nullptr), "", "chacha"}) {
        const aead_choice measured = choose_aead(unset);
        EXPECT_NE(measured.reason.find("measured"), std::string::npos) << measured.reason;
        EXPECT_EQ(measured.reason.rfind(measured.impl->name(), 0), 0u) << measured.reason;
    }
    EXPECT_NE(choose_aead("chacha").reason.find("QUARNEL_AEAD=chacha not understood"),
              std::string::npos);

    // The process's own choice; run once with QUARNEL_AEAD=sodium by ctest, the fallback.
    const char* forced = std::getenv("QUARNEL_AEAD");
    if (forced != nullptr && *forced != '\0')
        EXPECT_STREQ(active_aead().impl->name(), forced);
    else
        EXPECT_NE(active_aead().reason.find("measured"), std::string::npos);
}
#else
// A build without OpenSSL (the Windows one) has libsodium only, and says so rather than
// blaming OpenSSL's cipher or a measurement.
TEST(Aead, WithoutOpenSslLibsodiumIsTakenWhateverIsAskedAndTheReasonSaysSo) {
    const struct {
        const char* forced;
        const char* reason;
    } cases[] = {
        {nullptr, "sodium (built without OpenSSL)"},
        {"", "sodium (built without OpenSSL)"},
        {"sodium", "sodium (QUARNEL_AEAD=sodium)"},
        {"openssl", "sodium (built without OpenSSL, QUARNEL_AEAD=openssl not available)"},
        {"chacha", "sodium (built without OpenSSL, QUARNEL_AEAD=chacha not understood)"},
    };
    for (const auto& c : cases) {
        const aead_choice choice = choose_aead(c.forced);
        EXPECT_EQ(choice.impl, &sodium_aead());
        EXPECT_EQ(choice.reason, c.reason);
    }
    EXPECT_EQ(active_aead().impl, &sodium_aead());
}
#endif

}  // namespace
