// Protocol steps of a session: handshake, rekey, keepalive, disconnect, and the ping.
#pragma once

#include <cstdint>

struct qn_ctx_t;
struct session_config;

int key_exchange(qn_ctx_t* ctx, const char* static_ip, const uint8_t* server_pk);
int user_auth(qn_ctx_t* ctx, const session_config& config);
int send_rekey_req(qn_ctx_t* ctx);
int send_heartbeat_req(qn_ctx_t* ctx);
int send_disconn_req(qn_ctx_t* ctx);
int udp_ping_impl(const char* ip, unsigned short port, uint16_t* rtt_ms);
