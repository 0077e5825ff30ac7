// Where the packets clients send through their tunnels go, and where packets to them come from.
#pragma once

#include <atomic>
#include <cstdint>

struct session;

// Seals packets into S3 messages towards clients.
class tunnel_sender {
  public:
    virtual ~tunnel_sender() = default;
    virtual bool to_session(uint32_t sid, const uint8_t* packet, int len) = 0;
    // To the session that holds this tunnel address (host order).
    virtual bool to_tunnel_address(uint32_t tunnel_addr, const uint8_t* packet, int len) = 0;
};

// All calls come from the server's one event-loop thread.
class data_path {
  public:
    virtual ~data_path() = default;
    // A packet a client sent through its tunnel, already opened.
    virtual void from_client(const session& from, const uint8_t* packet, int len,
                             tunnel_sender& out) = 0;
    // A descriptor the server polls for this data path (a TUN device, say), or -1.
    virtual int poll_fd() const { return -1; }
    virtual void on_readable(tunnel_sender& /*out*/) {}
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
