#include "netcard_tool.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "engine_log.h"
#include "host_journal.h"
#include "ipv4_text.h"
#include "route_backend.h"

namespace {
// The tunnel's interface first where its metric is fixed.
constexpr uint32_t TUNNEL_METRIC = 1;
}  // namespace

bool EnableAutoMetric(int32_t if_index, bool enable) {
    host_change change;
    change.kind = host_change_kind::interface_metric;
    change.if_index = if_index;
    int error = 0;
    if (!interface_metric_get(if_index, &change.metric_before, &error)) {
        QN_ERROR("GetIpInterfaceEntry failed, dwError={}!", error);
        return false;
    }
    uint64_t id = 0;
    if (!session_journal().record(change, &id)) {
        return false;
    }
    interface_metric_setting setting = change.metric_before;
    setting.automatic = enable;
    if (!enable) {
        setting.metric = TUNNEL_METRIC;
    }
    if (!interface_metric_set(setting, &error)) {
        session_journal().settle(id);
        QN_ERROR("SetIpInterfaceEntry failed, dwError={}!", error);
        return false;
    }
    return true;
}

bool GetWanInfo(int32_t* if_index_out, char* gateway_out) {
    std::vector<route_row> rows;
    int error = 0;
    try {
        if (!route_table_read(&rows, &error)) {
            QN_ERROR("GetIpForwardTable failed.");
            return false;
        }
    } catch (const std::bad_alloc&) {
        QN_ERROR("Error allocating memory");
        return false;
    }
    // The session's own adapter is never the uplink, whatever routes lead into it.
    std::vector<int32_t> own;
    for (const journal_record& record :
         session_journal().outstanding(host_change_kind::interface_metric)) {
        own.push_back(record.change.if_index);
    }
    bool found = false;
    uint32_t lowest = 0xFFFFFFFF;
    for (const route_row& row : rows) {
        if (row.prefix_len != 0 || std::find(own.begin(), own.end(), row.if_index) != own.end()) {
            continue;
        }
        found = true;
        // Strictly lower: on equal metrics the earlier row stays.
        const uint32_t metric = row.metric + row.interface_metric;
        if (metric < lowest) {
            lowest = metric;
            *if_index_out = row.if_index;
            std::string gateway = ipv4_to_text(row.gateway);
            std::strncpy(gateway_out, gateway.c_str(), 15);
            gateway_out[15] = '\0';
        }
    }
    return found;
}
