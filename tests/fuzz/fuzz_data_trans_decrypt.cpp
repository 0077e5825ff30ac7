#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_input in(data, size);
    const std::vector<uint8_t> msg = reply_from_input(MSG_DATA_TRANS, -1, in);
    // Exactly the room the caller must provide: len - 31 bytes.
    std::vector<uint8_t> packet(msg.size() > 31 ? msg.size() - 31 : 0);
    int packet_len = 0;
    data_trans_decrypt(&fuzz_session().proto, msg.data(), static_cast<int>(msg.size()),
                       packet.data(), &packet_len);
    return 0;
}
