// The page's bridge: the one object the page reaches over the web channel as "corvel".
// Every outcome goes back to the page as a call of one of its JavaScript functions.
#pragma once

#include <QAbstractNativeEventFilter>
#include <QFutureWatcher>
#include <QObject>
#include <QString>
#include <QThreadPool>
#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <tuple>

#include "client_engine.h"
#include "connection_params.h"

class Corvel_Web;
class StatusMonitoringThread;
class PacketLossMonitoringThread;

class Corvel : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT

  public:
    enum TCaller { TC_CONN = 0, TC_DISCONN = 1, TC_RECONN = 2 };

    Corvel(QObject* parent, int mtu, VpnEngine& engine = clientEngine());
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
    // The page's values into the start record; on a fault the page has had its toast.
    bool ParseParams(const QString& serverInfo, start_record& record);

  private:
    void runPageScript(const QString& script);
    // Whether a page call may act: only the program's own page is served; anything else is
    // logged and ignored.
    bool calledByOwnPage(const char* slot) const;
    void disconnectTunnel();
    // The whole start record: the page's values (a fault toasted) and the program's own; records
    // the server. False on a fault.
    bool acceptParams(const QString& serverInfo, start_record& record);
    void launchStart(TCaller caller, const start_record& record);
    void launchStop(TCaller caller);
    void showConnectionLook(bool connected);

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
    // The server of the last accepted connect or reconnect; the packet-loss monitor gets a copy.
    QString m_serverIp;
    int m_serverPort = 0;
    VpnEngine& m_engine;
    // Pings wait up to 3 s for a silent server: they get threads of their own, so that they
    // never hold back the engine's start and stop. Last, so that the bridge's destruction
    // waits for the pings still running before anything else goes.
    QThreadPool m_pingPool;
};
