// The system's IPv4 route table, the IPv6 routes that hold the host's IPv6 in the tunnel, and
// interface metrics, as the route logic needs them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "route_row.h"

enum route_create_result { ROUTE_CREATED = 0, ROUTE_EXISTS = 1, ROUTE_FAILED = -1 };

// Creates the route exclusively; on ROUTE_FAILED *error holds the system error.
route_create_result route_create(const route_row& row, int* error);
// Deletes the route of that row carrying the engine's tag: 0 (also when there is none) or the
// system error.
int route_delete(const route_row& row);

// Whether IPv6 routes can go onto the interface: false, with the reason in *why, where the host
// or the interface has no IPv6.
bool route6_possible(int32_t if_index, std::string* why);
// As route_create and route_delete, for an IPv6 route; the delete is done also when the route
// or its interface is gone.
route_create_result route6_create(const route6_row& row, int* error);
int route6_delete(const route6_row& row);

// The host's IPv6 default route of the lowest metric in the main table, as the gateway and
// interface of a route to `dest`/128; false, with *error 0, where there is none.
bool route6_default_way(const uint8_t (&dest)[16], route6_row* row, int* error);

// Every route of the main IPv4 table; false (with *error) when the table cannot be read.
bool route_table_read(std::vector<route_row>* rows, int* error);

// The interface's metric setting; false (with *error) when the interface does not exist.
bool interface_metric_get(int32_t if_index, interface_metric_setting* setting, int* error);
// Puts the setting onto the interface it names: its metric too where it is not automatic.
bool interface_metric_set(const interface_metric_setting& setting, int* error);
void interface_metric_forget(int32_t if_index);
