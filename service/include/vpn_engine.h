// The engine's calls as a program makes them, whichever way it reaches the engine
// (program_engine.h): the programs' logic is written once against it, and a test drives that logic
// with a scripted engine where it needs an exact interleaving.
#pragma once

#include <cstdint>
#include <string>

#include "start_record.h"

// The engine status: 0 healthy, or a negative failure code.
enum vpn_state_t : int {};

class VpnEngine {
  public:
    virtual ~VpnEngine() = default;
    virtual int startVpn(const start_record& record) = 0;
    virtual void stopVpn(int sendDisconn) = 0;
    virtual void updateToken(const std::string& token) = 0;
    virtual void updateLimitRate(int uploadLimit, int downloadLimit) = 0;
    virtual int vpnStatus() = 0;
    virtual int udpPing(const std::string& ip, int port, uint16_t* rttMs) = 0;
};

// The engine library in this process.
VpnEngine& libraryEngine();
