#include "address_pool.h"

#include <arpa/inet.h>

#include <charconv>

namespace {

constexpr int MIN_PREFIX = 8;
constexpr int MAX_PREFIX = 30;  // at least one client address beside the gateway

}  // namespace

bool address_pool::configure(const std::string& cidr) {
    const size_t slash = cidr.find('/');
    if (slash == std::string::npos)
        return false;
    in_addr addr{};
    if (inet_pton(AF_INET, cidr.substr(0, slash).c_str(), &addr) != 1)
        return false;
    int prefix = 0;
    const char* end = cidr.data() + cidr.size();
    auto [ptr, ec] = std::from_chars(cidr.data() + slash + 1, end, prefix);
    if (ec != std::errc() || ptr != end || prefix < MIN_PREFIX || prefix > MAX_PREFIX)
        return false;
    netmask_ = ~uint32_t{0} << (32 - prefix);
    network_ = ntohl(addr.s_addr) & netmask_;
    // Network, gateway and broadcast are not handed out.
    used_.assign((uint32_t{1} << (32 - prefix)) - 3, false);
    return true;
}

bool address_pool::is_client_address(uint32_t address) const {
    return address > gateway() && address - gateway() <= used_.size();
}

uint32_t address_pool::acquire(uint32_t requested) {
    if (is_client_address(requested) && !used_[requested - gateway() - 1]) {
        used_[requested - gateway() - 1] = true;
        return requested;
    }
    for (size_t i = 0; i < used_.size(); ++i) {
        if (!used_[i]) {
            used_[i] = true;
            return gateway() + 1 + static_cast<uint32_t>(i);
        }
    }
    return 0;
}

void address_pool::release(uint32_t address) {
    if (is_client_address(address))
        used_[address - gateway() - 1] = false;
}

std::string address_text(uint32_t address) {
    in_addr addr{};
    addr.s_addr = htonl(address);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &addr, text, sizeof text);
    return text;
}
