#include <map>

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

// A table IP Helper allocated, freed with it.
class mib_table_owner {
  public:
    explicit mib_table_owner(void* table) : table_(table) {}
    ~mib_table_owner() { win().FreeMibTable(table_); }
    mib_table_owner(const mib_table_owner&) = delete;
    mib_table_owner& operator=(const mib_table_owner&) = delete;

  private:
    void* const table_;
};

// By its LUID where that is given (the system then ignores the index), else by its index.
bool read_interface(int32_t if_index, uint64_t luid, MIB_IPINTERFACE_ROW* row, int* error) {
    *row = MIB_IPINTERFACE_ROW{};
    row->Family = AF_INET;
    row->InterfaceLuid.Value = luid;
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
    // The route's own metric, as route_create gives it: the old forward table's first metric
    // is that plus the interface's, which never matches a route this session made.
    MIB_IPFORWARD_TABLE2* table = nullptr;
    const DWORD rc = win().GetIpForwardTable2(AF_INET, &table);
    *error = static_cast<int>(rc);
    if (rc != NO_ERROR) {
        return false;
    }
    const mib_table_owner owned_routes(table);
    // The system ranks routes by both; without the interfaces every route counts as its own.
    std::map<NET_IFINDEX, uint32_t> interface_metrics;
    MIB_IPINTERFACE_TABLE* interfaces = nullptr;
    if (win().GetIpInterfaceTable(AF_INET, &interfaces) == NO_ERROR) {
        const mib_table_owner owned_interfaces(interfaces);
        for (ULONG i = 0; i < interfaces->NumEntries; ++i) {
            interface_metrics[interfaces->Table[i].InterfaceIndex] = interfaces->Table[i].Metric;
        }
    }
    rows->clear();
    for (ULONG i = 0; i < table->NumEntries; ++i) {
        const MIB_IPFORWARD_ROW2& r = table->Table[i];
        route_row row;
        row.dest = r.DestinationPrefix.Prefix.Ipv4.sin_addr.s_addr;
        row.prefix_len = r.DestinationPrefix.PrefixLength;
        row.gateway = r.NextHop.Ipv4.sin_addr.s_addr;
        row.if_index = static_cast<int32_t>(r.InterfaceIndex);
        row.metric = r.Metric;
        const auto found = interface_metrics.find(r.InterfaceIndex);
        row.interface_metric = found != interface_metrics.end() ? found->second : 0;
        rows->push_back(row);
    }
    return true;
}

bool interface_metric_get(int32_t if_index, interface_metric_setting* setting, int* error) {
    MIB_IPINTERFACE_ROW row;
    if (!read_interface(if_index, 0, &row, error)) {
        return false;
    }
    *setting = {row.InterfaceLuid.Value, row.UseAutomaticMetric != FALSE, row.Metric};
    return true;
}

bool interface_metric_set(const interface_metric_setting& setting, int* error) {
    MIB_IPINTERFACE_ROW row;
    if (setting.interface_id == 0) {
        *error = ERROR_NOT_FOUND;
        return false;
    }
    if (!read_interface(0, setting.interface_id, &row, error)) {
        return false;
    }
    row.SitePrefixLength = 0;
    row.UseAutomaticMetric = setting.automatic ? TRUE : FALSE;
    if (!setting.automatic) {
        row.Metric = setting.metric;
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

bool route6_default_way(const uint8_t (&)[16], route6_row*, int* error) {
    *error = 0;  // no IPv6 is held here, so no server needs keeping outside it
    return false;
}
