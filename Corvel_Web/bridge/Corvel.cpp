// The bridge's construction, its page scripts, the version report and the ping service.
#include "Corvel.h"

#include <QCoreApplication>
#include <QDebug>

#include "Corvel_Web.h"
#include "host_identity.h"
#include "page_script.h"
#include "pool_task.h"
#include "program_options.h"

namespace {
// Beyond this many pings waiting for their servers, a ping is answered at once as dead.
constexpr int kMaxPingsInFlight = 8;
}  // namespace

Corvel::Corvel(QObject* parent, int mtu, VpnEngine& engine)
    : QObject(parent), m_mtu(mtu), m_engine(engine) {
    m_web = qobject_cast<Corvel_Web*>(parent);
    m_pingPool.setMaxThreadCount(kMaxPingsInFlight);
    m_uuid = hostMachineGuid();
    m_devid = hostComputerName();
    qDebug().noquote() << "m_uuid:" + m_uuid;
    qDebug().noquote() << "m_devid:" + m_devid;

    m_startWatcher = new QFutureWatcher<std::tuple<TCaller, vpn_state_t>>(this);
    m_stopWatcher = new QFutureWatcher<TCaller>(this);
    connect(m_startWatcher, &QFutureWatcherBase::finished, this, &Corvel::on_vpnStarted);
    connect(m_stopWatcher, &QFutureWatcherBase::finished, this, &Corvel::on_vpnStopped);

    QCoreApplication::instance()->installNativeEventFilter(this);
}

void Corvel::runPageScript(const QString& script) {
    if (m_web != nullptr) {
        m_web->runPageScript(script);
    }
}

bool Corvel::calledByOwnPage(const char* slot) const {
    if (m_web != nullptr && m_web->showsOwnPage()) {
        return true;
    }
    qWarning("Bridge call %s ignored: the window does not show the program's own page.", slot);
    return false;
}

void Corvel::getVersionAndUuid() {
    if (!calledByOwnPage("getVersionAndUuid")) {
        return;
    }
    callOnGetVersionAndUuid();
}

void Corvel::getPageOptions() {
    if (!calledByOwnPage("getPageOptions")) {
        return;
    }
    runPageScript(QStringLiteral("onPageOptions(%1)").arg(jsStringLiteral(readPageOptions())));
}

void Corvel::callOnGetVersionAndUuid() {
    const QString version = appFileVersion();
    runPageScript(QStringLiteral("onGetVersionAndUuid(%1, %2, %3, %4)")
                      .arg(jsStringLiteral(m_uuid), jsStringLiteral(versionHead(version)),
                           jsStringLiteral(versionTail(version)), jsStringLiteral(m_devid)));
}

void Corvel::callToast(QString msg) {
    runPageScript(QStringLiteral("toast(%1)").arg(jsStringLiteral(msg)));
}

void Corvel::callOnConnected() {
    runPageScript(QStringLiteral("onConnected()"));
}

void Corvel::callOnDisconnected() {
    runPageScript(QStringLiteral("onDisconnected()"));
}

void Corvel::callOnReconnected() {
    runPageScript(QStringLiteral("onReconnected()"));
}

void Corvel::callOnConnectFailed() {
    runPageScript(QStringLiteral("onConnectFailed()"));
}

void Corvel::callOnReconnectFailed() {
    runPageScript(QStringLiteral("onReconnectFailed()"));
}

void Corvel::callOnPing(int callId, int rtt) {
    runPageScript(QStringLiteral("onPing('%1 %2')").arg(callId).arg(rtt));
}

void Corvel::ping(QString ip, short port, int callId) {
    if (!calledByOwnPage("ping")) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_pingMutex);
        if (static_cast<int>(m_pingWatchers.size()) >= kMaxPingsInFlight) {
            qWarning("Ping %d refused: %d pings are waiting for their servers.", callId,
                     kMaxPingsInFlight);
            callOnPing(callId, -1);
            return;
        }
    }
    // The page passes ports above 32767 through a signed short.
    const auto udpPort = static_cast<uint16_t>(port);
    VpnEngine& engine = m_engine;
    QFuture<std::tuple<int, int>> future =
        runOnPool(&m_pingPool, [&engine, ip, udpPort, callId]() -> std::tuple<int, int> {
            uint16_t rttMs = 0;
            const int rc = engine.udpPing(ip.toLatin1().toStdString(), udpPort, &rttMs);
            if (rc != 0) {
                qCritical().noquote() << "udp_ping failed: " + QString::number(rc);
                return {callId, -1};
            }
            return {callId, rttMs};
        });

    auto* watcher = new QFutureWatcher<std::tuple<int, int>>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, &Corvel::on_ping);
    watcher->setFuture(future);

    // The watcher is the sender of the running on_ping when the list lets go of it.
    std::shared_ptr<QFutureWatcher<std::tuple<int, int>>> owned(
        watcher, [](QObject* w) { w->deleteLater(); });
    std::lock_guard<std::mutex> lock(m_pingMutex);
    m_pingWatchers.push_back(std::move(owned));
}

void Corvel::on_ping() {
    auto* watcher = static_cast<QFutureWatcher<std::tuple<int, int>>*>(sender());
    const auto [callId, rtt] = watcher->result();
    callOnPing(callId, rtt);

    std::lock_guard<std::mutex> lock(m_pingMutex);
    m_pingWatchers.remove_if([watcher](const auto& entry) { return entry.get() == watcher; });
}
