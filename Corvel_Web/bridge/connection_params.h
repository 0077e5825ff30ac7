// The JSON text the page describes a VPN service with, checked and read into the start record
// (the values of it the page gives; the program adds its own).
#pragma once

#include <QJsonArray>
#include <QString>
#include <vector>

#include "start_record.h"

// Appends one record per "address/prefix" element; false at the first bad element, which
// includes one that names no network (the engine's own rule).
bool parseRoutes(const QJsonArray& array, std::vector<route_entry_str_t>& routes);

// Checks the keys in their fixed order and stops at the first fault. Returns the message the
// user is shown for that fault, or an empty text when every value was read. Texts go into the
// record as the engine takes them (Latin-1); the port as the page gave it.
QString parseConnectionParams(const QString& serverInfo, start_record& record);
