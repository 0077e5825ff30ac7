#include "scripted_engine.h"

#include <QThread>

// Each frame keeps a page alive, so the stack runs out after a few thousand calls.
volatile bool g_keepOverflowing = true;
[[gnu::noinline]] int overflowStack(int depth) {
    volatile char page[4096];
    page[0] = static_cast<char>(depth);
    if (g_keepOverflowing) {
        return overflowStack(depth + 1) + page[0];
    }
    return page[0];
}

namespace client_test {

namespace {

void overflowIfAsked(const std::atomic<ScriptedEngine::Overflow>& asked,
                     ScriptedEngine::Overflow here) {
    if (asked.load() == here) {
        overflowStack(0);
    }
}

void waitWhile(const std::atomic<bool>& flag) {
    while (flag.load()) {
        QThread::msleep(1);
    }
}

}  // namespace

int ScriptedEngine::startVpn(const start_record& record) {
    overflowIfAsked(overflowIn, Overflow::Start);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_starts.push_back(record);
    }
    waitWhile(holdStart);
    return startResult.load();
}

void ScriptedEngine::stopVpn(int sendDisconn) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stops.push_back(sendDisconn);
    }
    waitWhile(holdStop);
}

void ScriptedEngine::updateToken(const std::string& token) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_tokens.push_back(token);
}

void ScriptedEngine::updateLimitRate(int uploadLimit, int downloadLimit) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_limits.emplace_back(uploadLimit, downloadLimit);
}

int ScriptedEngine::vpnStatus() {
    overflowIfAsked(overflowIn, Overflow::Status);
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

int ScriptedEngine::udpPing(const std::string& ip, int port, uint16_t* /*rttMs*/) {
    overflowIfAsked(overflowIn, Overflow::Ping);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_pings.emplace_back(ip, port);
    }
    waitWhile(holdPing);
    return -76;
}

std::vector<start_record> ScriptedEngine::starts() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_starts;
}

std::vector<int> ScriptedEngine::stops() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_stops;
}

std::vector<std::string> ScriptedEngine::tokens() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_tokens;
}

std::vector<std::pair<int, int>> ScriptedEngine::limits() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_limits;
}

std::vector<std::pair<std::string, int>> ScriptedEngine::pings() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_pings;
}

}  // namespace client_test
