// Helpers of the tests that run under wine: registry keys the test owns, the backend's calls
// replaced for one test, and the reference server the harness started.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "win_calls.h"

namespace win_test {

const char CLASS_KEY[] =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
const char NETWORK_KEY[] =
    "SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}";

// Keys under HKEY_LOCAL_MACHINE written by a test and deleted with it.
class registry_keys {
  public:
    ~registry_keys();
    void set_text(const std::string& key, const char* value, const std::string& text);
    void create(const std::string& key);
    // The value's type and bytes; false when it is missing.
    static bool read(const std::string& key, const char* value, DWORD* type,
                     std::vector<uint8_t>* data);

  private:
    void remember(const std::string& key);
    std::vector<std::string> keys_;
};

// The backend's calls as they were, put back when the test ends.
class calls_restored {
  public:
    calls_restored() : saved_(win()) {}
    ~calls_restored() { win() = saved_; }

  private:
    win_calls saved_;
};

// The defaults InitializeIpForwardEntry gives a row, for the route tests: wine lacks the call.
VOID WINAPI initialize_forward_row(MIB_IPFORWARD_ROW2* row);

// GUID (the adapter name) and index of an adapter the system lists.
bool first_adapter(std::string* guid, int32_t* index);

// The reference server the harness started (QN_TEST_SERVER=ip:port, QN_TEST_SERVER_KEY,
// QN_TEST_TOKEN); the test fails when it is not given.
struct test_server {
    std::string ip;
    int port = 0;
    std::string key;
    std::string token;
};
bool server_from_environment(test_server* server);

// A fresh folder under the temporary folder, removed with its content.
class temp_dir {
  public:
    temp_dir();
    ~temp_dir();
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace win_test
