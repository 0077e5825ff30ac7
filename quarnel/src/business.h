// Protocol steps of a session: handshake, rekey, keepalive, disconnect, and the ping.
#pragma once

#include <cstdint>

#include "route_types.h"

struct qn_ctx_t;

int key_exchange(qn_ctx_t* ctx, const char* static_ip, const uint8_t* server_pk);
int user_auth(qn_ctx_t* ctx, const char* os_type, const char* client_version, const char* token,
              const char* uuid, const route_prefix* local_routes, int local_route_count,
              int upload_limit, int download_limit);
int send_rekey_req(qn_ctx_t* ctx);
int send_heartbeat_req(qn_ctx_t* ctx);
int send_disconn_req(qn_ctx_t* ctx);
int udp_ping_impl(const char* ip, unsigned short port, uint16_t* rtt_ms);
