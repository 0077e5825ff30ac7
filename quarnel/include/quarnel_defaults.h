/* What every program that drives the engine takes from it rather than repeating: the name of
   the tunnel interface, the MTU a caller passes unless told otherwise, the variable that picks
   the DNS backend, and this system's name as the server expects it in start_vpn's os_type.
   Plain C, as the exports are. */
#ifndef QUARNEL_DEFAULTS_H
#define QUARNEL_DEFAULTS_H

#define QUARNEL_DEVICE_NAME "tun0"
#define QUARNEL_DEFAULT_MTU 1417
/* Names the program that takes the session's DNS servers (Linux): "systemd-resolved",
   "NetworkManager", "resolvconf" or "file"; unset, the engine asks the host at each start. */
#define QUARNEL_DNS_BACKEND_VARIABLE "QUARNEL_DNS_BACKEND"
#define QUARNEL_DNS_BACKEND_NAMES \
    { "systemd-resolved", "NetworkManager", "resolvconf", "file" }

#if defined(_WIN32)
#define QUARNEL_OS_TYPE "WINDOWS"
#elif defined(__linux__)
#define QUARNEL_OS_TYPE "LINUX"
#else
#error "the engine has no backend for this system"
#endif

#endif
