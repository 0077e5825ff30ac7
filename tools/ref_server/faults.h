// Deliberate misbehaviour of the reference server, for tests of the client's failure paths.
#pragma once

#include <cstdint>

struct fault_switches {
    bool drop_s1 = false;        // never answer S1
    bool drop_s2 = false;        // never answer S2
    bool drop_s4 = false;        // never answer S4
    bool fail_s1 = false;        // answer S1 with status 1
    bool fail_s2 = false;        // answer S2 with status 1
    bool foreign_key = false;    // sign S1 and S4 replies with a key the client does not know
    bool stale_s2_seq = false;   // answer S2 with a sequence number below the one S1 announced
    int signed_reply_len = 120;  // total length of S1 and S4 replies (119 or 121 to break them)
    int delay_ms = 0;            // hold every reply back this long
    int64_t silent_after = -1;   // ignore every datagram after this many (-1: never)
};
