#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_input in(data, size);
    const proto_ctx* proto = (in.byte() & 1) ? &fuzz_session().proto : nullptr;
    const std::vector<uint8_t> msg = in.rest();
    check_vpn_header(proto, msg.data(), static_cast<int>(msg.size()));
    return 0;
}
