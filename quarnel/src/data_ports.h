// What the data workers need from the operating system: the device and the socket, a batch
// at a time, and waits that the session's stop cuts short. The device hands over and takes
// plain IP packets; whatever framing it has of its own stays inside its port. One
// implementation per system; tests put one over memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "packet_io.h"

struct qn_ctx_t;

enum class port_wait { ready, timed_out, woken, failed };

struct outgoing_datagram {
    const uint8_t* data;
    size_t len;
};

struct incoming_datagram {
    uint8_t* data;  // the caller may change it: packets are opened in place
    size_t len;
    bool truncated;    // larger than the receive buffer
    const void* from;  // sender address, for logs: see describe_sender
};

class data_ports {
  public:
    virtual ~data_ports() = default;

    // Up to timeout_ms for readiness (readable, or writable) or the session's stop.
    virtual port_wait wait_device(bool writable, int timeout_ms, int* error) = 0;
    virtual port_wait wait_socket(bool writable, int timeout_ms, int* error) = 0;

    // Reads what the device has without waiting and hands each IP packet to sink in order; a
    // packet is valid during its sink call, which may change it. done also when nothing was
    // there; no_buffer and failed may come after packets were handed over.
    virtual port_status read_device(packet_sink sink, int* error) = 0;
    // Writes IP packets in order without waiting. The port takes every packet: what the
    // device cannot take now (again, no_buffer) it holds and writes first at the next call,
    // which may bring no packets. refused: the batch could not be written and was dropped.
    // *bytes: bytes of IP packets the device took in this call.
    virtual port_status write_device(const packet_ref* packets, size_t count, uint64_t* bytes,
                                     int* error) = 0;

    // Sends in order without waiting; *sent is how many went before the status.
    virtual port_status send_datagrams(const outgoing_datagram* datagrams, size_t count,
                                       size_t* sent, int* error) = 0;
    // Receives what is waiting without waiting; `out` replaced, storage of the port valid
    // (and the caller's to change) until the next receive.
    virtual port_status receive_datagrams(std::vector<incoming_datagram>* out, int* error) = 0;

    // Address text and port of a received datagram's sender ("" and 0 when unknown).
    virtual void describe_sender(const void* from, std::string* host, uint16_t* port) const = 0;
};

// The system's ports over the session's device and socket, woken by its stop; logs which
// paths run.
std::unique_ptr<data_ports> data_ports_open(qn_ctx_t* ctx);

// What ends the ports' waits at a stop: made with the session, signalled by its stop.
struct worker_wakeup;
worker_wakeup* worker_wakeup_create();  // null when the system has none to give
void worker_wakeup_signal(worker_wakeup* wakeup);
void worker_wakeup_destroy(worker_wakeup* wakeup);
