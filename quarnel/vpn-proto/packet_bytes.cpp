#include "packet_bytes.h"

#include <cstring>

uint64_t csum_bytes(const uint8_t* p, size_t n, uint64_t sum) {
    uint64_t a = 0;
    uint64_t b = 0;
    uint64_t w[4];
    while (n >= sizeof(w)) {
        std::memcpy(w, p, sizeof(w));
        a = csum_add(a, w[0]);
        b = csum_add(b, w[1]);
        a = csum_add(a, w[2]);
        b = csum_add(b, w[3]);
        p += sizeof(w);
        n -= sizeof(w);
    }
    while (n >= 8) {
        std::memcpy(w, p, 8);
        a = csum_add(a, w[0]);
        p += 8;
        n -= 8;
    }
    sum = csum_add(csum_add(sum, a), b);
    if (n >= 4) {
        uint32_t v;
        std::memcpy(&v, p, 4);
        sum = csum_add(sum, v);
        p += 4;
        n -= 4;
    }
    if (n >= 2) {
        uint16_t v;
        std::memcpy(&v, p, 2);
        sum = csum_add(sum, v);
        p += 2;
        n -= 2;
    }
    if (n == 1) {
        uint16_t v = 0;
        std::memcpy(&v, p, 1);
        sum = csum_add(sum, v);
    }
    return sum;
}

uint16_t csum_adjust(uint16_t checksum, uint16_t old_word, uint16_t new_word) {
    int32_t sum = static_cast<int32_t>(checksum) + old_word - new_word;
    if (sum >= 0) {
        sum = (sum >> 16) + (sum & 0xFFFF);
        sum += sum >> 16;
        return static_cast<uint16_t>(sum);
    }
    sum = -sum;
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum += sum >> 16;
    return static_cast<uint16_t>(~sum);
}
