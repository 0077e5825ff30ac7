#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_input in(data, size);
    const std::vector<uint8_t> msg = reply_from_input(MSG_KEEPALIVE, 1, in);
    check_keepalive_reply(&fuzz_session().proto, msg.data(), static_cast<int>(msg.size()));
    return 0;
}
