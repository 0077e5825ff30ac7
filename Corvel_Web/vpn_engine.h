// The engine's six exports behind a small interface, so that the connection logic can be
// driven by the real library in the program and by a scripted engine where a test needs an
// exact interleaving.
#pragma once

#include <QByteArray>
#include <QVector>
#include <cstdint>

#include "route_entry.h"

// The engine status: 0 healthy, or a negative failure code.
enum vpn_state_t : int {};

// The values start_vpn takes, in its order; texts as the engine receives them (Latin-1).
struct VpnStartArguments {
    QByteArray osType;
    QByteArray clientVersion;
    QByteArray token;
    QByteArray uuid;
    QByteArray serverPk;
    QByteArray staticIp;
    QByteArray serverIp;
    int serverPort = 0;
    QVector<route_entry_str_t> localRoutes;
    QVector<route_entry_str_t> remoteRoutes;
    QVector<route_entry_str_t> proxyRoutes;
    int mtu = 0;
    int uploadLimit = 0;
    int downloadLimit = 0;
    int proxyMode = 0;
    QByteArray dns;
    QByteArray backupDns;
};

class VpnEngine {
  public:
    virtual ~VpnEngine() = default;
    virtual int startVpn(const VpnStartArguments& args) = 0;
    virtual void stopVpn(int sendDisconn) = 0;
    virtual void updateToken(const QByteArray& token) = 0;
    virtual void updateLimitRate(int uploadLimit, int downloadLimit) = 0;
    virtual int vpnStatus() = 0;
    virtual int udpPing(const QByteArray& ip, int port, uint16_t* rttMs) = 0;
};

// The engine library linked into the program.
VpnEngine& quarnelEngine();
// Whether the program drives the engine library itself: only with the rights it needs (root).
// Otherwise the service quarneld drives it for the program.
bool engineRunsInProcess();
// The engine the program's connections use: the library, or the service.
VpnEngine& programEngine();
// Says in the client log which it is.
void logEngineChoice();
