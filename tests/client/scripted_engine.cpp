#include "scripted_engine.h"

#include <QThread>

namespace client_test {

int ScriptedEngine::startVpn(const VpnStartArguments& args) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_starts.push_back(args);
    }
    while (holdStart.load()) {
        QThread::msleep(1);
    }
    return startResult.load();
}

void ScriptedEngine::stopVpn(int sendDisconn) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_stops.push_back(sendDisconn);
}

void ScriptedEngine::updateToken(const QByteArray& token) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_tokens.push_back(token);
}

void ScriptedEngine::updateLimitRate(int uploadLimit, int downloadLimit) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_limits.emplace_back(uploadLimit, downloadLimit);
}

int ScriptedEngine::vpnStatus() {
    if (failWhileMonitorStops.load()) {
        statusBlocked = true;
        while (!QThread::currentThread()->isInterruptionRequested()) {
            QThread::msleep(1);
        }
        failWhileMonitorStops = false;
        return -72;
    }
    return status.load();
}

int ScriptedEngine::udpPing(const QByteArray& ip, int port, uint16_t* /*rttMs*/) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_pings.emplace_back(ip, port);
    return -76;
}

std::vector<VpnStartArguments> ScriptedEngine::starts() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_starts;
}

std::vector<int> ScriptedEngine::stops() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_stops;
}

std::vector<QByteArray> ScriptedEngine::tokens() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_tokens;
}

std::vector<std::pair<int, int>> ScriptedEngine::limits() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_limits;
}

std::vector<std::pair<QByteArray, int>> ScriptedEngine::pings() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_pings;
}

}  // namespace client_test
