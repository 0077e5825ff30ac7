// A request as a local peer of the engine service sends it: whatever decodes must encode back
// to the same message.
#include <cstdlib>
#include <cstring>

#include "service_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace engine_service;
    request r;
    error_code error = error_code::malformed;
    if (!decode_request(data, size, &r, &error)) {
        return 0;
    }
    std::vector<uint8_t> frame;
    std::string why;
    if (!encode_request(r, &frame, &why) || frame.size() != size + LENGTH_BYTES ||
        std::memcmp(frame.data() + LENGTH_BYTES, data, size) != 0) {
        std::abort();
    }
    return 0;
}
