// A protocol context that has completed S1 against keys the test holds: the server's side.
#pragma once

#include <cstdint>

#include "protocol.h"
#include "signing_key.h"

struct keyed_session {
    static constexpr uint32_t SID = 0x11223344;
    static constexpr uint32_t CLIENT_SEQ = 1000;             // initial client tx_seq
    static constexpr uint64_t SERVER_SEQ_HIGH = 7ull << 32;  // high word of the S1 reply seq

    signing_key server = signing_key::generate();
    proto_ctx proto;
    uint8_t server_rx[KEY_LEN] = {};  // opens what the client seals
    uint8_t server_tx[KEY_LEN] = {};  // seals what the client opens
    uint64_t server_seq = 0;          // the S1 reply's seq, now the client's rx_seq
    bool ok = false;

    keyed_session();

    // A sealed server-to-client message of any type.
    int seal_reply(uint8_t type, uint64_t seq, const uint8_t* plain, int plain_len,
                   uint8_t* out) const;
    // Opens a client request with the server's key; -1 when not authentic.
    int open_request(const uint8_t* msg, int len, uint8_t* plain) const;
};
