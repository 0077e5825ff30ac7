// The bridge's connection state machine: connect, disconnect, reconnect, their engine tasks
// on the global thread pool, the result handlers and the two monitors.
#include <QCoreApplication>
#include <QMap>
#include <QThreadPool>
#include <QtDebug>

#include "Corvel.h"
#include "Corvel_Web.h"
#include "PacketLossMonitoringThread.h"
#include "StatusMonitoringThread.h"
#include "connection_params.h"
#include "host_identity.h"
#include "log_redaction.h"
#include "pool_task.h"
#include "quarnel_defaults.h"
#include "result_codes.h"

namespace {

const QMap<int, QString>& stateMessages() {
    static const QMap<int, QString> messages{
        {QN_KX_NO_REPLY, QStringLiteral("连接服务器失败。")},
        {QN_KX_FAILED, QStringLiteral("建立连接失败，请稍后重试...")},
        {QN_AUTH_NO_REPLY, QStringLiteral("服务器未响应。")},
        {QN_AUTH_FAILED, QStringLiteral("身份认证失败，请稍后重试...")},
        {QN_TUN_FAILED, QStringLiteral("启动虚拟网卡失败。")},
        {QN_ROUTES_FAILED, QStringLiteral("添加路由组失败。")},
        {QN_SERVER_SILENT, QStringLiteral("服务器未响应，连接已断开。")},
        {QN_SERVICE_UNREACHABLE, QStringLiteral("无法连接到系统服务，请确认 quarneld 已启动。")},
        {QN_SERVICE_REFUSED,
         QStringLiteral("系统服务拒绝了请求，请确认当前用户属于 quarneld 允许的用户组。")},
    };
    return messages;
}

QString stateMessage(int state, const QString& otherwise) {
    return stateMessages().value(state, otherwise.arg(state));
}

// A connect or reconnect while an earlier start has not reported yet: its watcher would only
// report the later task.
const QString kStartInFlight = QStringLiteral("正在连接，请稍候...");

}  // namespace

bool Corvel::ParseParams(const QString& serverInfo, start_record& record) {
    const QString fault = parseConnectionParams(serverInfo, record);
    if (!fault.isEmpty()) {
        callToast(fault);
        return false;
    }
    return true;
}

bool Corvel::acceptParams(const QString& serverInfo, start_record& record) {
    if (!ParseParams(serverInfo, record)) {
        return false;
    }
    m_serverIp = QString::fromLatin1(record.server_ip.c_str());
    m_serverPort = record.server_port;
    record.os_type = QUARNEL_OS_TYPE;
    record.client_version = versionHead(appFileVersion()).toLatin1().toStdString();
    record.uuid = m_uuid.toLatin1().toStdString();
    record.server_port &= 0xFFFF;
    record.mtu = m_mtu;
    return true;
}

void Corvel::launchStart(TCaller caller, const start_record& record) {
    m_starting = true;
    m_startWatcher->setFuture(runOnPool(QThreadPool::globalInstance(), [this, caller, record] {
        if (caller == TC_RECONN) {
            m_engine.stopVpn(1);
            m_connected = false;
        }
        return std::make_tuple(caller, static_cast<vpn_state_t>(m_engine.startVpn(record)));
    }));
}

void Corvel::launchStop(TCaller caller) {
    m_stopping = true;
    VpnEngine& engine = m_engine;
    m_stopWatcher->setFuture(runOnPool(QThreadPool::globalInstance(), [&engine, caller] {
        engine.stopVpn(1);
        return caller;
    }));
}

void Corvel::showConnectionLook(bool connected) {
    if (m_web != nullptr) {
        m_web->updateConnectionLook(connected);
    }
}

void Corvel::conn(QString serverInfo) {
    if (!calledByOwnPage("conn")) {
        return;
    }
    qDebug("conn called!");
    qDebug().noquote() << "serviceInfo:" << serviceInfoForLog(serverInfo);
    if (m_starting) {
        callOnConnectFailed();
        callToast(kStartInFlight);
        return;
    }
    if (m_connected) {
        callOnConnectFailed();
        callToast(QStringLiteral("请先断开连接！"));
        return;
    }
    start_record record;
    if (!acceptParams(serverInfo, record)) {
        callOnConnectFailed();
        return;
    }
    launchStart(TC_CONN, record);
}

void Corvel::disconn() {
    if (!calledByOwnPage("disconn")) {
        return;
    }
    disconnectTunnel();
}

void Corvel::disconnectTunnel() {
    qDebug("disconn called!");
    if (!m_connected) {
        callToast(QStringLiteral("还未连接！"));
        return;
    }
    if (m_starting) {
        // A reconnect is replacing the tunnel; a stop now would race its start.
        callToast(kStartInFlight);
        return;
    }
    stopStateMonitorThread();
    stopPacketLossMonitoringThread();
    // A disconnect, or the stop that ends a reconnect with rejected parameters, is already
    // taking the tunnel down.
    if (m_stopping) {
        return;
    }
    m_disconnecting = true;
    launchStop(TC_DISCONN);
}

void Corvel::reconn(QString serverInfo) {
    if (!calledByOwnPage("reconn")) {
        return;
    }
    qDebug("reconn called!");
    // The start in flight still reports its own outcome: this refusal claims no failure.
    if (m_starting) {
        callToast(kStartInFlight);
        return;
    }
    // While a stop is in flight the tunnel is as good as gone.
    if (!m_connected || m_stopping) {
        callToast(QStringLiteral("还未连接！"));
        return;
    }
    stopStateMonitorThread();
    stopPacketLossMonitoringThread();
    start_record record;
    if (!acceptParams(serverInfo, record)) {
        launchStop(TC_RECONN);
        return;
    }
    launchStart(TC_RECONN, record);
}

void Corvel::updateToken(QString token) {
    if (!calledByOwnPage("updateToken")) {
        return;
    }
    qDebug("updateToken called!");
    qDebug().noquote() << "token: " + maskedSecret(token);
    if (!m_connected) {
        return;
    }
    VpnEngine& engine = m_engine;
    runOnPool(QThreadPool::globalInstance(),
              [&engine, text = token.toLatin1().toStdString()] { engine.updateToken(text); });
}

void Corvel::updateLimitRate(int uploadLimitRate, int downloadLimitRate) {
    if (!calledByOwnPage("updateLimitRate")) {
        return;
    }
    qDebug("updateLimitRate called!");
    qDebug().noquote() << QStringLiteral("uploadLimitRate: %1, downloadLimitRate:%2")
                              .arg(uploadLimitRate)
                              .arg(downloadLimitRate);
    if (!m_connected) {
        return;
    }
    VpnEngine& engine = m_engine;
    runOnPool(QThreadPool::globalInstance(), [&engine, uploadLimitRate, downloadLimitRate] {
        engine.updateLimitRate(uploadLimitRate, downloadLimitRate);
    });
}

void Corvel::on_vpnStarted() {
    // Already handled when the end of the session waited for this start.
    if (!m_starting) {
        return;
    }
    m_starting = false;
    const auto [caller, state] = m_startWatcher->result();
    if (state != 0) {
        qCritical().noquote() << QStringLiteral("start_vpn_service failed, result=%1").arg(state);
        if (caller == TC_CONN) {
            callOnConnectFailed();
        } else {
            // The reconnect began in the connected look and has taken the old tunnel down.
            showConnectionLook(false);
            callOnReconnectFailed();
        }
        callToast(stateMessage(state, QStringLiteral("启动VPN服务失败，返回的错误码为：%1")));
    } else {
        m_connected = true;
        showConnectionLook(true);
        if (caller == TC_CONN) {
            callOnConnected();
        } else {
            callOnReconnected();
        }
        startStateMonitorThread();
        startPacketLossMonitoringThread();
    }
    qDebug("on_vpnStarted executed.");
}

void Corvel::on_vpnStopped() {
    const TCaller caller = m_stopWatcher->result();
    m_connected = false;
    m_disconnecting = false;
    m_stopping = false;
    showConnectionLook(false);
    if (caller == TC_DISCONN) {
        callOnDisconnected();
    } else {
        callOnReconnectFailed();
    }
    qDebug("on_vpnStopped executed.");
}

void Corvel::callOnNetworkFailed(vpn_state_t state) {
    showConnectionLook(false);
    runPageScript(QStringLiteral("onNetworkFailed()"));
    if (m_web != nullptr) {
        m_web->showTrayWarning(QStringLiteral("连接已断开！\r\n将在30秒后自动重连..."));
    }
    callToast(stateMessage(state, QStringLiteral("连接已断开，返回的错误码为：%1")));
}

void Corvel::startStateMonitorThread() {
    stopStateMonitorThread();
    m_stateMonitorThread = new StatusMonitoringThread(this, m_engine, m_connected);
    connect(m_stateMonitorThread, &StatusMonitoringThread::networkError, this,
            &Corvel::callOnNetworkFailed, Qt::BlockingQueuedConnection);
    m_stateMonitorThread->start(QThread::InheritPriority);
}

void Corvel::stopStateMonitorThread() {
    if (m_stateMonitorThread == nullptr) {
        return;
    }
    m_stateMonitorThread->requestInterruption();
    // The monitor may be blocked handing a failure to this very thread: let that delivery run
    // while waiting, or neither would ever return.
    while (!m_stateMonitorThread->wait(10)) {
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    }
    delete m_stateMonitorThread;
    m_stateMonitorThread = nullptr;
}

void Corvel::startPacketLossMonitoringThread() {
    stopPacketLossMonitoringThread();
    m_packetLossMonitoringThread =
        new PacketLossMonitoringThread(this, m_engine, m_serverIp, m_serverPort);
    m_packetLossMonitoringThread->start(QThread::InheritPriority);
}

void Corvel::stopPacketLossMonitoringThread() {
    if (m_packetLossMonitoringThread == nullptr) {
        return;
    }
    m_packetLossMonitoringThread->requestInterruption();
    m_packetLossMonitoringThread->wait();
    delete m_packetLossMonitoringThread;
    m_packetLossMonitoringThread = nullptr;
}

void Corvel::stopForSessionEnd() {
    // A start still in flight could bring a tunnel up after the program has gone.
    if (m_starting) {
        m_startWatcher->waitForFinished();
        on_vpnStarted();
    }
    if (m_connected) {
        disconnectTunnel();
    }
    // Covers a stop that was already in flight too.
    m_stopWatcher->waitForFinished();
}

Corvel::~Corvel() {
    // The window is being torn down around the bridge: no more page scripts or tray calls.
    m_web = nullptr;
    stopForSessionEnd();
    stopStateMonitorThread();
    stopPacketLossMonitoringThread();
}

bool Corvel::nativeEventFilter(const QByteArray& /*eventType*/, void* /*message*/,
                               long* /*result*/) {
    // The end of the desktop session arrives as commitDataRequest and termination signals here,
    // not as window messages.
    return false;
}
