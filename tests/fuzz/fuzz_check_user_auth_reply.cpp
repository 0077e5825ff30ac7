#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_input in(data, size);
    const std::vector<uint8_t> msg = reply_from_input(MSG_USER_AUTH, USER_AUTH_REPLY_PLAIN_LEN, in);
    char tun_ip[ADDR_TEXT_FIELD];
    char tun_netmask[ADDR_TEXT_FIELD];
    check_user_auth_reply(&fuzz_session().proto, msg.data(), static_cast<int>(msg.size()), tun_ip,
                          tun_netmask);
    return 0;
}
