#include "vpn_engine.h"

#include "quarnel_api.h"

namespace {

class QuarnelEngine final : public VpnEngine {
  public:
    // An empty list goes with count 0, so the engine never reads its pointer.
    int startVpn(const VpnStartArguments& a) override {
        return start_vpn(a.osType.constData(), a.clientVersion.constData(), a.token.constData(),
                         a.uuid.constData(), a.serverPk.constData(), a.staticIp.constData(),
                         a.serverIp.constData(), a.serverPort, a.localRoutes.constData(),
                         a.localRoutes.size(), a.remoteRoutes.constData(), a.remoteRoutes.size(),
                         a.proxyRoutes.constData(), a.proxyRoutes.size(), a.mtu, a.uploadLimit,
                         a.downloadLimit, a.proxyMode, a.dns.constData(), a.backupDns.constData());
    }
    void stopVpn(int sendDisconn) override { stop_vpn(sendDisconn); }
    void updateToken(const QByteArray& token) override { update_token(token.constData()); }
    void updateLimitRate(int uploadLimit, int downloadLimit) override {
        update_limit_rate(uploadLimit, downloadLimit);
    }
    int vpnStatus() override { return get_vpn_status(); }
    int udpPing(const QByteArray& ip, int port, uint16_t* rttMs) override {
        return udp_ping(ip.constData(), port, rttMs);
    }
};

}  // namespace

VpnEngine& quarnelEngine() {
    static QuarnelEngine engine;
    return engine;
}
