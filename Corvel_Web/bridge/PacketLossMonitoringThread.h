// Probes the server with the engine's stateless ping once a second while the tunnel is up.
#pragma once

#include <QString>
#include <QThread>
#include <string>

class VpnEngine;

class PacketLossMonitoringThread : public QThread {
    Q_OBJECT

  public:
    // The server of the connection this monitor watches, as the bridge accepted it.
    PacketLossMonitoringThread(QObject* parent, VpnEngine& engine, const QString& serverIp,
                               int serverPort);

  protected:
    void run() override;

  private:
    VpnEngine& m_engine;
    const std::string m_serverIp;
    const int m_serverPort;
};
