#include "netcard_tool.h"

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "engine_log.h"
#include "platform_net.h"
#include "route_backend.h"

bool EnableAutoMetric(int32_t if_index, bool enable) {
    uint32_t metric = 0;
    int error = 0;
    if (!interface_metric_get(if_index, &metric, &error)) {
        QN_ERROR("GetIpInterfaceEntry failed, dwError={}!", error);
        return false;
    }
    if (!interface_metric_set(if_index, enable, &error)) {
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
    bool found = false;
    uint32_t lowest = 0xFFFFFFFF;
    for (const route_row& row : rows) {
        if (row.prefix_len != 0) {
            continue;
        }
        found = true;
        // Strictly lower: on equal metrics the earlier row stays.
        if (row.metric < lowest) {
            lowest = row.metric;
            *if_index_out = row.if_index;
            std::string gateway = ipv4_to_text(row.gateway);
            std::strncpy(gateway_out, gateway.c_str(), 15);
            gateway_out[15] = '\0';
        }
    }
    return found;
}
