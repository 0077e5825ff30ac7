// The Windows calls behind which the backend meets what a test machine cannot provide (the
// ICMP errors Winsock reports on a UDP socket, the TAP driver, WMI's adapter methods, IP Helper's
// interface rows and route creation, the service control manager), and the tables read beside them.
// The backend calls them only through win(); tests replace members.
#pragma once

// In this order: the IP Helper headers declare their rows only after Winsock's.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <iphlpapi.h>
#include <mswsock.h>
#include <netioapi.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One string-array input parameter of a WMI method; an element without a value is a null string.
struct wmi_string_array {
    const char* parameter;
    std::vector<std::optional<std::string>> elements;
    const char* create_failed;                // log text when the array cannot be created
    std::vector<const char*> element_failed;  // log text per element that cannot be stored
};

// A method of the adapter's Win32_NetworkAdapterConfiguration object, and the texts its caller
// logs when a step fails.
struct wmi_method_request {
    const char* caller;
    const char* guid;
    const char* method;
    std::vector<wmi_string_array> inputs;
    const char* create_instance_failed;
    const char* connect_server_failed;
    const char* return_value_failed;
};

// Runs the method; false when a step failed (logged), else the method's ReturnValue.
bool wmi_adapter_method(const wmi_method_request& request, uint32_t* return_value);

struct win_calls {
    decltype(&::WSAIoctl) WSAIoctl = &::WSAIoctl;
    decltype(&::WSARecvFrom) WSARecvFrom = &::WSARecvFrom;
    decltype(&::CreateFileA) CreateFileA = &::CreateFileA;
    decltype(&::DeviceIoControl) DeviceIoControl = &::DeviceIoControl;
    decltype(&::GetIpInterfaceEntry) GetIpInterfaceEntry = &::GetIpInterfaceEntry;
    decltype(&::GetUnicastIpAddressEntry) GetUnicastIpAddressEntry = &::GetUnicastIpAddressEntry;
    decltype(&::SetIpInterfaceEntry) SetIpInterfaceEntry = &::SetIpInterfaceEntry;
    decltype(&::InitializeIpForwardEntry) InitializeIpForwardEntry = &::InitializeIpForwardEntry;
    decltype(&::CreateIpForwardEntry2) CreateIpForwardEntry2 = &::CreateIpForwardEntry2;
    decltype(&::DeleteIpForwardEntry2) DeleteIpForwardEntry2 = &::DeleteIpForwardEntry2;
    decltype(&::GetIpForwardTable2) GetIpForwardTable2 = &::GetIpForwardTable2;
    decltype(&::GetIpInterfaceTable) GetIpInterfaceTable = &::GetIpInterfaceTable;
    decltype(&::FreeMibTable) FreeMibTable = &::FreeMibTable;
    decltype(&::OpenSCManagerA) OpenSCManagerA = &::OpenSCManagerA;
    decltype(&::OpenServiceA) OpenServiceA = &::OpenServiceA;
    decltype(&::QueryServiceConfigA) QueryServiceConfigA = &::QueryServiceConfigA;
    decltype(&::ChangeServiceConfigA) ChangeServiceConfigA = &::ChangeServiceConfigA;
    decltype(&::QueryServiceStatus) QueryServiceStatus = &::QueryServiceStatus;
    decltype(&::StartServiceA) StartServiceA = &::StartServiceA;
    decltype(&::ControlService) ControlService = &::ControlService;
    decltype(&::CloseServiceHandle) CloseServiceHandle = &::CloseServiceHandle;
    decltype(&::wmi_adapter_method) wmi_adapter_method = &::wmi_adapter_method;
};

// The calls of this process.
win_calls& win();
