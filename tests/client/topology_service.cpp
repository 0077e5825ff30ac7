#include "topology_service.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include "tunnel_topology.h"

QJsonObject topologyService(const ref_server& server, const char* token) {
    return QJsonObject{
        {"vpnServerIp", netns_test::TUNNEL_SERVER_ADDR},
        {"vpnServerPort", netns_test::TUNNEL_SERVER_PORT},
        {"vpnServerPk", QString::fromStdString(server.key().public_hex())},
        {"dns", "10.8.0.1"},
        {"backupDns", "10.8.0.254"},
        {"localRoutes", QJsonArray{}},
        {"remoteRoutes", QJsonArray{"198.51.100.0/24"}},
        {"token", token},
    };
}

QString serviceText(const QJsonObject& json) {
    return QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Compact));
}

bool writeAutoconnectOptions(const QString& path, const QJsonObject& service) {
    QFile options(path);
    const QByteArray text =
        QJsonDocument(QJsonObject{{"config", serviceText(service)}, {"autoconnect", true}})
            .toJson();
    return options.open(QIODevice::WriteOnly) && options.write(text) == text.size();
}
