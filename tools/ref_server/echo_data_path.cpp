#include "data_path.h"
#include "session_table.h"

void echo_data_path::from_client(const session& from, const uint8_t* packet, int len,
                                 tunnel_sender& out) {
    if (out.to_session(from.sid, packet, len))
        echoed_.fetch_add(1);
}
