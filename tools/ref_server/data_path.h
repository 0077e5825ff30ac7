// Where the packets clients send through their tunnels go, and where packets to them come from.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

struct session;

// Seals packets into S3 messages towards clients.
class tunnel_sender {
  public:
    virtual ~tunnel_sender() = default;
    virtual bool to_session(uint32_t sid, const uint8_t* packet, int len) = 0;
    // To the session that holds this tunnel address (host order).
    virtual bool to_tunnel_address(uint32_t tunnel_addr, const uint8_t* packet, int len) = 0;
};

// from_client and end_of_batch come from the server's receiving thread; on_readable from
// whichever thread has the device turn, one at a time: the sending thread, or the receiving
// thread right after a batch, so on_readable may run at the same time as from_client.
class data_path {
  public:
    virtual ~data_path() = default;
    // A packet a client sent through its tunnel, already opened.
    virtual void from_client(const session& from, const uint8_t* packet, int len,
                             tunnel_sender& out) = 0;
    // After each batch of datagrams: packets held back until now go on.
    virtual void end_of_batch() {}
    // A descriptor the sending thread polls for this data path (a TUN device, say), or -1
    // for none (no sending thread then).
    virtual int poll_fd() const { return -1; }
    virtual void on_readable(tunnel_sender& /*out*/) {}
    // Which path the packets take, for the log.
    virtual std::string describe() const { return "packets echoed back to their sender"; }
};

// Sends every packet back to the client it came from.
class echo_data_path : public data_path {
  public:
    void from_client(const session& from, const uint8_t* packet, int len,
                     tunnel_sender& out) override;
    uint64_t echoed() const { return echoed_.load(); }

  private:
    std::atomic<uint64_t> echoed_{0};
};
