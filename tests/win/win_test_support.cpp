#include "win_test_support.h"

#include <iphlpapi.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>

namespace win_test {

registry_keys::~registry_keys() {
    for (auto it = keys_.rbegin(); it != keys_.rend(); ++it) {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, it->c_str());
    }
}

void registry_keys::remember(const std::string& key) {
    for (const std::string& known : keys_) {
        if (known == key) {
            return;
        }
    }
    keys_.push_back(key);
}

void registry_keys::create(const std::string& key) {
    HKEY handle = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &handle, nullptr) != ERROR_SUCCESS) {
        throw std::runtime_error("cannot create " + key);
    }
    RegCloseKey(handle);
    remember(key);
}

void registry_keys::set_text(const std::string& key, const char* value, const std::string& text) {
    create(key);
    if (RegSetKeyValueA(HKEY_LOCAL_MACHINE, key.c_str(), value, REG_SZ, text.c_str(),
                        static_cast<DWORD>(text.size() + 1)) != ERROR_SUCCESS) {
        throw std::runtime_error("cannot write " + key + "\\" + value);
    }
}

bool registry_keys::read(const std::string& key, const char* value, DWORD* type,
                         std::vector<uint8_t>* data) {
    // The stored bytes as they are: RegGetValue would add a NUL to a text stored without one.
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, &handle) !=
        ERROR_SUCCESS) {
        return false;
    }
    DWORD len = 0;
    bool ok = RegQueryValueExA(handle, value, nullptr, type, nullptr, &len) == ERROR_SUCCESS;
    data->assign(len, 0);
    ok = ok && RegQueryValueExA(handle, value, nullptr, type, data->data(), &len) == ERROR_SUCCESS;
    RegCloseKey(handle);
    return ok;
}

VOID WINAPI initialize_forward_row(MIB_IPFORWARD_ROW2* row) {
    *row = MIB_IPFORWARD_ROW2{};
    row->ValidLifetime = 0xFFFFFFFF;
    row->PreferredLifetime = 0xFFFFFFFF;
    row->Protocol = RouteProtocolNetMgmt;
    row->Loopback = TRUE;
    row->AutoconfigureAddress = TRUE;
    row->Immortal = TRUE;
    row->Origin = NlroManual;
}

bool first_adapter(std::string* guid, int32_t* index) {
    ULONG size = 0;
    GetAdaptersInfo(nullptr, &size);
    std::vector<uint8_t> buffer(size);
    auto* list = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
    if (size == 0 || GetAdaptersInfo(list, &size) != ERROR_SUCCESS) {
        return false;
    }
    *guid = list->AdapterName;
    *index = static_cast<int32_t>(list->Index);
    return true;
}

bool server_from_environment(test_server* server) {
    const char* address = std::getenv("QN_TEST_SERVER");
    const char* key = std::getenv("QN_TEST_SERVER_KEY");
    const char* token = std::getenv("QN_TEST_TOKEN");
    if (address == nullptr || key == nullptr || token == nullptr) {
        return false;
    }
    const std::string text(address);
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        return false;
    }
    server->ip = text.substr(0, colon);
    server->port = std::atoi(text.c_str() + colon + 1);
    server->key = key;
    server->token = token;
    return server->port > 0;
}

temp_dir::temp_dir() {
    std::random_device random;
    path_ = (std::filesystem::temp_directory_path() / ("qn-win-test-" + std::to_string(random())))
                .string();
    if (!CreateDirectoryA(path_.c_str(), nullptr)) {
        throw std::runtime_error("cannot create " + path_);
    }
}

temp_dir::~temp_dir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

}  // namespace win_test
