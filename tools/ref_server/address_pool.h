// Tunnel addresses handed to clients: a subnet whose first host is the gateway.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class address_pool {
  public:
    // Takes "a.b.c.d/n" with n from 8 to 30; false when the text is not such a subnet.
    bool configure(const std::string& cidr);

    // A free address (host order): the requested one when it is a free client address of the
    // pool, else the lowest free one; 0 when the pool is exhausted.
    uint32_t acquire(uint32_t requested);
    void release(uint32_t address);

    uint32_t gateway() const { return network_ + 1; }
    uint32_t netmask() const { return netmask_; }
    size_t capacity() const { return used_.size(); }

  private:
    bool is_client_address(uint32_t address) const;

    uint32_t network_ = 0;
    uint32_t netmask_ = 0;
    std::vector<bool> used_;  // one entry per client address, from gateway + 1 on
};

// Dotted text of a host-order IPv4 address.
std::string address_text(uint32_t address);
