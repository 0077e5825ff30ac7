// Adapter address and DNS, interface metric, routes and the routing service: what is called,
// in which order, with which values, and what a failure does, through fakes of the calls wine
// lacks; and what wine's own calls give.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "forwarding.h"
#include "host_journal.h"
#include "log_capture.h"
#include "netcard_tool.h"
#include "route_backend.h"
#include "router.h"
#include "session.h"
#include "win_test_support.h"

namespace {

std::vector<std::string> calls;
std::vector<MIB_IPFORWARD_ROW2> created;
std::vector<MIB_IPFORWARD_ROW2> deleted;
std::vector<DWORD> create_results;
DWORD service_state = SERVICE_STOPPED;
DWORD service_start_type = SERVICE_DISABLED;
bool service_opens = true;
uint32_t wmi_result = 0;

SC_HANDLE const MANAGER = reinterpret_cast<SC_HANDLE>(0x100);
SC_HANDLE const SERVICE = reinterpret_cast<SC_HANDLE>(0x200);

SC_HANDLE WINAPI fake_open_manager(LPCSTR machine, LPCSTR database, DWORD access) {
    calls.push_back("OpenSCManagerA " + std::to_string(access) +
                    (machine == nullptr && database == nullptr ? "" : " remote"));
    return MANAGER;
}
SC_HANDLE WINAPI fake_open_service(SC_HANDLE, LPCSTR name, DWORD access) {
    calls.push_back(std::string("OpenServiceA ") + name + " " + std::to_string(access));
    return service_opens ? SERVICE : nullptr;
}
BOOL WINAPI fake_query_config(SC_HANDLE, LPQUERY_SERVICE_CONFIGA config, DWORD, LPDWORD) {
    calls.push_back("QueryServiceConfigA");
    *config = QUERY_SERVICE_CONFIGA{};
    config->dwStartType = service_start_type;
    return TRUE;
}
BOOL WINAPI fake_change_config(SC_HANDLE, DWORD type, DWORD start, DWORD error, LPCSTR path,
                               LPCSTR group, LPDWORD tag, LPCSTR dependencies, LPCSTR user,
                               LPCSTR password, LPCSTR display) {
    const bool rest_unchanged = type == SERVICE_NO_CHANGE && error == SERVICE_NO_CHANGE &&
                                path == nullptr && group == nullptr && tag == nullptr &&
                                dependencies == nullptr && user == nullptr && password == nullptr &&
                                display == nullptr;
    calls.push_back("ChangeServiceConfigA " + std::to_string(start) +
                    (rest_unchanged ? "" : " and more"));
    service_start_type = start;
    return TRUE;
}
BOOL WINAPI fake_query_status(SC_HANDLE, LPSERVICE_STATUS status) {
    calls.push_back("QueryServiceStatus");
    *status = SERVICE_STATUS{};
    status->dwCurrentState = service_state;
    return TRUE;
}
BOOL WINAPI fake_start(SC_HANDLE, DWORD, LPCSTR*) {
    calls.push_back("StartServiceA");
    service_state = SERVICE_RUNNING;
    return TRUE;
}
BOOL WINAPI fake_control(SC_HANDLE, DWORD control, LPSERVICE_STATUS) {
    calls.push_back("ControlService " + std::to_string(control));
    service_state = SERVICE_STOPPED;
    return TRUE;
}
BOOL WINAPI fake_close(SC_HANDLE handle) {
    calls.push_back(handle == SERVICE ? "CloseServiceHandle service"
                                      : "CloseServiceHandle manager");
    return TRUE;
}

// The system's IPv4 routes, as the fakes below keep them.
std::vector<MIB_IPFORWARD_ROW2> route_table;
bool same_route(const MIB_IPFORWARD_ROW2& a, const MIB_IPFORWARD_ROW2& b) {
    return a.InterfaceIndex == b.InterfaceIndex &&
           a.DestinationPrefix.Prefix.Ipv4.sin_addr.s_addr ==
               b.DestinationPrefix.Prefix.Ipv4.sin_addr.s_addr &&
           a.DestinationPrefix.PrefixLength == b.DestinationPrefix.PrefixLength &&
           a.NextHop.Ipv4.sin_addr.s_addr == b.NextHop.Ipv4.sin_addr.s_addr;
}

DWORD WINAPI fake_create_route(const MIB_IPFORWARD_ROW2* row) {
    created.push_back(*row);
    DWORD result = create_results.empty() ? NO_ERROR : create_results.front();
    if (!create_results.empty()) {
        create_results.erase(create_results.begin());
    }
    for (const MIB_IPFORWARD_ROW2& r : route_table) {
        if (same_route(r, *row)) {
            result = ERROR_OBJECT_ALREADY_EXISTS;
        }
    }
    if (result == NO_ERROR) {
        route_table.push_back(*row);
    }
    return result;
}
DWORD WINAPI fake_delete_route(const MIB_IPFORWARD_ROW2* row) {
    deleted.push_back(*row);
    for (auto r = route_table.begin(); r != route_table.end(); ++r) {
        if (same_route(*r, *row)) {
            route_table.erase(r);
            break;
        }
    }
    return NO_ERROR;
}

// As Windows reports them: each row's Metric is the one it was created with; the interface's
// metric is apart, in the interface table.
template <typename table_type, typename row_type>
table_type* mib_table(const std::vector<row_type>& rows) {
    auto* table = static_cast<table_type*>(
        std::calloc(1, sizeof(table_type) + rows.size() * sizeof(row_type)));
    table->NumEntries = static_cast<ULONG>(rows.size());
    std::copy(rows.begin(), rows.end(), table->Table);
    return table;
}
DWORD WINAPI fake_read_routes(ADDRESS_FAMILY, MIB_IPFORWARD_TABLE2** table) {
    *table = mib_table<MIB_IPFORWARD_TABLE2>(route_table);
    return NO_ERROR;
}
std::vector<MIB_IPINTERFACE_ROW> interface_table;
DWORD WINAPI fake_read_interfaces(ADDRESS_FAMILY, MIB_IPINTERFACE_TABLE** table) {
    *table = mib_table<MIB_IPINTERFACE_TABLE>(interface_table);
    return NO_ERROR;
}
// Entries are found by LUID where one is given, as the system does.
MIB_IPINTERFACE_ROW* interface_of(const MIB_IPINTERFACE_ROW& key) {
    for (MIB_IPINTERFACE_ROW& row : interface_table) {
        if (key.InterfaceLuid.Value != 0 ? row.InterfaceLuid.Value == key.InterfaceLuid.Value
                                         : row.InterfaceIndex == key.InterfaceIndex) {
            return &row;
        }
    }
    return nullptr;
}
DWORD WINAPI fake_get_interface(MIB_IPINTERFACE_ROW* row) {
    const MIB_IPINTERFACE_ROW* found = interface_of(*row);
    if (found == nullptr) {
        return ERROR_NOT_FOUND;
    }
    *row = *found;
    return NO_ERROR;
}
DWORD WINAPI fake_set_interface(MIB_IPINTERFACE_ROW* row) {
    MIB_IPINTERFACE_ROW* found = interface_of(*row);
    if (found == nullptr) {
        return ERROR_NOT_FOUND;
    }
    calls.push_back("SetIpInterfaceEntry " + std::to_string(found->InterfaceLuid.Value) +
                    " automatic=" + std::to_string(row->UseAutomaticMetric) +
                    " metric=" + std::to_string(row->Metric));
    found->UseAutomaticMetric = row->UseAutomaticMetric;
    found->Metric = row->Metric;
    return NO_ERROR;
}
VOID WINAPI fake_free_table(PVOID table) {
    std::free(table);
}

MIB_IPFORWARD_ROW2 default_route(NET_IFINDEX index, uint32_t gateway_host, ULONG metric) {
    MIB_IPFORWARD_ROW2 row;
    win_test::initialize_forward_row(&row);
    row.InterfaceIndex = index;
    row.NextHop.Ipv4.sin_addr.s_addr = htonl(gateway_host);
    row.Metric = metric;
    return row;
}
MIB_IPINTERFACE_ROW interface_row(NET_IFINDEX index, ULONG metric) {
    MIB_IPINTERFACE_ROW row{};
    row.Family = AF_INET;
    row.InterfaceIndex = index;
    row.Metric = metric;
    return row;
}

bool fake_wmi(const wmi_method_request& request, uint32_t* result) {
    std::string call = std::string(request.caller) + " " + request.method;
    for (const wmi_string_array& input : request.inputs) {
        call += std::string(" ") + input.parameter + "=";
        for (const auto& element : input.elements) {
            call += "[" + element.value_or("(null)") + "]";
        }
    }
    calls.push_back(call);
    *result = wmi_result;
    return true;
}

class HostConfig : public ::testing::Test {
  protected:
    void SetUp() override {
        calls.clear();
        created.clear();
        deleted.clear();
        create_results.clear();
        route_table.clear();
        interface_table.clear();
        service_state = SERVICE_STOPPED;
        service_start_type = SERVICE_DISABLED;
        service_opens = true;
        wmi_result = 0;
        SetEnvironmentVariableA("QUARNEL_JOURNAL_DIR", journal_dir_.path().c_str());
        ASSERT_TRUE(session_journal().begin());
    }
    void TearDown() override {
        session_journal().end();
        SetEnvironmentVariableA("QUARNEL_JOURNAL_DIR", nullptr);
    }
    void fake_service() {
        win().OpenSCManagerA = fake_open_manager;
        win().OpenServiceA = fake_open_service;
        win().QueryServiceConfigA = fake_query_config;
        win().ChangeServiceConfigA = fake_change_config;
        win().QueryServiceStatus = fake_query_status;
        win().StartServiceA = fake_start;
        win().ControlService = fake_control;
        win().CloseServiceHandle = fake_close;
    }

    win_test::calls_restored restore_;
    win_test::temp_dir journal_dir_;
    test_support::log_capture log_;
};

TEST_F(HostConfig, DnsListHasABackupServerOnlyWhenThereIsOneAndAFailureIsReported) {
    win().wmi_adapter_method = fake_wmi;
    EXPECT_TRUE(SetAdapterDNS("{G}", "10.8.0.1", ""));
    EXPECT_TRUE(SetAdapterDNS("{G}", "10.8.0.1", nullptr));
    wmi_result = 70;
    EXPECT_FALSE(SetAdapterDNS("{G}", "10.8.0.1", "8.8.8.8"));
    EXPECT_EQ(calls, (std::vector<std::string>{
                         "SetAdapterDNS SetDNSServerSearchOrder DNSServerSearchOrder=[10.8.0.1]",
                         "SetAdapterDNS SetDNSServerSearchOrder DNSServerSearchOrder=[10.8.0.1]",
                         "SetAdapterDNS SetDNSServerSearchOrder "
                         "DNSServerSearchOrder=[10.8.0.1][8.8.8.8]"}));
    EXPECT_TRUE(log_.has("set dns failed, errNo=70", "SetAdapterDNS")) << log_.dump();
}

TEST_F(HostConfig, WineHasNoAdapterMethodsSoTheRealCallsFailWithTheirMessage) {
    std::string guid;
    int32_t index = 0;
    ASSERT_TRUE(win_test::first_adapter(&guid, &index));
    EXPECT_FALSE(SetAdapterIP(guid.c_str(), "10.8.0.6", "255.255.255.0"));
    EXPECT_FALSE(SetAdapterDNS(guid.c_str(), "10.8.0.1", ""));
    const auto lines = log_.lines();
    ASSERT_EQ(lines.size(), 2u) << log_.dump();
    EXPECT_EQ(lines[0].function, "SetAdapterIP");
    EXPECT_EQ(lines[1].function, "SetAdapterDNS");
    std::cout << "wine: SetAdapterIP: " << lines[0].text
              << "\nwine: SetAdapterDNS: " << lines[1].text << "\n";
}

// The undo is the one a replay after a restart runs, when the indexes were handed out anew.
TEST_F(HostConfig, MetricSettingGoesBackAsItWasToTheSameInterfaceWhateverItsIndexNow) {
    win().GetIpInterfaceEntry = fake_get_interface;
    win().SetIpInterfaceEntry = fake_set_interface;
    interface_table = {interface_row(12, 25), interface_row(13, 35)};
    interface_table[0].InterfaceLuid.Value = 1200;
    interface_table[0].UseAutomaticMetric = FALSE;  // fixed by hand
    interface_table[1].InterfaceLuid.Value = 1300;
    interface_table[1].UseAutomaticMetric = TRUE;
    EXPECT_TRUE(EnableAutoMetric(12, false));
    EXPECT_TRUE(EnableAutoMetric(13, true));
    std::swap(interface_table[0].InterfaceIndex, interface_table[1].InterfaceIndex);
    session_journal().unwind();
    EXPECT_EQ(calls, (std::vector<std::string>{"SetIpInterfaceEntry 1200 automatic=0 metric=1",
                                               "SetIpInterfaceEntry 1300 automatic=1 metric=35",
                                               // newest first
                                               "SetIpInterfaceEntry 1300 automatic=1 metric=35",
                                               "SetIpInterfaceEntry 1200 automatic=0 metric=25"}));
    interface_table.clear();
    EXPECT_FALSE(EnableAutoMetric(12, false));
    EXPECT_TRUE(log_.has("GetIpInterfaceEntry failed, dwError=1168!", "EnableAutoMetric"))
        << log_.dump();
}

TEST_F(HostConfig, RoutesTakeTheInterfaceMetricAndOnlyCreatedOnesAreDeleted) {
    win().GetIpInterfaceEntry = fake_get_interface;
    win().InitializeIpForwardEntry = win_test::initialize_forward_row;
    win().CreateIpForwardEntry2 = fake_create_route;
    win().DeleteIpForwardEntry2 = fake_delete_route;
    interface_table = {interface_row(21, 7), interface_row(4, 7)};
    qn_ctx_t ctx;
    const std::vector<route_request> requests = {
        {htonl(0xC6336400), 24, htonl(0x0A080001), 21, false},  // 198.51.100.0/24 via 10.8.0.1
        {htonl(0xCB007100), 24, htonl(0x0A080001), 21, false},  // exists already: 5010
        {htonl(0xAC1E0001), 32, htonl(0xAC1E0002), 4, true},
    };
    create_results = {NO_ERROR, ERROR_OBJECT_ALREADY_EXISTS, NO_ERROR};
    ASSERT_EQ(perform_add_routes(&ctx, requests), 0) << log_.dump();
    ASSERT_EQ(created.size(), 3u);
    const MIB_IPFORWARD_ROW2& first = created[0];
    EXPECT_EQ(first.InterfaceIndex, 21u);
    EXPECT_EQ(first.DestinationPrefix.Prefix.si_family, AF_INET);
    EXPECT_EQ(first.DestinationPrefix.Prefix.Ipv4.sin_addr.s_addr, htonl(0xC6336400));
    EXPECT_EQ(first.DestinationPrefix.PrefixLength, 24);
    EXPECT_EQ(first.NextHop.si_family, AF_INET);
    EXPECT_EQ(first.NextHop.Ipv4.sin_addr.s_addr, htonl(0x0A080001));
    EXPECT_EQ(first.Metric, 7u);
    session_journal().unwind();
    ASSERT_EQ(deleted.size(), 2u);  // newest first; the one that existed is not ours
    EXPECT_EQ(deleted[0].DestinationPrefix.Prefix.Ipv4.sin_addr.s_addr, htonl(0xAC1E0001));
    EXPECT_EQ(deleted[1].DestinationPrefix.Prefix.Ipv4.sin_addr.s_addr, htonl(0xC6336400));

    create_results = {ERROR_INVALID_PARAMETER};
    EXPECT_EQ(perform_add_routes(&ctx, {requests[0]}), -1);
    EXPECT_TRUE(log_.has("CreateIpForwardEntry2 failed with err:87.")) << log_.dump();
}

TEST_F(HostConfig, RoutesAreFoundByTheMetricTheyWereMadeWithAndTheUplinkByBoth) {
    win().GetIpInterfaceEntry = fake_get_interface;
    win().InitializeIpForwardEntry = win_test::initialize_forward_row;
    win().CreateIpForwardEntry2 = fake_create_route;
    win().DeleteIpForwardEntry2 = fake_delete_route;
    win().GetIpForwardTable2 = fake_read_routes;
    win().GetIpInterfaceTable = fake_read_interfaces;
    win().FreeMibTable = fake_free_table;
    // Two uplinks: the system ranks 4 (1 + 5) before 3 (0 + 25).
    interface_table = {interface_row(3, 25), interface_row(4, 5)};
    route_table = {default_route(3, 0xC0A80001, 0), default_route(4, 0xAC1E0001, 1)};
    int32_t index = -1;
    char gateway[16] = {};
    ASSERT_TRUE(GetWanInfo(&index, gateway)) << log_.dump();
    EXPECT_EQ(index, 4);
    EXPECT_STREQ(gateway, "172.30.0.1");

    // A remote route and the server's via the uplink, then two protect rounds: each finds them
    // as made, so nothing is made again and the end deletes both.
    qn_ctx_t ctx;
    const std::vector<route_request> requests = {
        {htonl(0xC6336400), 24, htonl(0xAC1E0001), 4, false},
        {htonl(0xCB007163), 32, htonl(0xAC1E0001), 4, true},
    };
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(perform_add_routes(&ctx, requests), 0) << round << log_.dump();
    }
    EXPECT_EQ(created.size(), 2u);
    session_journal().unwind();
    EXPECT_EQ(deleted.size(), 2u);
    EXPECT_EQ(route_table.size(), 2u);  // the uplinks' own
}

TEST_F(HostConfig, RoutingServiceIsStartedOnDemandAndPutBackAsItWas) {
    fake_service();
    struct before {
        DWORD start_type;
        DWORD state;
        std::vector<std::string> start;
        std::vector<std::string> stop;
    };
    const std::vector<std::string> open = {"OpenSCManagerA 983103",
                                           "OpenServiceA RemoteAccess 983551"};
    const std::vector<std::string> close = {"CloseServiceHandle service",
                                            "CloseServiceHandle manager"};
    const before cases[] = {
        {SERVICE_DISABLED,
         SERVICE_STOPPED,
         {"QueryServiceConfigA", "QueryServiceStatus", "ChangeServiceConfigA 3",
          "QueryServiceStatus", "StartServiceA"},
         {"QueryServiceStatus", "ControlService 1", "QueryServiceConfigA",
          "ChangeServiceConfigA 4"}},
        // Someone's routing already runs: it keeps running and keeps its start type.
        {SERVICE_AUTO_START,
         SERVICE_RUNNING,
         {"QueryServiceConfigA", "QueryServiceStatus", "ChangeServiceConfigA 3",
          "QueryServiceStatus"},
         {"QueryServiceStatus", "QueryServiceConfigA", "ChangeServiceConfigA 2"}},
    };
    for (const before& c : cases) {
        calls.clear();
        service_start_type = c.start_type;
        service_state = c.state;
        ASSERT_EQ(start_router(), 0) << log_.dump();
        std::vector<std::string> expected = open;
        expected.insert(expected.end(), c.start.begin(), c.start.end());
        expected.insert(expected.end(), close.begin(), close.end());
        EXPECT_EQ(calls, expected);
        calls.clear();
        EXPECT_EQ(stop_router(), 0);
        expected = open;
        expected.insert(expected.end(), c.stop.begin(), c.stop.end());
        expected.insert(expected.end(), close.begin(), close.end());
        EXPECT_EQ(calls, expected);
        EXPECT_EQ(service_start_type, c.start_type);
        EXPECT_EQ(service_state, c.state);
    }

    service_opens = false;
    EXPECT_EQ(start_router(), -1);
    EXPECT_TRUE(log_.has("OpenService failed.", "start_router")) << log_.dump();
}

TEST_F(HostConfig, WineHasNoRoutingServiceAndFindsTheUplinkInItsForwardTable) {
    EXPECT_EQ(start_router(), -1);
    EXPECT_TRUE(log_.has("OpenService failed.", "start_router")) << log_.dump();
    // The harness's namespace routes everything via 172.30.0.1.
    int32_t index = -1;
    char gateway[16] = {};
    ASSERT_TRUE(GetWanInfo(&index, gateway)) << log_.dump();
    EXPECT_STREQ(gateway, "172.30.0.1");
    EXPECT_GT(index, 0);
}

}  // namespace
