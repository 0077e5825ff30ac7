// Offload codec between a TUN device with a virtio-net header and the one-packet-per-datagram
// tunnel: splits the device's super-packets, coalesces received segments into super-packets,
// splits UDP GRO buffers. Portable, no OS headers, no allocation.
#pragma once

#include <cstdint>

#include "packet_io.h"

constexpr int OFFLOAD_HEADER_LEN = 10;
// Largest IP packet a super-packet can be (16-bit total length).
constexpr int OFFLOAD_MAX_PACKET = 65535;
// Output buffer a coalescing call needs: a header plus the largest packet.
constexpr int OFFLOAD_COALESCE_OUT_LEN = OFFLOAD_HEADER_LEN + OFFLOAD_MAX_PACKET;
// Buffer a device read needs: a header plus the largest super-packet the device hands over,
// its default GSO limit of 65,536 bytes (one more than IPv4 allows, reachable over IPv6).
constexpr int OFFLOAD_READ_LEN = OFFLOAD_HEADER_LEN + 65536;

// offload_header.flags
enum offload_flag : uint8_t {
    OFFLOAD_F_NEEDS_CSUM = 1,  // checksum from csum_start, stored at +csum_offset
    OFFLOAD_F_DATA_VALID = 2,
};
// offload_header.gso_type: the segments' kind in the low bits...
enum offload_gso : uint8_t {
    OFFLOAD_GSO_NONE = 0,
    OFFLOAD_GSO_TCPV4 = 1,
    OFFLOAD_GSO_TCPV6 = 4,
    OFFLOAD_GSO_UDP_L4 = 5,
};
// ...and the bit that says the TCP segments carry congestion marks.
constexpr uint8_t OFFLOAD_GSO_ECN = 0x80;

// The virtio-net header that precedes every packet on a TUN opened with a vnet header.
struct offload_header {
    uint8_t flags = 0;
    uint8_t gso_type = 0;
    uint16_t hdr_len = 0;   // IP + transport header bytes (a hint; the codec reads the packet)
    uint16_t gso_size = 0;  // payload bytes per segment
    uint16_t csum_start = 0;
    uint16_t csum_offset = 0;
};

// Reads/writes the OFFLOAD_HEADER_LEN bytes at p. The 16-bit fields are in host byte order:
// that is what a TUN uses when neither TUNSETVNETLE nor TUNSETVNETBE was set (the device's
// default on a little-endian machine).
void offload_header_read(const uint8_t* p, offload_header* h);
void offload_header_write(const offload_header& h, uint8_t* p);

// Whether offload_split handles super-packets of this gso_type (ECN bit ignored); the device
// must not be offered offloads it cannot split.
bool offload_split_supports(uint8_t gso_type);

// Splits what one TUN read returned (buf: header + packet, len bytes) into IP packets of at
// most mtu bytes each and hands each to sink in turn, in order:
// - GSO_NONE: the packet as is, its checksum completed first when NEEDS_CSUM is set.
// - GSO_TCPV4/TCPV6: segments of at most min(gso_size, mtu - headers) payload bytes, each
//   with its own IP header (length, IPv4 id + 1 per segment, IPv4 checksum) and TCP header
//   (sequence advanced, FIN and PSH only on the last, CWR only on the first, checksum).
// - GSO_UDP_L4: datagrams of gso_size payload bytes (the last may be shorter), each with its
//   IP header, UDP length and checksum.
// Works in place: each segment is built in buf just before its payload, so buf is changed,
// and a segment is valid only during its sink call (the sink may change it, e.g. clamp it).
// Returns the number of sink calls, or -1 for refused input before any sink call: lengths or
// offsets outside the buffer, gso_size 0, a packet not of the gso_type's family/protocol,
// fragments, IPv6 extension headers, an unknown gso_type, or mtu too small for the headers.
int offload_split(uint8_t* buf, int len, int mtu, packet_sink sink);

// Coalesces a batch of IP packets for writing to a TUN with a vnet header. Segments of one
// IPv4 TCP flow that follow each other in sequence (same addresses, ports, IP and TCP header
// bytes apart from length, id + 1, checksums, sequence and PSH; ACK set, no SYN/FIN/RST/URG/
// CWR; PSH only on the last; all payloads of the first one's size except a shorter last one;
// valid checksums) become one packet with a GSO_TCPV4 + NEEDS_CSUM header. Everything else
// gets a GSO_NONE header (IPv6 included). Each output (header + packet) is built in out,
// which must hold OFFLOAD_COALESCE_OUT_LEN bytes, and is valid only during its sink call.
// Packets of one flow keep their order: a super-packet goes out where its first segment
// stood, and packets of other flows that stood between its segments follow it.
// Returns the number of sink calls, or -1 when out is too small or a length is outside
// 0..OFFLOAD_MAX_PACKET (before any sink call).
int offload_coalesce(const packet_ref* packets, int count, uint8_t* out, int out_cap,
                     packet_sink sink);

// How many IP packets a frame (header and packet, as written to the device) stands for.
int offload_frame_segments(const uint8_t* frame, int len);

// Splits a buffer received with UDP GRO into its datagrams of gso_size bytes (the last may be
// shorter), handing each to sink in order; gso_size 0 (no GRO control message) means the
// buffer is one datagram. Returns the number of sink calls, -1 for a negative argument.
int udp_gro_split(uint8_t* buf, int len, int gso_size, packet_sink sink);
