// The page's connection parameters: every check in its order, and the route lists.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <QtGlobal>

#include "connection_params.h"

namespace {

QJsonObject validJson() {
    return QJsonObject{
        {"vpnServerIp", "172.30.0.1"},
        {"vpnServerPort", 51820},
        {"vpnServerPk", "ab12"},
        {"dns", "10.8.0.1"},
        {"backupDns", "10.8.0.254"},
        {"localRoutes", QJsonArray{"192.168.1.0/24"}},
        {"remoteRoutes", QJsonArray{"198.51.100.0/24", "10.0.0.0/8"}},
        {"proxyRoutes", QJsonArray{"1.0.0.0/8"}},
        {"token", "good-token"},
        {"staticIp", "10.8.0.9"},
        {"uploadLimitRate", 1000},
        {"downloadLimitRate", 2000},
        {"workMode", "proxy_cn"},
    };
}

QString text(const QJsonObject& json) {
    return QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Compact));
}

QJsonObject with(QJsonObject json, const QString& key, const QJsonValue& value) {
    if (value.isUndefined()) {
        json.remove(key);
    } else {
        json.insert(key, value);
    }
    return json;
}

// The message of the first fault, or empty.
QString fault(const QString& serverInfo) {
    start_record record;
    return parseConnectionParams(serverInfo, record);
}

QString fault(const QJsonObject& json) {
    return fault(text(json));
}

start_record parsed(const QJsonObject& json) {
    start_record record;
    EXPECT_EQ(parseConnectionParams(text(json), record), QString());
    return record;
}

// Collects the critical lines the route parser logs.
QStringList g_critical;
void collectCritical(QtMsgType type, const QMessageLogContext&, const QString& msg) {
    if (type == QtCriticalMsg) {
        g_critical << msg;
    }
}

struct RouteOutcome {
    bool ok;
    std::vector<route_entry_str_t> routes;
    QStringList critical;
};

RouteOutcome routes(const QJsonArray& array) {
    g_critical.clear();
    const QtMessageHandler previous = qInstallMessageHandler(collectCritical);
    RouteOutcome outcome;
    outcome.ok = parseRoutes(array, outcome.routes);
    qInstallMessageHandler(previous);
    outcome.critical = g_critical;
    return outcome;
}

TEST(ConnectionParams, EveryValueOfAValidTextIsRead) {
    const start_record p = parsed(validJson());
    EXPECT_EQ(p.server_ip, "172.30.0.1");
    EXPECT_EQ(p.server_port, 51820);
    EXPECT_EQ(p.server_pk, "ab12");
    EXPECT_EQ(p.dns, "10.8.0.1");
    EXPECT_EQ(p.backup_dns, "10.8.0.254");
    EXPECT_EQ(p.token, "good-token");
    EXPECT_EQ(p.static_ip, "10.8.0.9");
    EXPECT_EQ(p.upload_limit, 1000);
    EXPECT_EQ(p.download_limit, 2000);
    EXPECT_EQ(p.proxy_mode, 1);
    ASSERT_EQ(p.local_routes.size(), 1u);
    EXPECT_STREQ(p.local_routes[0].ip, "192.168.1.0");
    EXPECT_EQ(p.local_routes[0].bitlen, 24);
    ASSERT_EQ(p.remote_routes.size(), 2u);
    EXPECT_STREQ(p.remote_routes[1].ip, "10.0.0.0");
    EXPECT_EQ(p.remote_routes[1].bitlen, 8);
    ASSERT_EQ(p.proxy_routes.size(), 1u);
    EXPECT_EQ(p.proxy_routes[0].bitlen, 8);
}

TEST(ConnectionParams, FaultsAreReportedInKeyOrder) {
    EXPECT_EQ(fault(QStringLiteral("not json")), "连接参数信息有误！");
    EXPECT_EQ(fault(QStringLiteral("{\"vpnServerIp\": ")), "连接参数信息有误！");
    // A top-level array has no keys at all.
    EXPECT_EQ(fault(QStringLiteral("[1, 2]")), "vpnServerIp字段为空！");
    EXPECT_EQ(fault(QStringLiteral("{}")), "vpnServerIp字段为空！");

    const struct {
        const char* key;
        QJsonValue value;
        const char* message;
    } cases[] = {
        {"vpnServerIp", QJsonValue::Undefined, "vpnServerIp字段为空！"},
        {"vpnServerIp", 17, "vpnServerIp字段为空！"},
        {"vpnServerIp", "", "vpnServerIp字段为空！"},
        {"vpnServerPort", "443", "vpnServerPort字段类型不正确！"},
        {"vpnServerPort", 443.5, "vpnServerPort字段类型不正确！"},
        {"vpnServerPort", 0, "vpnServerPort字段类型不正确！"},
        {"vpnServerPort", 1e12, "vpnServerPort字段类型不正确！"},
        {"vpnServerPort", QJsonValue::Undefined, "vpnServerPort字段类型不正确！"},
        {"vpnServerPk", QJsonValue::Undefined, "vpnServerPk字段为空！"},
        {"dns", "", "dns字段为空！"},
        {"backupDns", QJsonValue::Null, "backupDns字段为空！"},
        {"localRoutes", "10.0.0.0/8", "localRoutes字段不是数组！"},
        {"localRoutes", QJsonValue::Undefined, "localRoutes字段不是数组！"},
        {"remoteRoutes", QJsonObject{}, "remoteRoutes字段不是数组！"},
        {"token", QJsonValue::Undefined, "token字段为空！"},
        {"token", "", "token字段为空！"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fault(with(validJson(), c.key, c.value)), QString::fromUtf8(c.message))
            << c.key << " = " << QJsonDocument(QJsonArray{c.value}).toJson().constData();
    }
    // Several faults at once: the earliest key wins.
    QJsonObject many = with(validJson(), "token", "");
    many = with(many, "dns", "");
    EXPECT_EQ(fault(many), "dns字段为空！");
    // The scalar checks come before any route list is looked at.
    many = with(validJson(), "localRoutes", QJsonArray{"bad"});
    EXPECT_EQ(fault(with(many, "token", QJsonValue::Undefined)), "token字段为空！");
}

TEST(ConnectionParams, NumbersAndOptionalKeys) {
    EXPECT_EQ(parsed(with(validJson(), "vpnServerPort", 443.0)).server_port, 443);
    // Only 0 is refused: the engine takes the low 16 bits of anything else.
    EXPECT_EQ(parsed(with(validJson(), "vpnServerPort", -5)).server_port, -5);
    EXPECT_EQ(parsed(with(validJson(), "vpnServerPort", 70000)).server_port, 70000);

    for (const QJsonValue& proxy : {QJsonValue(QJsonValue::Undefined), QJsonValue(QJsonValue::Null),
                                    QJsonValue("1.0.0.0/8"), QJsonValue(3)}) {
        EXPECT_TRUE(parsed(with(validJson(), "proxyRoutes", proxy)).proxy_routes.empty());
    }
    EXPECT_EQ(parsed(with(validJson(), "staticIp", QJsonValue::Undefined)).static_ip, "");

    const start_record textLimits =
        parsed(with(with(validJson(), "uploadLimitRate", "1000"), "downloadLimitRate", 2.5));
    EXPECT_EQ(textLimits.upload_limit, 0);
    EXPECT_EQ(textLimits.download_limit, 0);
    EXPECT_EQ(parsed(with(validJson(), "uploadLimitRate", QJsonValue::Undefined)).upload_limit, 0);

    EXPECT_EQ(parsed(with(validJson(), "workMode", "proxy_CN")).proxy_mode, 0);
    EXPECT_EQ(parsed(with(validJson(), "workMode", "split")).proxy_mode, 0);
    EXPECT_EQ(parsed(with(validJson(), "workMode", QJsonValue::Undefined)).proxy_mode, 0);
}

TEST(ConnectionParams, RouteForms) {
    RouteOutcome r = routes(QJsonArray{"10.0.0.0/8", "1.2.3.4/32", "0.0.0.0/0"});
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.routes.size(), 3u);
    EXPECT_STREQ(r.routes[0].ip, "10.0.0.0");
    EXPECT_EQ(r.routes[0].bitlen, 8);
    EXPECT_EQ(r.routes[1].bitlen, 32);
    EXPECT_EQ(r.routes[2].bitlen, 0);
    EXPECT_TRUE(r.critical.isEmpty());

    EXPECT_TRUE(routes(QJsonArray{}).ok);

    const struct {
        QJsonArray array;
        int kept;
        const char* critical;
    } bad[] = {
        {QJsonArray{"10.0.0.0"}, 0, "Entry field num error: 1"},
        {QJsonArray{"10.0.0.0/8", "10.0.0.0/"}, 1, "bitlen field is nan"},
        {QJsonArray{"10.0.0.0/x8"}, 0, "bitlen field is nan"},
        {QJsonArray{"1.2.3.4/5/6"}, 0, "Entry field num error: 3"},
        {QJsonArray{8}, 0, "Entry field num error: 1"},
        {QJsonArray{QJsonArray{"10.0.0.0/8"}}, 0, "Entry field num error: 1"},
        // 16 characters do not fit the record with its terminator.
        {QJsonArray{"100.100.100.1000/8"}, 0, "Route address too long: 100.100.100.1000"},
        {QJsonArray{"1000.100.100.100/8"}, 0, "Route address too long: 1000.100.100.100"},
        // The engine's own rule: the record must name a network.
        {QJsonArray{"10.0.0.0/8", "10.0.0.0/99"}, 1,
         "Refused route 10.0.0.0/99: prefix length out of range."},
        {QJsonArray{"10.0.0.0/-1"}, 0, "Refused route 10.0.0.0/-1: prefix length out of range."},
        {QJsonArray{"10.0.0.1/24"}, 0, "Refused route 10.0.0.1/24: host bits set."},
        {QJsonArray{"not-an-address/0"}, 0, "Refused route not-an-address/0: not an IPv4 address."},
        {QJsonArray{"010.0.0.0/8"}, 0, "Refused route 010.0.0.0/8: not an IPv4 address."},
    };
    for (const auto& c : bad) {
        const RouteOutcome outcome = routes(c.array);
        const QByteArray shown = QJsonDocument(c.array).toJson(QJsonDocument::Compact);
        EXPECT_FALSE(outcome.ok) << shown.constData();
        EXPECT_EQ(outcome.routes.size(), static_cast<size_t>(c.kept)) << shown.constData();
        EXPECT_EQ(outcome.critical, QStringList{QString::fromUtf8(c.critical)})
            << shown.constData();
    }

    // 15 characters fit exactly.
    r = routes(QJsonArray{"100.100.100.100/32"});
    ASSERT_TRUE(r.ok);
    EXPECT_STREQ(r.routes[0].ip, "100.100.100.100");
}

TEST(ConnectionParams, EachRouteListHasItsOwnMessageAndLocalFailsFirst) {
    const QJsonArray bad{"10.0.0.0"};
    EXPECT_EQ(fault(with(validJson(), "localRoutes", bad)), "解析本地路由组失败！");
    EXPECT_EQ(fault(with(validJson(), "remoteRoutes", bad)), "解析可访问路由组失败！");
    EXPECT_EQ(fault(with(validJson(), "proxyRoutes", bad)), "解析代理路由组失败！");
    QJsonObject allBad = with(validJson(), "localRoutes", bad);
    allBad = with(allBad, "remoteRoutes", bad);
    allBad = with(allBad, "proxyRoutes", bad);
    EXPECT_EQ(fault(allBad), "解析本地路由组失败！");
    EXPECT_EQ(fault(with(validJson(), "remoteRoutes", QJsonArray{"2001:db8:0:0:0:0:0:1/64"})),
              "解析可访问路由组失败！");
    EXPECT_EQ(fault(with(validJson(), "proxyRoutes", QJsonArray{"1.2.3.4/8"})),
              "解析代理路由组失败！");
}

}  // namespace
