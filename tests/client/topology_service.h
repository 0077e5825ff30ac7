// What the program's page is given to connect to the reference server of the test topology:
// split mode, the tunnel's resolvers, one remote route behind the server.
#pragma once

#include <QJsonObject>
#include <QString>

#include "ref_server.h"

QJsonObject topologyService(const ref_server& server, const char* token);

// The compact JSON text the page hands the bridge.
QString serviceText(const QJsonObject& json);

// Writes the page's options file at `path`: connect to `service` as soon as the page is up.
bool writeAutoconnectOptions(const QString& path, const QJsonObject& service);
