#include "StatusMonitoringThread.h"

#include <QtDebug>

#include "Corvel.h"
#include "monitor_sleep.h"
#include "result_codes.h"

StatusMonitoringThread::StatusMonitoringThread(QObject* parent)
    : QThread(parent), m_client(qobject_cast<Corvel*>(parent)) {}

void StatusMonitoringThread::run() {
    if (m_client == nullptr || !sleepUnlessInterrupted(1000)) {
        return;
    }
    VpnEngine& engine = m_client->m_engine;
    for (;;) {
        const int state = engine.vpnStatus();
        if (state != 0) {
            qCritical().noquote() << QStringLiteral("Error state detected: %1").arg(state);
            if (!m_client->m_connected) {
                return;
            }
            // A server that stopped answering keepalives is not told that we leave.
            engine.stopVpn(state == QN_SERVER_SILENT ? 0 : 1);
            m_client->m_connected = false;
            emit networkError(static_cast<vpn_state_t>(state));
            return;
        }
        if (!sleepUnlessInterrupted(100)) {
            return;
        }
    }
}
