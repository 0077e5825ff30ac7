#include "PacketLossMonitoringThread.h"

#include "Corvel.h"
#include "monitor_sleep.h"

PacketLossMonitoringThread::PacketLossMonitoringThread(QObject* parent)
    : QThread(parent), m_client(qobject_cast<Corvel*>(parent)) {}

void PacketLossMonitoringThread::run() {
    if (m_client == nullptr || !sleepUnlessInterrupted(1000)) {
        return;
    }
    do {
        const auto [ip, port] = m_client->server();
        if (!ip.isEmpty() && port > 0) {
            uint16_t rtt = 0;
            m_client->m_engine.udpPing(ip.toLatin1(), port, &rtt);
        }
    } while (sleepUnlessInterrupted(1000));
}
