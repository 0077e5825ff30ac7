// The JSON text the page describes a VPN service with, checked and turned into the values the
// engine's start takes.
#pragma once

#include <QJsonArray>
#include <QString>
#include <QVector>

#include "route_entry.h"

struct ConnectionParams {
    QString serverIp;
    int serverPort = 0;
    QString serverPk;
    QString dns;
    QString backupDns;
    QString token;
    QString staticTunIp;
    int uploadLimitRate = 0;
    int downloadLimitRate = 0;
    bool proxyMode = false;
    QVector<route_entry_str_t> localRoutes;
    QVector<route_entry_str_t> remoteRoutes;
    QVector<route_entry_str_t> proxyRoutes;
};

// Appends one record per "address/prefix" element; false at the first bad element, which
// includes one that names no network (the engine's own rule).
bool parseRoutes(const QJsonArray& array, QVector<route_entry_str_t>& routes);

// Checks the keys in their fixed order and stops at the first fault. Returns the message the
// user is shown for that fault, or an empty text when every value was read.
QString parseConnectionParams(const QString& serverInfo, ConnectionParams& params);
