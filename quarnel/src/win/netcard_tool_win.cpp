#include <netcon.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "com_ptr_win.h"
#include "engine_log.h"
#include "netcard_tool.h"
#include "wide_text_win.h"
#include "win_calls.h"

namespace {

const CLSID CONNECTION_MANAGER_CLSID = {
    0xBA126AD1, 0x2166, 0x11D1, {0xB1, 0xD0, 0x00, 0x80, 0x5F, 0xC1, 0x27, 0x0E}};
const IID CONNECTION_MANAGER_IID = {
    0xC08956A2, 0x1CD3, 0x11D1, {0xB1, 0xC5, 0x00, 0x80, 0x5F, 0xC1, 0x27, 0x0E}};
constexpr DWORD CONNECTION_MANAGER_CONTEXT =
    CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;  // 0x15

// The connection-sharing service hands out addresses around this one.
void record_scope_address(const char* ip) {
    char path[255] = {};
    std::snprintf(path, sizeof(path), "%s",
                  "System\\CurrentControlSet\\Services\\SharedAccess\\Parameters");
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_WRITE, &key) != ERROR_SUCCESS) {
        return;
    }
    RegSetValueExA(key, "ScopeAddress", 0, REG_SZ, reinterpret_cast<const BYTE*>(ip),
                   static_cast<DWORD>(std::strlen(ip)));
    RegCloseKey(key);
}

void free_properties(NETCON_PROPERTIES* properties) {
    CoTaskMemFree(properties->pszwName);
    CoTaskMemFree(properties->pszwDeviceName);
    CoTaskMemFree(properties);
}

}  // namespace

bool SetAdapterIP(const char* guid, const char* ip, const char* netmask) {
    wmi_method_request request{__func__,
                               guid,
                               "EnableStatic",
                               {{"IPAddress",
                                 {std::string(ip)},
                                 "SafeArrayCreate[pIpAddress] failed!",
                                 {"SafeArrayPutElement[pIpAddress] failed!"}},
                                {"SubnetMask",
                                 {std::string(netmask)},
                                 "SafeArrayCreate[pSubnetMask] failed!",
                                 {"SafeArrayPutElement[pSubnetMask] failed!"}}},
                               "CoCreateInstance failed!!",
                               "ConnectServer failed!!",
                               "Get EnableStatic return value failed!"};
    uint32_t result = 0;
    if (!win().wmi_adapter_method(request, &result)) {
        return false;
    }
    if (result != 0) {
        QN_ERROR("set ip and mask address failed, errNo={}, ip={}, mask={}", result, ip, netmask);
        return false;
    }
    record_scope_address(ip);
    return true;
}

bool SetAdapterDNS(const char* guid, const char* dns, const char* backup_dns) {
    auto element = [](const char* text) {
        return text != nullptr ? std::optional<std::string>(text) : std::nullopt;
    };
    // Without a backup server the list has one entry: an empty second one is no address.
    std::vector<std::optional<std::string>> servers{element(dns)};
    if (backup_dns != nullptr && *backup_dns != '\0') {
        servers.emplace_back(backup_dns);
    }
    wmi_method_request request{__func__,
                               guid,
                               "SetDNSServerSearchOrder",
                               {{"DNSServerSearchOrder",
                                 servers,
                                 "SafeArrayCreate[pDns] failed!",
                                 {"SafeArrayPutElement[pDns] primary dns failed!",
                                  "SafeArrayPutElement[pDns] backup dns failed!"}}},
                               "CoCreateInstance failed!",
                               "ConnectServer failed!",
                               "get SetDNSServerSearchOrder return value failed!"};
    uint32_t result = 0;
    if (!win().wmi_adapter_method(request, &result)) {
        return false;
    }
    if (result != 0) {
        QN_ERROR("set dns failed, errNo={}", result);
        return false;
    }
    return true;
}

bool EnableTapAdapter(const char* name) {
    com_ptr<INetConnectionManager> manager;
    if (FAILED(CoCreateInstance(CONNECTION_MANAGER_CLSID, nullptr, CONNECTION_MANAGER_CONTEXT,
                                CONNECTION_MANAGER_IID, manager.put_void()))) {
        QN_ERROR("CoCreateInstance failed!");
        return false;
    }
    com_ptr<IEnumNetConnection> connections;
    manager->EnumConnections(NCME_DEFAULT, connections.put());
    manager.reset();
    if (!connections) {
        QN_ERROR("EnumConnections pEnum == NULL");
        return false;
    }
    const std::wstring wanted = wide_from_utf8(name);  // as tun_open read it
    for (;;) {
        com_ptr<INetConnection> connection;
        ULONG fetched = 0;
        if (connections->Next(1, connection.put(), &fetched) != S_OK) {
            return false;
        }
        NETCON_PROPERTIES* properties = nullptr;
        if (FAILED(connection->GetProperties(&properties)) || properties == nullptr) {
            continue;
        }
        const bool match = properties->pszwName != nullptr && wanted == properties->pszwName;
        const bool disconnected = properties->Status == NCS_DISCONNECTED;
        free_properties(properties);
        if (match) {
            if (disconnected) {
                connection->Connect();
            }
            return true;
        }
    }
}
