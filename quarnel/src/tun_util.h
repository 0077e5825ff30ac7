// The virtual network interface carrying bare IPv4 packets.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
using native_handle_t = HANDLE;
#else
using native_handle_t = int;
#endif

struct device_overlapped;

struct tun_device {
    native_handle_t handle;
    int32_t if_index;
    char guid[256];  // identifies the adapter to the address and DNS helpers
    char name[256];
    int32_t mtu;
    uint8_t mac[6];
    // Reads and writes carry an offload header; `offload` is what the device took (tun_offload.h).
    bool offload_header;
    unsigned offload;
    device_overlapped* io;  // the backend's records for overlapped reads and writes, if any
};

int tun_open(const char* dev_name, int flags, const char* ip, const char* netmask, int mtu,
             bool use_auto_metric, tun_device** out);

// Media disconnected, I/O cancelled, handle closed, object freed.
void tun_close(tun_device* tun);
