// Watches the engine's status while the tunnel is up; on a failure it stops the engine, marks
// the bridge disconnected and reports once.
#pragma once

#include <QThread>

#include "vpn_engine.h"

class Corvel;

class StatusMonitoringThread : public QThread {
    Q_OBJECT

  public:
    explicit StatusMonitoringThread(QObject* parent);

  signals:
    void networkError(vpn_state_t state);

  protected:
    void run() override;

  private:
    Corvel* m_client = nullptr;
};
