#include "StatusMonitoringThread.h"

#include <QtDebug>

#include "crash_dump.h"
#include "monitor_sleep.h"
#include "result_codes.h"

StatusMonitoringThread::StatusMonitoringThread(QObject* parent, VpnEngine& engine,
                                               std::atomic<bool>& connected)
    : QThread(parent), m_engine(engine), m_connected(connected) {}

void StatusMonitoringThread::run() {
    ensureThreadSignalStack();
    if (!sleepUnlessInterrupted(1000)) {
        return;
    }
    for (;;) {
        const int state = m_engine.vpnStatus();
        if (state != 0) {
            qCritical().noquote() << QStringLiteral("Error state detected: %1").arg(state);
            if (!m_connected) {
                return;
            }
            // A server that stopped answering keepalives is not told that we leave.
            m_engine.stopVpn(state == QN_SERVER_SILENT ? 0 : 1);
            m_connected = false;
            emit networkError(static_cast<vpn_state_t>(state));
            return;
        }
        if (!sleepUnlessInterrupted(100)) {
            return;
        }
    }
}
