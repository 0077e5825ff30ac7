// The engine's six exported functions.
#pragma once

#include <cstdint>

#include "route_entry.h"

#ifdef _WIN32
// Exported by name through quarnel.def.
#define QUARNEL_EXPORT
#define QUARNEL_CALL __cdecl
#else
#define QUARNEL_EXPORT __attribute__((visibility("default")))
#define QUARNEL_CALL
#endif

extern "C" {
QUARNEL_EXPORT int QUARNEL_CALL
start_vpn(const char* os_type, const char* client_version, const char* token, const char* uuid,
          const char* server_pk, const char* static_ip, const char* server_ip, int server_port,
          const route_entry_str_t* local_routes, int local_route_count,
          const route_entry_str_t* remote_routes, int remote_route_count,
          const route_entry_str_t* proxy_routes, int proxy_route_count, int mtu, int upload_limit,
          int download_limit, int proxy_mode, const char* dns, const char* backup_dns);
QUARNEL_EXPORT void QUARNEL_CALL stop_vpn(int send_disconn);
QUARNEL_EXPORT void QUARNEL_CALL update_token(const char* token);
QUARNEL_EXPORT void QUARNEL_CALL update_limit_rate(int upload_limit, int download_limit);
QUARNEL_EXPORT int QUARNEL_CALL get_vpn_status(void);
QUARNEL_EXPORT int QUARNEL_CALL udp_ping(const char* ip, int port, uint16_t* rtt_ms);
}
