#include "adapter_address_win.h"

#include <thread>

#include "engine_log.h"
#include "ipv4_text.h"
#include "win_calls.h"

namespace {
constexpr std::chrono::milliseconds STEP{100};
}  // namespace

bool wait_for_adapter_address(int32_t if_index, uint32_t address, std::chrono::milliseconds bound) {
    using clock = std::chrono::steady_clock;
    const clock::time_point began = clock::now();
    bool waiting = false;
    for (;;) {
        MIB_UNICASTIPADDRESS_ROW row{};
        row.InterfaceIndex = static_cast<NET_IFINDEX>(if_index);
        row.Address.si_family = AF_INET;
        row.Address.Ipv4.sin_family = AF_INET;
        row.Address.Ipv4.sin_addr.s_addr = address;
        const DWORD rc = win().GetUnicastIpAddressEntry(&row);
        const auto waited =
            std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - began);
        if (rc == NO_ERROR && row.DadState == IpDadStatePreferred) {
            if (waiting) {
                QN_INFO("Adapter address {} usable after {} ms.", ipv4_to_text(address),
                        waited.count());
            }
            return true;
        }
        if (waited >= bound) {
            QN_ERROR("Adapter address {} still not usable after {} ms (error {}, state {}).",
                     ipv4_to_text(address), waited.count(), rc, static_cast<int>(row.DadState));
            return false;
        }
        if (!waiting) {
            QN_INFO("Adapter address {} not usable yet (error {}, state {}): waiting up to {} ms.",
                    ipv4_to_text(address), rc, static_cast<int>(row.DadState), bound.count());
            waiting = true;
        }
        std::this_thread::sleep_for(STEP);
    }
}
