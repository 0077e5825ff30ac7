// The cross-built tests' entry: the socket library and a multi-threaded COM apartment on the
// test thread, as start_vpn sets them up for the engine.
#include <gtest/gtest.h>

#include <winsock2.h>

#include <objbase.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0 ||
        FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        return 2;
    }
    const int result = RUN_ALL_TESTS();
    CoUninitialize();
    WSACleanup();
    return result;
}
