// Probes the server with the engine's stateless ping once a second while the tunnel is up.
#pragma once

#include <QByteArray>
#include <QString>
#include <QThread>

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
    const QByteArray m_serverIp;
    const int m_serverPort;
};
