#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    proto_ctx proto;
    uint8_t request[CONTROL_BUF_LEN];
    int len = 0;
    create_kx_req(&proto, nullptr, request, &len);
    fuzz_signed_reply(data, size, proto, MSG_AUTH_KX, check_kx_reply);
    return 0;
}
