// A method of an adapter's WMI configuration object, called the way the adapter helpers need.
#include <wbemcli.h>

#include "com_ptr_win.h"
#include "engine_log.h"
#include "wide_text_win.h"
#include "win_calls.h"

namespace {

const CLSID WBEM_LOCATOR_CLSID = {
    0x4590F811, 0x1D3A, 0x11D0, {0x89, 0x1F, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
const IID WBEM_LOCATOR_IID = {
    0xDC12A687, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
const wchar_t QUERY_PREFIX[] =
    L"SELECT * FROM Win32_NetworkAdapterConfiguration WHERE SettingID = \"";
const wchar_t CONFIGURATION_CLASS[] = L"Win32_NetworkAdapterConfiguration";

// A one-dimensional string array (lower bound 0) with the elements; null when a step failed
// (logged under the caller's name).
SAFEARRAY* string_array(const char* caller, const wmi_string_array& input) {
    SAFEARRAYBOUND bound{static_cast<ULONG>(input.elements.size()), 0};
    SAFEARRAY* array = SafeArrayCreate(VT_BSTR, 1, &bound);
    if (array == nullptr) {
        QN_ERROR_IN(caller, "{}", input.create_failed);
        return nullptr;
    }
    for (size_t i = 0; i < input.elements.size(); ++i) {
        LONG index = static_cast<LONG>(i);
        const std::optional<std::string>& element = input.elements[i];
        // A null element stays a null string; an empty text is an empty one.
        BSTR text = element ? SysAllocString(wide_from_ansi(*element).c_str()) : nullptr;
        const HRESULT hr = SafeArrayPutElement(array, &index, text);
        SysFreeString(text);
        if (FAILED(hr) || (element && text == nullptr)) {
            QN_ERROR_IN(caller, "{}", input.element_failed[i]);
            SafeArrayDestroy(array);
            return nullptr;
        }
    }
    return array;
}

}  // namespace

bool wmi_adapter_method(const wmi_method_request& request, uint32_t* return_value) {
    const char* caller = request.caller;
    const std::wstring method = wide_from_ansi(request.method);
    com_ptr<IWbemLocator> locator;
    if (FAILED(CoCreateInstance(WBEM_LOCATOR_CLSID, nullptr, CLSCTX_INPROC_SERVER, WBEM_LOCATOR_IID,
                                locator.put_void()))) {
        QN_ERROR_IN(caller, "{}", request.create_instance_failed);
        return false;
    }
    com_ptr<IWbemServices> services;
    const bstr space(L"ROOT\\CIMV2");
    if (FAILED(locator->ConnectServer(space.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                      services.put()))) {
        QN_ERROR_IN(caller, "{}", request.connect_server_failed);
        return false;
    }
    if (FAILED(CoSetProxyBlanket(services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                                 RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr,
                                 EOAC_NONE))) {
        QN_ERROR_IN(caller, "CoSetProxyBlanket failed!");
        return false;
    }
    const bstr language(L"WQL");
    const bstr query(QUERY_PREFIX + wide_from_ansi(request.guid) + L"\"");
    com_ptr<IEnumWbemClassObject> found;
    if (FAILED(services->ExecQuery(language.get(), query.get(),
                                   WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                                   found.put()))) {
        QN_ERROR_IN(caller, "ExecQuery failed!");
        return false;
    }
    com_ptr<IWbemClassObject> adapter;
    ULONG count = 0;
    if (FAILED(found->Next(WBEM_INFINITE, 1, adapter.put(), &count))) {
        QN_ERROR_IN(caller, "Next failed!");
        return false;
    }
    if (count == 0 || !adapter) {
        QN_ERROR_IN(caller, "Can not get the specified adapter!");
        return false;
    }
    variant path;
    if (FAILED(adapter->Get(L"__RELPATH", 0, path.get(), nullptr, nullptr)) ||
        path.get()->vt != VT_BSTR) {
        QN_ERROR_IN(caller, "Get real path failed!");
        return false;
    }
    com_ptr<IWbemClassObject> configuration;
    const bstr class_name(CONFIGURATION_CLASS);
    if (FAILED(services->GetObject(class_name.get(), 0, nullptr, configuration.put(), nullptr))) {
        QN_ERROR_IN(caller, "GetObject failed!");
        return false;
    }
    com_ptr<IWbemClassObject> definition;
    if (FAILED(configuration->GetMethod(method.c_str(), 0, definition.put(), nullptr)) ||
        !definition) {
        QN_ERROR_IN(caller, "GetMethod[{}] failed!", request.method);
        return false;
    }
    com_ptr<IWbemClassObject> inputs;
    if (FAILED(definition->SpawnInstance(0, inputs.put()))) {
        QN_ERROR_IN(caller, "SpawnInstance[{}] failed!", request.method);
        return false;
    }
    for (const wmi_string_array& input : request.inputs) {
        SAFEARRAY* array = string_array(caller, input);
        if (array == nullptr) {
            return false;
        }
        variant value;
        value.get()->vt = VT_ARRAY | VT_BSTR;
        value.get()->parray = array;  // the variant owns it now
        inputs->Put(wide_from_ansi(input.parameter).c_str(), 0, value.get(), 0);
    }
    com_ptr<IWbemClassObject> outputs;
    const bstr method_name(method);
    if (FAILED(services->ExecMethod(path.get()->bstrVal, method_name.get(), 0, nullptr,
                                    inputs.get(), outputs.put(), nullptr)) ||
        !outputs) {
        QN_ERROR_IN(caller, "ExecMethod[{}] failed!", request.method);
        return false;
    }
    variant result;
    if (FAILED(outputs->Get(L"ReturnValue", 0, result.get(), nullptr, nullptr)) ||
        FAILED(VariantChangeType(result.get(), result.get(), 0, VT_UI4))) {
        QN_ERROR_IN(caller, "{}", request.return_value_failed);
        return false;
    }
    *return_value = result.get()->ulVal;
    return true;
}
