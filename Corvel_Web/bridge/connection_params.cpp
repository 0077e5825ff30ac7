#include "connection_params.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QStringList>
#include <QtDebug>
#include <cmath>
#include <cstring>
#include <limits>

#include "log_redaction.h"
#include "route_entry_check.h"

namespace {

// A JSON number with an integral value that fits an int; anything else counts as 0.
int integralNumber(const QJsonValue& value) {
    if (!value.isDouble()) {
        return 0;
    }
    const double number = value.toDouble();
    if (std::trunc(number) != number || number < std::numeric_limits<int>::min() ||
        number > std::numeric_limits<int>::max()) {
        return 0;
    }
    return static_cast<int>(number);
}

// A text value in the engine's encoding; anything but a string is empty.
std::string latin1(const QJsonObject& json, const char* key) {
    return json.value(QLatin1String(key)).toString().toLatin1().toStdString();
}

}  // namespace

bool parseRoutes(const QJsonArray& array, std::vector<route_entry_str_t>& routes) {
    for (const QJsonValue& element : array) {
        const QStringList parts = element.toString().split(QLatin1Char('/'), Qt::KeepEmptyParts);
        if (parts.size() != 2) {
            qCritical().noquote() << QStringLiteral("Entry field num error: %1").arg(parts.size());
            return false;
        }
        const QByteArray address = parts[0].toLatin1();
        route_entry_str_t route{};
        // The record holds 15 characters and its terminator; a longer text would be cut
        // into a different address.
        if (address.size() >= static_cast<int>(sizeof(route.ip))) {
            qCritical().noquote() << QStringLiteral("Route address too long: %1").arg(parts[0]);
            return false;
        }
        std::memcpy(route.ip, address.constData(), static_cast<size_t>(address.size()));
        bool ok = false;
        route.bitlen = parts[1].toInt(&ok, 10);
        if (!ok) {
            qCritical("bitlen field is nan");
            return false;
        }
        uint8_t network[4] = {};
        const route_fault fault = check_route_entry(route, network);
        if (fault != route_fault::none) {
            qCritical().noquote() << QStringLiteral("Refused route %1/%2: %3.")
                                         .arg(QString::fromStdString(route_entry_address(route)))
                                         .arg(route.bitlen)
                                         .arg(QLatin1String(route_fault_text(fault)));
            return false;
        }
        routes.push_back(route);
    }
    return true;
}

QString parseConnectionParams(const QString& serverInfo, start_record& record) {
    qDebug().noquote() << "serviceInfo:" << serviceInfoForLog(serverInfo);
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(serverInfo.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError) {
        return QStringLiteral("连接参数信息有误！");
    }
    // A top-level array yields an empty object, which fails at the first key.
    const QJsonObject json = document.object();

    record.server_ip = latin1(json, "vpnServerIp");
    if (record.server_ip.empty()) {
        return QStringLiteral("vpnServerIp字段为空！");
    }
    record.server_port = integralNumber(json.value(QStringLiteral("vpnServerPort")));
    if (record.server_port == 0) {
        return QStringLiteral("vpnServerPort字段类型不正确！");
    }
    record.server_pk = latin1(json, "vpnServerPk");
    if (record.server_pk.empty()) {
        return QStringLiteral("vpnServerPk字段为空！");
    }
    record.dns = latin1(json, "dns");
    if (record.dns.empty()) {
        return QStringLiteral("dns字段为空！");
    }
    record.backup_dns = latin1(json, "backupDns");
    if (record.backup_dns.empty()) {
        return QStringLiteral("backupDns字段为空！");
    }
    const QJsonValue localRoutes = json.value(QStringLiteral("localRoutes"));
    if (!localRoutes.isArray()) {
        return QStringLiteral("localRoutes字段不是数组！");
    }
    const QJsonValue remoteRoutes = json.value(QStringLiteral("remoteRoutes"));
    if (!remoteRoutes.isArray()) {
        return QStringLiteral("remoteRoutes字段不是数组！");
    }
    // Optional: anything but an array is an empty list.
    const QJsonArray proxyRoutes = json.value(QStringLiteral("proxyRoutes")).toArray();
    record.token = latin1(json, "token");
    if (record.token.empty()) {
        return QStringLiteral("token字段为空！");
    }
    record.static_ip = latin1(json, "staticIp");
    record.upload_limit = integralNumber(json.value(QStringLiteral("uploadLimitRate")));
    record.download_limit = integralNumber(json.value(QStringLiteral("downloadLimitRate")));
    record.proxy_mode =
        json.value(QStringLiteral("workMode")).toString() == QLatin1String("proxy_cn") ? 1 : 0;

    if (!parseRoutes(localRoutes.toArray(), record.local_routes)) {
        return QStringLiteral("解析本地路由组失败！");
    }
    if (!parseRoutes(remoteRoutes.toArray(), record.remote_routes)) {
        return QStringLiteral("解析可访问路由组失败！");
    }
    if (!parseRoutes(proxyRoutes, record.proxy_routes)) {
        return QStringLiteral("解析代理路由组失败！");
    }
    return {};
}
