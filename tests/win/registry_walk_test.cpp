// The TAP adapter search over adapter keys the test writes into the registry, and the
// adapter's configuration through fakes of what no test machine has (the driver, WMI's method,
// the interface rows).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "adapter_address_win.h"
#include "host_journal.h"
#include "log_capture.h"
#include "tun_device_win.h"
#include "tun_util.h"
#include "win_test_support.h"

namespace {

using win_test::CLASS_KEY;
using win_test::NETWORK_KEY;

const char GUID_A[] = "{0A0A0A0A-1111-2222-3333-444444444401}";

struct control_call {
    DWORD code;
    std::vector<uint8_t> in;
    DWORD out_len;
};

// What the fakes saw and how they answer.
std::vector<std::string> paths_opened;
std::vector<DWORD> open_flags;
std::string openable_path;
std::vector<control_call> controls;
DWORD failing_code = 0;
std::vector<std::string> wmi_calls;
uint32_t wmi_result = 0;
MIB_IPINTERFACE_ROW interface_written;
const uint8_t FAKE_MAC[6] = {0x00, 0xFF, 0x1A, 0x2B, 0x3C, 0x4D};

HANDLE WINAPI fake_create_file(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                               DWORD disposition, DWORD flags, HANDLE) {
    paths_opened.push_back(path);
    open_flags.push_back(flags);
    EXPECT_EQ(access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
    EXPECT_EQ(share, 0u);
    EXPECT_EQ(disposition, static_cast<DWORD>(OPEN_EXISTING));
    if (path != openable_path) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    return CreateEventA(nullptr, TRUE, FALSE, nullptr);  // a handle CloseHandle takes
}

BOOL WINAPI fake_control(HANDLE, DWORD code, LPVOID in, DWORD in_len, LPVOID out, DWORD out_len,
                         LPDWORD returned, LPOVERLAPPED ov) {
    EXPECT_EQ(ov, nullptr);
    const auto* bytes = static_cast<const uint8_t*>(in);
    controls.push_back({code, std::vector<uint8_t>(bytes, bytes + in_len), out_len});
    if (code == failing_code) {
        return FALSE;
    }
    if (code == TAP_WIN_IOCTL_GET_MAC && out_len >= 6) {
        std::memcpy(out, FAKE_MAC, 6);
    }
    *returned = code == TAP_WIN_IOCTL_GET_MAC ? 6 : 0;
    return TRUE;
}

bool fake_wmi(const wmi_method_request& request, uint32_t* result) {
    std::string call = request.method;
    for (const wmi_string_array& input : request.inputs) {
        call += std::string(" ") + input.parameter + "=";
        for (const auto& element : input.elements) {
            call += "[" + element.value_or("(null)") + "]";
        }
    }
    wmi_calls.push_back(call);
    *result = wmi_result;
    return true;
}

// Each interface's LUID is its index plus this, so that either finds it.
constexpr uint64_t LUID_BASE = 0x6000000;

DWORD WINAPI fake_get_interface(MIB_IPINTERFACE_ROW* row) {
    if (row->InterfaceLuid.Value != 0) {
        row->InterfaceIndex = static_cast<NET_IFINDEX>(row->InterfaceLuid.Value - LUID_BASE);
    }
    row->InterfaceLuid.Value = LUID_BASE + row->InterfaceIndex;
    row->Metric = 25;
    row->UseAutomaticMetric = TRUE;
    row->SitePrefixLength = 64;
    return NO_ERROR;
}

// The adapter's address is still being checked for this many questions, then usable.
int tentative_answers = 0;
std::vector<MIB_UNICASTIPADDRESS_ROW> address_questions;

DWORD WINAPI fake_address_entry(MIB_UNICASTIPADDRESS_ROW* row) {
    address_questions.push_back(*row);
    row->DadState = tentative_answers-- > 0 ? IpDadStateTentative : IpDadStatePreferred;
    return NO_ERROR;
}

DWORD WINAPI fake_set_interface(MIB_IPINTERFACE_ROW* row) {
    interface_written = *row;
    return NO_ERROR;
}

std::string device_path(const std::string& guid) {
    return "\\\\.\\Global\\" + guid + ".tap";
}

class RegistryWalk : public ::testing::Test {
  protected:
    void SetUp() override {
        paths_opened.clear();
        open_flags.clear();
        openable_path.clear();
        controls.clear();
        failing_code = 0;
        wmi_calls.clear();
        wmi_result = 0;
        interface_written = MIB_IPINTERFACE_ROW{};
        tentative_answers = 0;
        address_questions.clear();
        win().GetUnicastIpAddressEntry = fake_address_entry;
        win().CreateFileA = fake_create_file;
        win().DeviceIoControl = fake_control;
        win().wmi_adapter_method = fake_wmi;
        win().GetIpInterfaceEntry = fake_get_interface;
        win().SetIpInterfaceEntry = fake_set_interface;
        ASSERT_TRUE(win_test::first_adapter(&guid_b_, &index_b_));
        SetEnvironmentVariableA("QUARNEL_JOURNAL_DIR", journal_dir_.path().c_str());
        ASSERT_TRUE(session_journal().begin());
    }
    void TearDown() override {
        session_journal().end();
        SetEnvironmentVariableA("QUARNEL_JOURNAL_DIR", nullptr);
    }

    // A line whose text begins so (the rest holds a time).
    bool logged_starting(const std::string& start) const {
        for (const test_support::log_line& line : log_.lines()) {
            if (line.text.rfind(start, 0) == 0) {
                return true;
            }
        }
        return false;
    }

    std::string adapter(const char* instance) { return std::string(CLASS_KEY) + "\\" + instance; }

    // A tap0901 adapter with its GUID and connection name.
    void add_tap(const char* instance, const std::string& guid, const std::string& name) {
        keys_.set_text(adapter(instance), "ComponentId", "tap0901");
        if (!guid.empty()) {
            keys_.set_text(adapter(instance), "NetCfgInstanceId", guid);
            keys_.set_text(std::string(NETWORK_KEY) + "\\" + guid + "\\Connection", "Name", name);
        }
    }

    bool has_mtu(const char* instance, std::vector<uint8_t>* data = nullptr) {
        DWORD type = 0;
        std::vector<uint8_t> bytes;
        const bool found = win_test::registry_keys::read(adapter(instance), "MTU", &type, &bytes);
        if (data != nullptr) {
            *data = bytes;
        }
        return found && type == REG_SZ;
    }

    int open(tun_device** tun) {
        return tun_open("tun0", 0, "10.8.0.6", "255.255.255.0", 1500, false, tun);
    }

    win_test::calls_restored restore_;
    win_test::registry_keys keys_;
    win_test::temp_dir journal_dir_;
    test_support::log_capture log_;
    std::string guid_b_;
    int32_t index_b_ = 0;
};

TEST_F(RegistryWalk, OnlyFourCharacterNumberedTapInstancesAreTriedInOrder) {
    keys_.set_text(adapter("999"), "ComponentId", "tap0901");
    keys_.set_text(adapter("9990"), "ComponentId", "PCI\\VEN_8086&DEV_100E");
    keys_.create(adapter("9990\\Properties"));
    add_tap("9991", GUID_A, "TAP one");
    add_tap("9992", guid_b_, "TAP two");
    keys_.set_text(adapter("Tap0"), "ComponentId", "tap0901");
    keys_.set_text(adapter("9993"), "ComponentId", "TAP0901");  // byte-wise: not ours

    tun_device* tun = nullptr;
    EXPECT_EQ(open(&tun), -1);
    EXPECT_EQ(tun, nullptr);
    EXPECT_EQ(paths_opened, (std::vector<std::string>{device_path(GUID_A), device_path(guid_b_)}));
    for (DWORD flags : open_flags) {
        EXPECT_EQ(flags, 0x40000004u);
    }
    EXPECT_TRUE(log_.has("Could not find a valid device!", "tun_open")) << log_.dump();
    // The MTU goes to each tap0901 adapter reached, as six bytes: digits, NUL up to the end.
    std::vector<uint8_t> mtu;
    ASSERT_TRUE(has_mtu("9991", &mtu));
    EXPECT_EQ(mtu, (std::vector<uint8_t>{'1', '5', '0', '0', 0, 0}));
    EXPECT_TRUE(has_mtu("9992"));
    for (const char* skipped : {"999", "9990", "Tap0", "9993"}) {
        EXPECT_FALSE(has_mtu(skipped)) << skipped;
    }
    EXPECT_TRUE(wmi_calls.empty());

    // The system's own device open: with no TAP driver installed, no adapter opens.
    win().CreateFileA = &::CreateFileA;
    log_.clear();
    EXPECT_EQ(open(&tun), -1);
    EXPECT_TRUE(log_.has("Could not find a valid device!", "tun_open")) << log_.dump();
}

TEST_F(RegistryWalk, FirstTapAdapterWhoseDeviceOpensIsConfiguredAndClosed) {
    add_tap("9991", GUID_A, "TAP one");  // held by another program: its device does not open
    add_tap("9992", guid_b_, "TAP two");
    // A name no single code page holds whole, as Windows keeps it: UTF-16.
    const std::wstring name = L"TAP \u4e8c \u03a9";
    const std::string connection = std::string(NETWORK_KEY) + "\\" + guid_b_ + "\\Connection";
    ASSERT_EQ(
        RegSetKeyValueW(HKEY_LOCAL_MACHINE,
                        std::wstring(connection.begin(), connection.end()).c_str(), L"Name", REG_SZ,
                        name.c_str(), static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t))),
        ERROR_SUCCESS);
    openable_path = device_path(guid_b_);
    // Wine has no connection-sharing service; its key is where the address is recorded.
    const std::string sharing = "System\\CurrentControlSet\\Services\\SharedAccess\\Parameters";
    keys_.create(sharing);
    tentative_answers = 2;

    tun_device* tun = nullptr;
    ASSERT_EQ(open(&tun), 0) << log_.dump();
    // Routes come after it: the open waited for the address.
    ASSERT_EQ(address_questions.size(), 3u);
    EXPECT_EQ(address_questions[0].InterfaceIndex, static_cast<NET_IFINDEX>(index_b_));
    EXPECT_EQ(address_questions[0].Address.Ipv4.sin_addr.s_addr, htonl(0x0A080006));
    EXPECT_TRUE(
        log_.has("Adapter address 10.8.0.6 not usable yet (error 0, state 1): waiting up "
                 "to 10000 ms."))
        << log_.dump();
    EXPECT_TRUE(logged_starting("Adapter address 10.8.0.6 usable after")) << log_.dump();
    ASSERT_NE(tun, nullptr);
    EXPECT_EQ(std::string(tun->guid), guid_b_);
    EXPECT_EQ(std::string(tun->name), "TAP \xe4\xba\x8c \xce\xa9");  // UTF-8
    EXPECT_EQ(tun->if_index, index_b_);
    EXPECT_EQ(tun->mtu, 1500);
    EXPECT_EQ(std::memcmp(tun->mac, FAKE_MAC, 6), 0);
    EXPECT_EQ(
        wmi_calls,
        (std::vector<std::string>{"EnableStatic IPAddress=[10.8.0.6] SubnetMask=[255.255.255.0]"}));
    // Proxy mode's fixed metric.
    EXPECT_EQ(interface_written.InterfaceIndex, static_cast<NET_IFINDEX>(index_b_));
    EXPECT_FALSE(interface_written.UseAutomaticMetric);
    EXPECT_EQ(interface_written.Metric, 1u);
    EXPECT_EQ(interface_written.SitePrefixLength, 0u);
    // TUN mode for the subnet, the MAC read, the cable plugged: in that order.
    ASSERT_EQ(controls.size(), 3u);
    EXPECT_EQ(controls[0].code, 0x00220028u);
    EXPECT_EQ(controls[0].in, (std::vector<uint8_t>{10, 8, 0, 6, 10, 8, 0, 0, 255, 255, 255, 0}));
    EXPECT_EQ(controls[1].code, 0x00220004u);
    EXPECT_TRUE(controls[1].in.empty());
    EXPECT_EQ(controls[1].out_len, 6u);
    EXPECT_EQ(controls[2].code, 0x00220018u);
    EXPECT_EQ(controls[2].in, (std::vector<uint8_t>{1, 0, 0, 0}));
    DWORD type = 0;
    std::vector<uint8_t> scope;
    ASSERT_TRUE(win_test::registry_keys::read(sharing, "ScopeAddress", &type, &scope));
    // Written without its NUL; the registry adds one to a text whose next byte is NUL.
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(std::string(scope.begin(), std::find(scope.begin(), scope.end(), 0)), "10.8.0.6");

    const HANDLE device = tun->handle;
    tun_close(tun);
    ASSERT_EQ(controls.size(), 4u);
    EXPECT_EQ(controls[3].code, 0x00220018u);
    EXPECT_EQ(controls[3].in, (std::vector<uint8_t>{0, 0, 0, 0}));
    DWORD info = 0;
    EXPECT_FALSE(GetHandleInformation(device, &info));

    // One that stays unusable is waited for only so long.
    tentative_answers = 1000;
    EXPECT_FALSE(
        wait_for_adapter_address(index_b_, htonl(0x0A080006), std::chrono::milliseconds(300)));
    EXPECT_TRUE(logged_starting("Adapter address 10.8.0.6 still not usable after")) << log_.dump();
}

TEST_F(RegistryWalk, FailuresAfterTheDeviceOpenedCloseItAndFailTheOpen) {
    struct failure {
        DWORD code;
        uint32_t wmi_result;
        std::vector<std::string> messages;
    };
    const failure cases[] = {
        {0,
         1,
         {"set ip and mask address failed, errNo=1, ip=10.8.0.6, mask=255.255.255.0",
          "SetAdapterIP failed!"}},
        {TAP_WIN_IOCTL_CONFIG_TUN, 0, {"Switch to tun mode failed!"}},
        {TAP_WIN_IOCTL_GET_MAC, 0, {"WARNING: Unable to gete TAP mac addr."}},
        {TAP_WIN_IOCTL_SET_MEDIA_STATUS, 0, {"WARNING: Unable to enable TAP adapter."}},
    };
    add_tap("9992", guid_b_, "TAP two");
    openable_path = device_path(guid_b_);
    for (const failure& c : cases) {
        log_.clear();
        failing_code = c.code;
        wmi_result = c.wmi_result;
        tun_device* tun = nullptr;
        EXPECT_EQ(open(&tun), -1);
        EXPECT_EQ(tun, nullptr);
        for (const std::string& message : c.messages) {
            EXPECT_TRUE(log_.has(message)) << message << "\n" << log_.dump();
        }
    }
}

TEST_F(RegistryWalk, BrokenTapAdapterEndsTheSearch) {
    struct broken {
        const char* what;
        bool instance_id;
        bool connection;
        const char* message;
    };
    const broken cases[] = {
        {"no NetCfgInstanceId", false, false, "RegQueryValueEx failed!"},
        {"no Connection key", true, false, "RegOpenKeyEx failed!"},
        {"no connection Name", true, true, "RegQueryValueEx failed!"},
    };
    for (const broken& c : cases) {
        SCOPED_TRACE(c.what);
        win_test::registry_keys keys;
        keys.set_text(adapter("9991"), "ComponentId", "tap0901");
        if (c.instance_id) {
            keys.set_text(adapter("9991"), "NetCfgInstanceId", GUID_A);
        }
        if (c.connection) {
            keys.create(std::string(NETWORK_KEY) + "\\" + GUID_A + "\\Connection");
        }
        add_tap("9992", guid_b_, "TAP two");  // usable, but never reached
        openable_path = device_path(guid_b_);
        log_.clear();
        paths_opened.clear();
        tun_device* tun = nullptr;
        EXPECT_EQ(open(&tun), -1);
        EXPECT_TRUE(log_.has(c.message, "tun_open")) << log_.dump();
        EXPECT_TRUE(paths_opened.empty());
        EXPECT_FALSE(has_mtu("9991"));
        EXPECT_FALSE(has_mtu("9992"));
    }
}

}  // namespace
