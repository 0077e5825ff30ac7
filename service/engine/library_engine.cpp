#include "quarnel_api.h"
#include "start_call.h"
#include "vpn_engine.h"

namespace {

class LibraryEngine final : public VpnEngine {
  public:
    int startVpn(const start_record& record) override { return start_vpn_with(record); }
    void stopVpn(int sendDisconn) override { stop_vpn(sendDisconn); }
    void updateToken(const std::string& token) override { update_token(token.c_str()); }
    void updateLimitRate(int uploadLimit, int downloadLimit) override {
        update_limit_rate(uploadLimit, downloadLimit);
    }
    int vpnStatus() override { return get_vpn_status(); }
    int udpPing(const std::string& ip, int port, uint16_t* rttMs) override {
        return udp_ping(ip.c_str(), port, rttMs);
    }
};

}  // namespace

VpnEngine& libraryEngine() {
    static LibraryEngine engine;
    return engine;
}
