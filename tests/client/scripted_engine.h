// An engine whose answers and timing a test sets, for interleavings the real engine cannot be
// made to produce on demand. It records every call.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "vpn_engine.h"

namespace client_test {

class ScriptedEngine : public VpnEngine {
  public:
    std::atomic<int> startResult{0};
    // While set, startVpn does not return.
    std::atomic<bool> holdStart{false};
    std::atomic<int> status{0};
    // When set, vpnStatus blocks until the polling monitor is asked to stop, then reports
    // -72: the failure arrives exactly while the bridge is stopping that monitor.
    std::atomic<bool> failWhileMonitorStops{false};
    std::atomic<bool> statusBlocked{false};
    // While set, stopVpn and udpPing do not return (a slow teardown, a silent server).
    std::atomic<bool> holdStop{false};
    std::atomic<bool> holdPing{false};
    // Makes that call recurse until its thread's stack is used up.
    enum class Overflow { None, Start, Status, Ping };
    std::atomic<Overflow> overflowIn{Overflow::None};

    int startVpn(const start_record& record) override;
    void stopVpn(int sendDisconn) override;
    void updateToken(const std::string& token) override;
    void updateLimitRate(int uploadLimit, int downloadLimit) override;
    int vpnStatus() override;
    int udpPing(const std::string& ip, int port, uint16_t* rttMs) override;

    std::vector<start_record> starts() const;
    std::vector<int> stops() const;
    std::vector<std::string> tokens() const;
    std::vector<std::pair<int, int>> limits() const;
    std::vector<std::pair<std::string, int>> pings() const;

  private:
    mutable std::mutex m_lock;
    std::vector<start_record> m_starts;
    std::vector<int> m_stops;
    std::vector<std::string> m_tokens;
    std::vector<std::pair<int, int>> m_limits;
    std::vector<std::pair<std::string, int>> m_pings;
};

}  // namespace client_test
