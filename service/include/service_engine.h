// The engine reached through the service quarneld, for a program that runs without the rights
// the engine needs. Pings need none and stay in the program.
#pragma once

#include <string>

#include "engine_client.h"
#include "program_engine.h"

class ServiceEngine final : public VpnEngine {
  public:
    ServiceEngine(const std::string& socketPath, const engine_fault_log& log);

    int startVpn(const start_record& record) override;
    void stopVpn(int sendDisconn) override;
    void updateToken(const std::string& token) override;
    void updateLimitRate(int uploadLimit, int downloadLimit) override;
    int vpnStatus() override;
    int udpPing(const std::string& ip, int port, uint16_t* rttMs) override;

    // The driver check's two requests (engine_client's results).
    int deviceCheck() { return m_client.device_check(); }
    int loadTun() { return m_client.load_tun(); }
    const std::string& socketPath() const { return m_client.socket_path(); }

  private:
    engine_service::engine_client m_client;
};

// The program's own, at $QUARNEL_SOCKET or the service's default socket; made at the first
// call (of this or programEngine), with that call's `log`.
ServiceEngine& serviceEngine(const engine_fault_log& log);
