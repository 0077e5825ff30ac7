// Watches the engine's status while the tunnel is up; on a failure it stops the engine, marks
// the bridge disconnected and reports once.
#pragma once

#include <QThread>
#include <atomic>

#include "vpn_engine.h"

class StatusMonitoringThread : public QThread {
    Q_OBJECT

  public:
    // `connected`: the bridge's flag, which this thread reads and clears on a failure.
    StatusMonitoringThread(QObject* parent, VpnEngine& engine, std::atomic<bool>& connected);

  signals:
    void networkError(vpn_state_t state);

  protected:
    void run() override;

  private:
    VpnEngine& m_engine;
    std::atomic<bool>& m_connected;
};
