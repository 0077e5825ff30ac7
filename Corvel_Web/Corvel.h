// The page's bridge: the one object the page reaches over the web channel as "corvel".
// Every outcome goes back to the page as a call of one of its JavaScript functions.
#pragma once

#include <QAbstractNativeEventFilter>
#include <QFutureWatcher>
#include <QObject>
#include <QString>
#include <QVector>
#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <tuple>

#include "vpn_engine.h"

class Corvel_Web;
class StatusMonitoringThread;
class PacketLossMonitoringThread;

class Corvel : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT

  public:
    enum TCaller { TC_CONN = 0, TC_DISCONN = 1, TC_RECONN = 2 };

    Corvel(QObject* parent, int mtu, VpnEngine& engine = quarnelEngine());
    ~Corvel() override;

    bool nativeEventFilter(const QByteArray& eventType, void* message, long* result) override;

    // The end of the desktop session or a termination signal: stops a running tunnel and
    // returns once the engine's stop has returned.
    void stopForSessionEnd();

  public slots:
    void conn(QString serverInfo);
    void disconn();
    void reconn(QString serverInfo);
    void updateToken(QString token);
    void updateLimitRate(int uploadLimitRate, int downloadLimitRate);
    void aliPayForm(QString form);
    void redirectTo(QString url);
    void getVersionAndUuid();
    void ping(QString ip, short port, int callId);
    // Answers with "onPageOptions(text)": the options file beside the program as JSON text.
    void getPageOptions();

  private slots:
    void on_vpnStarted();
    void on_vpnStopped();
    void on_ping();
    void callOnGetVersionAndUuid();
    void callToast(QString msg);
    void callOnConnected();
    void callOnDisconnected();
    void callOnReconnected();
    void callOnConnectFailed();
    void callOnReconnectFailed();
    void callOnNetworkFailed(vpn_state_t state);
    void callOnPing(int callId, int rtt);
    void startStateMonitorThread();
    void stopStateMonitorThread();
    void startPacketLossMonitoringThread();
    void stopPacketLossMonitoringThread();
    bool ParseParams(const QString& serverInfo, QString& serverIp, int* pServerPort,
                     QString& serverPk, QString& dns, QString& backupDns, QString& token,
                     QString& staticTunIp, int* pUploadLimitRate, int* pDownloadLimitRate,
                     bool* pIsProxyMode, QVector<route_entry_str_t>& localRoutes,
                     QVector<route_entry_str_t>& remoteRoutes,
                     QVector<route_entry_str_t>& proxyRoutes);

  private:
    friend class StatusMonitoringThread;
    friend class PacketLossMonitoringThread;

    void runPageScript(const QString& script);
    // Whether a page call may act: only the program's own page is served; anything else is
    // logged and ignored.
    bool calledByOwnPage(const char* slot) const;
    void disconnectTunnel();
    // Parses the page's parameters (toasting a fault) and records the server; false on a fault.
    bool acceptParams(const QString& serverInfo, VpnStartArguments& args);
    void launchStart(TCaller caller, const VpnStartArguments& args);
    void launchStop(TCaller caller);
    void showConnectionLook(bool connected);
    // The server of the last accepted connect or reconnect, read by the packet-loss monitor.
    void setServer(const QString& ip, int port);
    std::pair<QString, int> server() const;

    Corvel_Web* m_web = nullptr;
    QString m_uuid;
    QString m_devid;
    int m_mtu = 0;
    std::atomic<bool> m_connected{false};
    bool m_disconnecting = false;
    bool m_starting = false;  // a start or reconnect task is in flight
    bool m_stopping = false;  // a disconnect or reconnect-abort task is in flight
    QFutureWatcher<std::tuple<TCaller, vpn_state_t>>* m_startWatcher = nullptr;
    QFutureWatcher<TCaller>* m_stopWatcher = nullptr;
    std::list<std::shared_ptr<QFutureWatcher<std::tuple<int, int>>>> m_pingWatchers;
    std::mutex m_pingMutex;
    StatusMonitoringThread* m_stateMonitorThread = nullptr;
    PacketLossMonitoringThread* m_packetLossMonitoringThread = nullptr;
    QString m_serverIp;
    int m_serverPort = 0;
    mutable std::mutex m_serverMutex;
    VpnEngine& m_engine;
};
