// What the data workers need from the operating system: the device and the socket, a batch
// at a time, and waits that a stop's wake-up cuts short. One implementation per system;
// tests put one over memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct qn_ctx_t;

enum class port_wait { ready, timed_out, woken, failed };

// How a read, write, send or receive ended; `error` in the call's out-parameter is the
// system's code for logs.
enum class port_status {
    done,       // everything asked for went, or what was waiting was taken
    again,      // would block: wait for readiness
    no_buffer,  // the system is short of buffers for now
    refused,    // this one packet is not acceptable to the device
    failed,
};

struct frame {
    uint8_t* data;
    size_t len;
};

struct outgoing_datagram {
    const uint8_t* data;
    size_t len;
};

struct incoming_datagram {
    const uint8_t* data;
    size_t len;
    bool truncated;    // larger than the receive buffer
    const void* from;  // sender address, for logs: see describe_sender
};

class data_ports {
  public:
    virtual ~data_ports() = default;

    // Device reads and writes carry an offload header before each packet.
    virtual bool device_header() const = 0;

    // Up to timeout_ms for readiness (readable, or writable) or the wake-up.
    virtual port_wait wait_device(bool writable, int timeout_ms, int* error) = 0;
    virtual port_wait wait_socket(bool writable, int timeout_ms, int* error) = 0;

    // Reads what the device has without waiting; `frames` is replaced by what was read, in
    // storage of the port that stays valid until the next read. done with no frames is
    // nothing there; no_buffer and failed may come with frames read before.
    virtual port_status read_device(std::vector<frame>* frames, int* error) = 0;
    virtual port_status write_device(const uint8_t* data, size_t len, int* error) = 0;

    // Sends in order without waiting; *sent is how many went before the status.
    virtual port_status send_datagrams(const outgoing_datagram* datagrams, size_t count,
                                       size_t* sent, int* error) = 0;
    // Receives what is waiting without waiting; `out` replaced, storage of the port valid
    // until the next receive.
    virtual port_status receive_datagrams(std::vector<incoming_datagram>* out, int* error) = 0;

    // Address text and port of a received datagram's sender ("" and 0 when unknown).
    virtual void describe_sender(const void* from, std::string* host, uint16_t* port) const = 0;
};

// The system's ports over the session's device, socket and wake-up; logs which paths run.
std::unique_ptr<data_ports> data_ports_open(qn_ctx_t* ctx);
