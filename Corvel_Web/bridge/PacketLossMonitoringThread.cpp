#include "PacketLossMonitoringThread.h"

#include "crash_dump.h"
#include "monitor_sleep.h"
#include "vpn_engine.h"

PacketLossMonitoringThread::PacketLossMonitoringThread(QObject* parent, VpnEngine& engine,
                                                       const QString& serverIp, int serverPort)
    : QThread(parent),
      m_engine(engine),
      m_serverIp(serverIp.toLatin1().toStdString()),
      m_serverPort(serverPort) {}

void PacketLossMonitoringThread::run() {
    ensureThreadSignalStack();
    if (!sleepUnlessInterrupted(1000)) {
        return;
    }
    do {
        if (!m_serverIp.empty() && m_serverPort > 0) {
            uint16_t rtt = 0;
            m_engine.udpPing(m_serverIp, m_serverPort, &rtt);
        }
    } while (sleepUnlessInterrupted(1000));
}
