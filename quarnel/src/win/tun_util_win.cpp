#include <cstdio>
#include <cstring>
#include <exception>
#include <sstream>
#include <string>

#include "adapter_address_win.h"
#include "engine_log.h"
#include "ipv4_text.h"
#include "netcard_tool.h"
#include "platform_net.h"
#include "tun_device_win.h"
#include "tun_util.h"
#include "wide_text_win.h"
#include "win_calls.h"

namespace {

const char CLASS_KEY[] =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
const char NETWORK_KEY[] =
    "SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
const char COMPONENT_ID[] = "tap0901";
constexpr REGSAM QUERY_AND_SET = KEY_QUERY_VALUE | KEY_SET_VALUE;
constexpr DWORD DEVICE_FLAGS = FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_SYSTEM;
constexpr int MIN_MTU = 68;
constexpr int MAX_MTU = 65535;
constexpr size_t TEXT_LEN = 256;

// A registry key closed however the scope ends.
class reg_key {
  public:
    reg_key() = default;
    ~reg_key() {
        if (key_ != nullptr) {
            RegCloseKey(key_);
        }
    }
    reg_key(const reg_key&) = delete;
    reg_key& operator=(const reg_key&) = delete;
    bool open(const std::string& path, REGSAM access) {
        return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &key_) == ERROR_SUCCESS;
    }
    HKEY get() const { return key_; }

  private:
    HKEY key_ = nullptr;
};

// A text value into a buffer of TEXT_LEN bytes; the terminating NUL is kept even when the
// stored value has none.
bool read_text(HKEY key, const char* value, char (&out)[TEXT_LEN]) {
    char buffer[TEXT_LEN + 1] = {};
    DWORD len = TEXT_LEN;
    if (RegQueryValueExA(key, value, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &len) !=
        ERROR_SUCCESS) {
        return false;
    }
    std::memcpy(out, buffer, TEXT_LEN);
    out[TEXT_LEN - 1] = '\0';
    return true;
}

// The connection's name as UTF-8, read as the system keeps it (UTF-16), so that no code page
// loses a character of it; false also when it does not fit in TEXT_LEN bytes.
bool read_name(HKEY key, char (&out)[TEXT_LEN]) {
    wchar_t buffer[TEXT_LEN + 1] = {};
    DWORD len = TEXT_LEN * sizeof(wchar_t);
    if (RegQueryValueExW(key, L"Name", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &len) !=
        ERROR_SUCCESS) {
        return false;
    }
    const std::string name = utf8_from_wide(buffer);
    if (name.size() >= TEXT_LEN) {
        return false;
    }
    std::memcpy(out, name.c_str(), name.size() + 1);
    return true;
}

// Adapter instances are "0000", "0001", ...: four characters that begin with a number.
bool instance_name(const char* name) {
    if (std::strlen(name) != 4) {
        return false;
    }
    std::istringstream in(name);
    int number = 0;
    return static_cast<bool>(in >> number);
}

// The MTU as the REG_SZ text of exactly 6 bytes: the digits, NUL up to the end.
bool write_mtu(HKEY adapter, int mtu) {
    char text[6] = {};
    std::snprintf(text, sizeof(text), "%d", mtu);
    return RegSetKeyValueA(adapter, nullptr, "MTU", REG_SZ, text, sizeof(text)) == ERROR_SUCCESS;
}

enum class walk { found, none, failed };

// Finds the first tap0901 adapter whose device file opens; its handle, GUID and name.
walk find_adapter(int mtu, HANDLE* device, char (&guid)[TEXT_LEN], char (&name)[TEXT_LEN]) {
    reg_key adapters;
    if (!adapters.open(CLASS_KEY, KEY_READ)) {
        QN_ERROR_IN("tun_open", "RegOpenKeyEx failed!");
        return walk::failed;
    }
    for (DWORD index = 0;; ++index) {
        char subkey[TEXT_LEN] = {};
        if (RegEnumKeyA(adapters.get(), index, subkey, sizeof(subkey)) != ERROR_SUCCESS) {
            QN_ERROR_IN("tun_open", "Could not find a valid device!");
            return walk::none;
        }
        if (!instance_name(subkey)) {
            continue;
        }
        reg_key adapter;
        if (!adapter.open(std::string(CLASS_KEY) + "\\" + subkey, QUERY_AND_SET)) {
            continue;
        }
        char component[TEXT_LEN] = {};
        if (!read_text(adapter.get(), "ComponentId", component) ||
            std::strcmp(component, COMPONENT_ID) != 0) {
            continue;
        }
        if (!read_text(adapter.get(), "NetCfgInstanceId", guid)) {
            QN_ERROR_IN("tun_open", "RegQueryValueEx failed!");
            return walk::failed;
        }
        reg_key connection;
        if (!connection.open(std::string(NETWORK_KEY) + "\\" + guid + "\\Connection", KEY_READ)) {
            QN_ERROR_IN("tun_open", "RegOpenKeyEx failed!");
            return walk::failed;
        }
        if (!read_name(connection.get(), name)) {
            QN_ERROR_IN("tun_open", "RegQueryValueEx failed!");
            return walk::failed;
        }
        if (!write_mtu(adapter.get(), mtu)) {
            QN_ERROR_IN("tun_open", "RegSetKeyValue failed!");
            return walk::failed;
        }
        if (!EnableTapAdapter(name)) {
            QN_ERROR_IN("tun_open", "EnableTapAdapter failed!");
        }
        const std::string path = std::string("\\\\.\\Global\\") + guid + ".tap";
        *device = win().CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, DEVICE_FLAGS, nullptr);
        if (*device != INVALID_HANDLE_VALUE) {
            return walk::found;  // another program may hold the others
        }
    }
}

// The IPv4 interface index of the adapter whose name is the GUID.
bool GetApdapterIndex(const char* guid, int32_t* index) {
    const HANDLE heap = GetProcessHeap();
    ULONG size = sizeof(IP_ADAPTER_INFO);
    auto* list = static_cast<IP_ADAPTER_INFO*>(HeapAlloc(heap, 0, size));
    if (list == nullptr) {
        return false;
    }
    DWORD rc = GetAdaptersInfo(list, &size);
    if (rc == ERROR_BUFFER_OVERFLOW) {
        HeapFree(heap, 0, list);
        list = static_cast<IP_ADAPTER_INFO*>(HeapAlloc(heap, 0, size));
        if (list == nullptr) {
            return false;
        }
        rc = GetAdaptersInfo(list, &size);
    }
    bool found = false;
    for (IP_ADAPTER_INFO* a = rc == ERROR_SUCCESS ? list : nullptr; a != nullptr; a = a->Next) {
        if (std::strcmp(a->AdapterName, guid) == 0) {
            *index = static_cast<int32_t>(a->Index);
            found = true;
            break;
        }
    }
    HeapFree(heap, 0, list);
    return found;
}

bool control(HANDLE device, DWORD code, void* in, DWORD in_len, void* out, DWORD out_len) {
    DWORD returned = 0;
    return win().DeviceIoControl(device, code, in, in_len, out, out_len, &returned, nullptr) !=
           FALSE;
}

// The adapter's configuration once its device file is open; false (logged) on failure.
bool configure(HANDLE device, const char* guid, const char* ip, const char* netmask,
               bool use_auto_metric, int32_t* index, uint8_t (&mac)[6]) {
    if (!SetAdapterIP(guid, ip, netmask)) {
        QN_ERROR_IN("tun_open", "SetAdapterIP failed!");
        return false;
    }
    if (!GetApdapterIndex(guid, index)) {
        QN_ERROR_IN("tun_open", "GetApdapterIndex failed!");
        return false;
    }
    if (!EnableAutoMetric(*index, use_auto_metric)) {
        QN_ERROR_IN("tun_open", "EnableAutoMetric failed!");
        return false;
    }
    const uint32_t address = ipv4_from_text(ip);
    const uint32_t mask = ipv4_from_text(netmask);
    uint32_t tun_triple[3] = {address, address & mask, mask};
    if (!control(device, TAP_WIN_IOCTL_CONFIG_TUN, tun_triple, sizeof(tun_triple), nullptr, 0)) {
        QN_ERROR_IN("tun_open", "Switch to tun mode failed!");
        return false;
    }
    if (!control(device, TAP_WIN_IOCTL_GET_MAC, nullptr, 0, mac, sizeof(mac))) {
        QN_ERROR_IN("tun_open", "WARNING: Unable to gete TAP mac addr.");
        return false;
    }
    ULONG connected = 1;
    if (!control(device, TAP_WIN_IOCTL_SET_MEDIA_STATUS, &connected, sizeof(connected), nullptr,
                 0)) {
        QN_ERROR_IN("tun_open", "WARNING: Unable to enable TAP adapter.");
        return false;
    }
    // Late is better than refused: the routes through it come next.
    wait_for_adapter_address(*index, address);
    return true;
}

HANDLE manual_reset_event() {
    return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

}  // namespace

int tun_open(const char* /*dev_name*/, int /*flags*/, const char* ip, const char* netmask, int mtu,
             bool use_auto_metric, tun_device** out) {
    HANDLE device = INVALID_HANDLE_VALUE;
    try {
        // The registry text has room for five digits, and a link carries no less than 68.
        if (mtu < MIN_MTU || mtu > MAX_MTU) {
            QN_ERROR("Invalid MTU {}!", mtu);
            return -1;
        }
        char guid[TEXT_LEN] = {};
        char name[TEXT_LEN] = {};
        if (find_adapter(mtu, &device, guid, name) != walk::found) {
            return -1;
        }
        int32_t index = 0;
        uint8_t mac[6] = {};
        if (!configure(device, guid, ip, netmask, use_auto_metric, &index, mac)) {
            CloseHandle(device);
            return -1;
        }
        auto* tun = new tun_device{};
        tun->io = new device_overlapped();
        tun->handle = device;
        tun->io->read_ov.hEvent = manual_reset_event();
        tun->io->write_ov.hEvent = manual_reset_event();
        tun->if_index = index;
        std::memcpy(tun->guid, guid, sizeof(tun->guid));
        std::memcpy(tun->name, name, sizeof(tun->name));
        tun->mtu = mtu;
        std::memcpy(tun->mac, mac, sizeof(tun->mac));
        if (tun->io->read_ov.hEvent == nullptr || tun->io->write_ov.hEvent == nullptr) {
            QN_ERROR("CreateEvent failed: {}.", GetLastError());
            tun_close(tun);
            return -1;
        }
        *out = tun;
        return 0;
    } catch (const std::exception& e) {
        QN_ERROR("{}.", e.what());
        if (device != INVALID_HANDLE_VALUE) {
            CloseHandle(device);
        }
        *out = nullptr;
        return -1;
    }
}

void tun_close(tun_device* tun) {
    if (tun == nullptr) {
        return;
    }
    device_overlapped* io = tun->io;
    if (tun->handle != INVALID_HANDLE_VALUE) {
        ULONG disconnected = 0;
        control(tun->handle, TAP_WIN_IOCTL_SET_MEDIA_STATUS, &disconnected, sizeof(disconnected),
                nullptr, 0);
        if (io != nullptr) {
            CancelIoEx(tun->handle, &io->read_ov);
            CancelIoEx(tun->handle, &io->write_ov);
        }
        CloseHandle(tun->handle);
        tun->handle = INVALID_HANDLE_VALUE;
    }
    if (io != nullptr) {
        for (OVERLAPPED* ov : {&io->read_ov, &io->write_ov}) {
            if (ov->hEvent != nullptr) {
                CloseHandle(ov->hEvent);
            }
        }
        delete io;
    }
    delete tun;
}
