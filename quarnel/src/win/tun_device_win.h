// The overlapped records of an open TAP adapter: reads belong to tun_reader, writes to
// tun_writer, each with its own manual-reset event.
#pragma once

#include <windows.h>

struct device_overlapped {
    OVERLAPPED read_ov{};
    OVERLAPPED write_ov{};
};

// TAP-Windows driver functions 1, 6 and 10 of device type 0x22, buffered method.
constexpr DWORD TAP_WIN_IOCTL_GET_MAC = 0x00220004;
constexpr DWORD TAP_WIN_IOCTL_SET_MEDIA_STATUS = 0x00220018;
constexpr DWORD TAP_WIN_IOCTL_CONFIG_TUN = 0x00220028;
