#include "service_engine.h"

ServiceEngine::ServiceEngine(const std::string& socketPath, const engine_fault_log& log)
    : m_client(socketPath, log) {}

int ServiceEngine::startVpn(const start_record& record) {
    return m_client.start(record);
}

void ServiceEngine::stopVpn(int sendDisconn) {
    m_client.stop(sendDisconn);
}

void ServiceEngine::updateToken(const std::string& token) {
    m_client.update_token(token);
}

void ServiceEngine::updateLimitRate(int uploadLimit, int downloadLimit) {
    m_client.update_limits(uploadLimit, downloadLimit);
}

int ServiceEngine::vpnStatus() {
    return m_client.status();
}

int ServiceEngine::udpPing(const std::string& ip, int port, uint16_t* rttMs) {
    return libraryEngine().udpPing(ip, port, rttMs);
}
