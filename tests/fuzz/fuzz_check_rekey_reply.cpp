#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    proto_ctx proto;
    uint8_t request[CONTROL_BUF_LEN];
    int len = 0;
    create_rekey_req(&proto, request, &len);
    fuzz_signed_reply(data, size, proto, MSG_REKEY, check_rekey_reply);
    return 0;
}
