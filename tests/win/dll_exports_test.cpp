// The DLL as a host program sees it: loaded by name, its six functions found by their
// undecorated names and called as cdecl, against the reference server the harness started.
#include <gtest/gtest.h>

// In this order: the IP Helper headers declare their rows only after Winsock's.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <iphlpapi.h>
#include <objbase.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "win_test_support.h"

namespace {

struct route_entry {
    char ip[16];
    int32_t bitlen;
};

using start_fn = int(__cdecl*)(const char*, const char*, const char*, const char*, const char*,
                               const char*, const char*, int, const route_entry*, int,
                               const route_entry*, int, const route_entry*, int, int, int, int, int,
                               const char*, const char*);
using stop_fn = void(__cdecl*)(int);
using token_fn = void(__cdecl*)(const char*);
using limit_fn = void(__cdecl*)(int, int);
using status_fn = int(__cdecl*)(void);
using ping_fn = int(__cdecl*)(const char*, int, uint16_t*);

// An export by name; through void* as the exports' types are not FARPROC's.
template <typename F>
F symbol(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

class Dll : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(win_test::server_from_environment(&server_))
            << "the harness must give QN_TEST_SERVER, QN_TEST_SERVER_KEY and QN_TEST_TOKEN";
        module_ = LoadLibraryA("quarnel.dll");
        ASSERT_NE(module_, nullptr) << GetLastError();
        start_ = symbol<start_fn>(module_, "start_vpn");
        stop_ = symbol<stop_fn>(module_, "stop_vpn");
        token_ = symbol<token_fn>(module_, "update_token");
        limit_ = symbol<limit_fn>(module_, "update_limit_rate");
        status_ = symbol<status_fn>(module_, "get_vpn_status");
        ping_ = symbol<ping_fn>(module_, "udp_ping");
        ASSERT_TRUE(start_ && stop_ && token_ && limit_ && status_ && ping_);
    }

    int start(const std::string& key) {
        const route_entry remote[] = {{"198.51.100.0", 24}};
        return start_("WINDOWS", "3.1.8", server_.token.c_str(), "wine-test-uuid", key.c_str(), "",
                      server_.ip.c_str(), server_.port, nullptr, 0, remote, 1, nullptr, 0, 1417, 0,
                      0, 0, "10.8.0.1", "");
    }

    win_test::test_server server_;
    HMODULE module_ = nullptr;
    start_fn start_ = nullptr;
    stop_fn stop_ = nullptr;
    token_fn token_ = nullptr;
    limit_fn limit_ = nullptr;
    status_fn status_ = nullptr;
    ping_fn ping_ = nullptr;
};

DWORD route_count() {
    ULONG size = 0;
    GetIpForwardTable(nullptr, &size, FALSE);
    std::string buffer(size, '\0');
    auto* table = reinterpret_cast<MIB_IPFORWARDTABLE*>(&buffer[0]);
    return GetIpForwardTable(table, &size, FALSE) == NO_ERROR ? table->dwNumEntries : 0;
}

TEST_F(Dll, ExportsOnlyTheSixNamesUndecorated) {
    for (const char* decorated : {"_start_vpn", "start_vpn@80", "_udp_ping", "qn_start"}) {
        EXPECT_EQ(GetProcAddress(module_, decorated), nullptr) << decorated;
    }
    EXPECT_EQ(status_(), 0);
    stop_(1);  // idle: nothing happens
    token_("t");
    limit_(1, 1);
    EXPECT_EQ(status_(), 0);
}

// Whether this process has the socket library started: a socket is refused otherwise.
bool socket_library_started() {
    const SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        return WSAGetLastError() != WSANOTINITIALISED;
    }
    closesocket(s);
    return true;
}

TEST_F(Dll, PingStartsTheSocketLibraryForItselfAndAnswersOrTimesOut) {
    uint16_t rtt = 0xBEEF;
    // A host that never started the socket library pings before any session.
    ASSERT_FALSE(socket_library_started());
    EXPECT_EQ(ping_(server_.ip.c_str(), server_.port, &rtt), 0);
    EXPECT_FALSE(socket_library_started());  // given back
    EXPECT_LT(rtt, 1000);
    rtt = 0xBEEF;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(ping_(server_.ip.c_str(), server_.port + 1, &rtt), -76);
    const auto waited = std::chrono::steady_clock::now() - before;
    EXPECT_GE(waited, std::chrono::milliseconds(2900));
    EXPECT_LT(waited, std::chrono::milliseconds(7000));
    EXPECT_EQ(rtt, 0xBEEF);  // not written on failure
    EXPECT_EQ(ping_("fe80::1", server_.port, &rtt), -6);
}

// This program's folder, as the system names it.
std::filesystem::path program_folder() {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size())));
    return std::filesystem::path(path).parent_path();
}

// What a folder holds, through the system's own listing: the C runtime's loses its way in
// paths this long and in these characters.
std::vector<std::string> names_in(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW entry{};
    const HANDLE find = FindFirstFileW((L"\\\\?\\" + folder.wstring() + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return {"(cannot be listed: " + std::to_string(GetLastError()) + ")"};
    }
    do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(std::filesystem::path(name).u8string());
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return names;
}

// Whether the ANSI code page loses some of the text.
bool outside_ansi(const std::wstring& text) {
    const int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string ansi(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &ansi[0], n, nullptr,
                        nullptr);
    std::wstring back(text.size() * 2, L'\0');
    back.resize(static_cast<size_t>(
        MultiByteToWideChar(CP_ACP, 0, ansi.data(), n, &back[0], static_cast<int>(back.size()))));
    return back != text;
}

// The journal and the log beside the program, in a folder the harness names outside the ANSI
// code page and deeper than MAX_PATH.
TEST_F(Dll, StartHandshakesThenFailsWithoutAnAdapterAndLeavesNothingBehind) {
    const std::filesystem::path folder = program_folder();
    ASSERT_GE(folder.wstring().size(), static_cast<size_t>(MAX_PATH)) << folder.u8string();
    ASSERT_TRUE(outside_ansi(folder.wstring())) << folder.u8string();
    const DWORD routes_before = route_count();
    EXPECT_EQ(start(server_.key.substr(0, 63)), -3);
    EXPECT_EQ(start(server_.key), -50);
    EXPECT_EQ(status_(), -50);
    // Not started: a second start is no "Already started." (-4).
    EXPECT_EQ(start(server_.key), -50);
    stop_(1);
    EXPECT_EQ(route_count(), routes_before);
    const std::vector<std::string> left = names_in(folder / "quarnel-journal");
    EXPECT_EQ(left, std::vector<std::string>{}) << "the journal folder was made and emptied";
    // Winsock was released: the engine's start did not leave the library started.
    EXPECT_FALSE(socket_library_started());

    const std::filesystem::path log = folder / "quarnel.log";
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    for (const char* line :
         {"Could not find a valid device!", "tun_open failed.", "qn_start failed."}) {
        EXPECT_NE(text.str().find(line), std::string::npos) << line << " missing in " << log;
    }
}

// Every test loaded the library: each load is let go, so that it is unloaded for real.
DWORD WINAPI unload_library(LPVOID) {
    while (HMODULE loaded = GetModuleHandleA("quarnel.dll")) {
        if (!FreeLibrary(loaded)) {
            return 1;
        }
    }
    return 0;
}

TEST_F(Dll, UnloadsAfterAStartAndStop) {
    win_test::temp_dir journal;
    SetEnvironmentVariableA("QUARNEL_JOURNAL_DIR", journal.path().c_str());
    EXPECT_EQ(start(server_.key), -50);
    stop_(1);
    SetEnvironmentVariableA("QUARNEL_JOURNAL_DIR", nullptr);
    // The loader lock is held while the library is let go: nothing it waits for may need it.
    HANDLE unloader = CreateThread(nullptr, 0, unload_library, nullptr, 0, nullptr);
    ASSERT_NE(unloader, nullptr);
    const DWORD waited = WaitForSingleObject(unloader, 10000);
    if (waited != WAIT_OBJECT_0) {
        // The loader lock stays held: nothing else in the process could end.
        std::fprintf(stderr, "FreeLibrary did not return within 10 s\n");
        std::fflush(stderr);
        TerminateProcess(GetCurrentProcess(), 9);
    }
    DWORD unloaded = 1;
    GetExitCodeThread(unloader, &unloaded);
    CloseHandle(unloader);
    EXPECT_EQ(unloaded, 0u);
    EXPECT_EQ(GetModuleHandleA("quarnel.dll"), nullptr);
    module_ = LoadLibraryA("quarnel.dll");  // loaded again for the tests after this one
    ASSERT_NE(module_, nullptr);
}

TEST_F(Dll, StartWorksInTheHostsSingleThreadedApartmentAndLeavesItToTheHost) {
    win_test::temp_dir journal;
    SetEnvironmentVariableA("QUARNEL_JOURNAL_DIR", journal.path().c_str());
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    // Past COM to the handshake and the adapter, which wine lacks.
    EXPECT_EQ(start(server_.key), -50);
    // Still the host's apartment: a further initialisation in its mode is only counted.
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
    CoUninitialize();
    CoUninitialize();
    SetEnvironmentVariableA("QUARNEL_JOURNAL_DIR", nullptr);
}

}  // namespace
