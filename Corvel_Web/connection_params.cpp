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

}  // namespace

bool parseRoutes(const QJsonArray& array, QVector<route_entry_str_t>& routes) {
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
        routes.append(route);
    }
    return true;
}

QString parseConnectionParams(const QString& serverInfo, ConnectionParams& params) {
    qDebug().noquote() << "serviceInfo:" << serviceInfoForLog(serverInfo);
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(serverInfo.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError) {
        return QStringLiteral("连接参数信息有误！");
    }
    // A top-level array yields an empty object, which fails at the first key.
    const QJsonObject json = document.object();

    params.serverIp = json.value(QStringLiteral("vpnServerIp")).toString();
    if (params.serverIp.isEmpty()) {
        return QStringLiteral("vpnServerIp字段为空！");
    }
    params.serverPort = integralNumber(json.value(QStringLiteral("vpnServerPort")));
    if (params.serverPort == 0) {
        return QStringLiteral("vpnServerPort字段类型不正确！");
    }
    params.serverPk = json.value(QStringLiteral("vpnServerPk")).toString();
    if (params.serverPk.isEmpty()) {
        return QStringLiteral("vpnServerPk字段为空！");
    }
    params.dns = json.value(QStringLiteral("dns")).toString();
    if (params.dns.isEmpty()) {
        return QStringLiteral("dns字段为空！");
    }
    params.backupDns = json.value(QStringLiteral("backupDns")).toString();
    if (params.backupDns.isEmpty()) {
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
    params.token = json.value(QStringLiteral("token")).toString();
    if (params.token.isEmpty()) {
        return QStringLiteral("token字段为空！");
    }
    params.staticTunIp = json.value(QStringLiteral("staticIp")).toString();
    params.uploadLimitRate = integralNumber(json.value(QStringLiteral("uploadLimitRate")));
    params.downloadLimitRate = integralNumber(json.value(QStringLiteral("downloadLimitRate")));
    params.proxyMode =
        json.value(QStringLiteral("workMode")).toString() == QLatin1String("proxy_cn");

    if (!parseRoutes(localRoutes.toArray(), params.localRoutes)) {
        return QStringLiteral("解析本地路由组失败！");
    }
    if (!parseRoutes(remoteRoutes.toArray(), params.remoteRoutes)) {
        return QStringLiteral("解析可访问路由组失败！");
    }
    if (!parseRoutes(proxyRoutes, params.proxyRoutes)) {
        return QStringLiteral("解析代理路由组失败！");
    }
    return {};
}
