#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> msg(data, data + size);
    if (check_ping_reply(msg.data(), static_cast<int>(msg.size())) == 0)
        ping_rtt_ms(msg.data(), steady_micros());
    return 0;
}
