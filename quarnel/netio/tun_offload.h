// Segmentation and checksum offload of a TUN device opened with IFF_VNET_HDR: every read and
// write then starts with a 10-byte virtio-net header, and reads may return TCP (and UDP)
// super-packets of up to 64 KiB that the reader has to split.
#pragma once

// Offloads to ask for and what a device took.
enum tun_offload_flags : unsigned {
    TUN_OFFLOAD_CSUM = 1,  // packets may leave their transport checksum to the reader
    TUN_OFFLOAD_TSO4 = 2,
    TUN_OFFLOAD_TSO6 = 4,
    TUN_OFFLOAD_USO = 8,  // UDP segmentation, IPv4 and IPv6 together
};

// Sets the header size and enables the wanted offloads; UDP segmentation is dropped first
// when the kernel does not know it. Returns the offloads now on, 0 when the kernel refused
// them all (the device then passes every packet whole, behind a header saying so).
unsigned tun_enable_offload(int fd, unsigned wanted);

// False when the environment variable QUARNEL_OFFLOAD is "0": the data path then opens the
// device without a header and sends and receives UDP without segmentation offload.
bool offload_allowed();
