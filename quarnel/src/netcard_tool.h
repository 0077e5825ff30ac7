// Adapter address, DNS, metric and link state, and the uplink's default route.
#pragma once

#include <cstdint>

bool SetAdapterIP(const char* guid, const char* ip, const char* netmask);
bool SetAdapterDNS(const char* guid, const char* dns, const char* backup_dns);
bool EnableAutoMetric(int32_t if_index, bool enable);
bool EnableTapAdapter(const char* name);

// Interface and gateway (dotted, into a 16-byte buffer) of the best IPv4 default route that
// does not lead into the session's own adapter.
bool GetWanInfo(int32_t* if_index_out, char* gateway_out);
