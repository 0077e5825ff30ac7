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
// Opens the one session: 0, or a result code (result_codes.h). Texts need only live for the call.
QUARNEL_EXPORT int QUARNEL_CALL start_vpn(
    const char* os_type,                    // sent to the server, 10 bytes at most
    const char* client_version,             // sent to the server, 10 bytes at most
    const char* token,                      // the user's token, 512 bytes at most
    const char* uuid,                       // the device's identifier, 64 bytes at most
    const char* server_pk,                  // 64 hex digits: the server's signing key
    const char* static_ip,                  // tunnel address asked for, dotted IPv4 or ""
    const char* server_ip,                  // IPv4 or IPv6 literal
    int server_port,                        // low 16 bits used
    const route_entry_str_t* local_routes,  // told to the server, 50 at most
    int local_route_count,
    const route_entry_str_t* remote_routes,  // tunnelled in split mode, kept off it in proxy mode
    int remote_route_count,
    const route_entry_str_t* proxy_routes,  // tunnelled in proxy mode; none: all public IPv4
    int proxy_route_count,
    int mtu,                  // of the tunnel device
    int upload_limit,         // bytes per second, 0: none
    int download_limit,       // bytes per second, 0: none
    int proxy_mode,           // 1: proxy mode, anything else: split mode
    const char* dns,          // the tunnel's resolver
    const char* backup_dns);  // its second resolver
QUARNEL_EXPORT void QUARNEL_CALL stop_vpn(int send_disconn);
QUARNEL_EXPORT void QUARNEL_CALL update_token(const char* token);
QUARNEL_EXPORT void QUARNEL_CALL update_limit_rate(int upload_limit, int download_limit);
QUARNEL_EXPORT int QUARNEL_CALL get_vpn_status(void);
QUARNEL_EXPORT int QUARNEL_CALL udp_ping(const char* ip, int port, uint16_t* rtt_ms);
}
