#include "service_engine.h"

#include <QtGlobal>

namespace {

std::string text(const QByteArray& bytes) {
    return bytes.toStdString();
}

std::vector<route_entry_str_t> routes(const QVector<route_entry_str_t>& list) {
    return std::vector<route_entry_str_t>(list.cbegin(), list.cend());
}

}  // namespace

ServiceEngine::ServiceEngine(const std::string& socketPath)
    : m_client(socketPath, [](const std::string& why) { qWarning("%s", why.c_str()); }) {}

int ServiceEngine::startVpn(const VpnStartArguments& a) {
    engine_service::start_values v;
    v.os_type = text(a.osType);
    v.client_version = text(a.clientVersion);
    v.token = text(a.token);
    v.uuid = text(a.uuid);
    v.server_pk = text(a.serverPk);
    v.static_ip = text(a.staticIp);
    v.server_ip = text(a.serverIp);
    v.server_port = a.serverPort;
    v.local_routes = routes(a.localRoutes);
    v.remote_routes = routes(a.remoteRoutes);
    v.proxy_routes = routes(a.proxyRoutes);
    v.mtu = a.mtu;
    v.upload_limit = a.uploadLimit;
    v.download_limit = a.downloadLimit;
    v.proxy_mode = a.proxyMode;
    v.dns = text(a.dns);
    v.backup_dns = text(a.backupDns);
    return m_client.start(v);
}

void ServiceEngine::stopVpn(int sendDisconn) {
    m_client.stop(sendDisconn);
}

void ServiceEngine::updateToken(const QByteArray& token) {
    m_client.update_token(text(token));
}

void ServiceEngine::updateLimitRate(int uploadLimit, int downloadLimit) {
    m_client.update_limits(uploadLimit, downloadLimit);
}

int ServiceEngine::vpnStatus() {
    return m_client.status();
}

int ServiceEngine::udpPing(const QByteArray& ip, int port, uint16_t* rttMs) {
    return quarnelEngine().udpPing(ip, port, rttMs);
}

ServiceEngine& serviceEngine() {
    static ServiceEngine engine(engine_service::socket_path());
    return engine;
}
