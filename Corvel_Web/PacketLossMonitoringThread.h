// Probes the server with the engine's stateless ping once a second while the tunnel is up.
#pragma once

#include <QThread>

class Corvel;

class PacketLossMonitoringThread : public QThread {
    Q_OBJECT

  public:
    explicit PacketLossMonitoringThread(QObject* parent);

  protected:
    void run() override;

  private:
    Corvel* m_client = nullptr;
};
