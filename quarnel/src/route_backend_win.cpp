#include <new>

#include "route_backend.h"
#include "win_calls.h"

namespace {

MIB_IPFORWARD_ROW2 forward_row(const route_row& row) {
    MIB_IPFORWARD_ROW2 r;
    win().InitializeIpForwardEntry(&r);
    r.InterfaceIndex = static_cast<NET_IFINDEX>(row.if_index);
    r.DestinationPrefix.Prefix.si_family = AF_INET;
    r.DestinationPrefix.Prefix.Ipv4.sin_family = AF_INET;
    r.DestinationPrefix.Prefix.Ipv4.sin_addr.s_addr = row.dest;
    r.DestinationPrefix.PrefixLength = row.prefix_len;
    r.NextHop.si_family = AF_INET;
    r.NextHop.Ipv4.sin_family = AF_INET;
    r.NextHop.Ipv4.sin_addr.s_addr = row.gateway;
    r.Metric = row.metric;
    return r;
}

uint8_t prefix_len_of(DWORD mask_be) {
    uint32_t mask = ntohl(mask_be);
    uint8_t len = 0;
    while (len < 32 && (mask & (0x80000000u >> len)) != 0) {
        ++len;
    }
    return len;
}

bool read_interface(int32_t if_index, MIB_IPINTERFACE_ROW* row, int* error) {
    *row = MIB_IPINTERFACE_ROW{};
    row->Family = AF_INET;
    row->InterfaceIndex = static_cast<NET_IFINDEX>(if_index);
    const DWORD rc = win().GetIpInterfaceEntry(row);
    *error = static_cast<int>(rc);
    return rc == NO_ERROR;
}

}  // namespace

route_create_result route_create(const route_row& row, int* error) {
    MIB_IPFORWARD_ROW2 r = forward_row(row);
    const DWORD rc = win().CreateIpForwardEntry2(&r);
    *error = static_cast<int>(rc);
    if (rc == ERROR_OBJECT_ALREADY_EXISTS) {
        return ROUTE_EXISTS;
    }
    return rc == NO_ERROR ? ROUTE_CREATED : ROUTE_FAILED;
}

int route_delete(const route_row& row) {
    if (row.if_index <= 0) {
        return 0;  // never created: every route of a session has an interface
    }
    MIB_IPFORWARD_ROW2 r = forward_row(row);
    const DWORD rc = win().DeleteIpForwardEntry2(&r);
    return rc == ERROR_NOT_FOUND || rc == ERROR_FILE_NOT_FOUND ? 0 : static_cast<int>(rc);
}

bool route_table_read(std::vector<route_row>* rows, int* error) {
    const HANDLE heap = GetProcessHeap();
    ULONG size = 60;
    auto* table = static_cast<MIB_IPFORWARDTABLE*>(HeapAlloc(heap, 0, size));
    if (table == nullptr) {
        throw std::bad_alloc();
    }
    DWORD rc = GetIpForwardTable(table, &size, FALSE);
    if (rc == ERROR_INSUFFICIENT_BUFFER) {
        HeapFree(heap, 0, table);
        table = static_cast<MIB_IPFORWARDTABLE*>(HeapAlloc(heap, 0, size));
        if (table == nullptr) {
            throw std::bad_alloc();
        }
        rc = GetIpForwardTable(table, &size, FALSE);
    }
    *error = static_cast<int>(rc);
    if (rc != NO_ERROR) {
        HeapFree(heap, 0, table);
        return false;
    }
    rows->clear();
    try {
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
            const MIB_IPFORWARDROW& r = table->table[i];
            route_row row;
            row.dest = r.dwForwardDest;
            row.prefix_len = prefix_len_of(r.dwForwardMask);
            row.gateway = r.dwForwardNextHop;
            row.if_index = static_cast<int32_t>(r.dwForwardIfIndex);
            row.metric = r.dwForwardMetric1;
            rows->push_back(row);
        }
    } catch (...) {
        HeapFree(heap, 0, table);
        throw;
    }
    HeapFree(heap, 0, table);
    return true;
}

bool interface_metric_get(int32_t if_index, uint32_t* metric, int* error, bool* automatic) {
    MIB_IPINTERFACE_ROW row;
    if (!read_interface(if_index, &row, error)) {
        return false;
    }
    *metric = row.Metric;
    if (automatic != nullptr) {
        *automatic = row.UseAutomaticMetric != FALSE;
    }
    return true;
}

bool interface_metric_set(int32_t if_index, bool automatic, int* error) {
    MIB_IPINTERFACE_ROW row;
    if (!read_interface(if_index, &row, error)) {
        return false;
    }
    row.SitePrefixLength = 0;
    row.UseAutomaticMetric = automatic ? TRUE : FALSE;
    if (!automatic) {
        row.Metric = 1;
    }
    const DWORD rc = win().SetIpInterfaceEntry(&row);
    *error = static_cast<int>(rc);
    return rc == NO_ERROR;
}

bool route6_possible(int32_t /*if_index*/, std::string* why) {
    // The TAP adapter gets no IPv6 routes: the host's IPv6 is left to the system here.
    *why = "the host's IPv6 is not held on this system";
    return false;
}

route_create_result route6_create(const route6_row& /*row*/, int* error) {
    *error = ERROR_NOT_SUPPORTED;  // never called: route6_possible is false here
    return ROUTE_FAILED;
}

int route6_delete(const route6_row& /*row*/) {
    return 0;  // never made here
}
