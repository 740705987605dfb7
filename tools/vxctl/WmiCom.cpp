#include "tools/vxctl/WmiCom.h"

#define _WIN32_DCOM
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wbemcli.h>

#include <cstdio>
#include <ostream>

#include "tools/vxctl/Commands.h"

namespace vxctl {
namespace {

const wchar_t kClassName[] = L"ZelmoraDeviceInformation";
const wchar_t *const kNamespaces[] = {L"root\\default", L"root\\WMI"};

template <class T> class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr()
    {
        if (p_ != nullptr)
            p_->Release();
    }
    ComPtr(const ComPtr &) = delete;
    ComPtr &operator=(const ComPtr &) = delete;
    T **Out() { return &p_; }
    T *operator->() const { return p_; }
    T *Get() const { return p_; }

private:
    T *p_ = nullptr;
};

class Bstr {
public:
    explicit Bstr(const wchar_t *text) : b_(SysAllocString(text)) {}
    Bstr() = default;
    ~Bstr() { SysFreeString(b_); }
    Bstr(const Bstr &) = delete;
    Bstr &operator=(const Bstr &) = delete;
    operator BSTR() const { return b_; }
    BSTR *Out() { return &b_; }

private:
    BSTR b_ = nullptr;
};

class ComScope {
public:
    ComScope() : hr_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~ComScope()
    {
        if (SUCCEEDED(hr_))
            CoUninitialize();
    }
    HRESULT Result() const { return hr_; }

private:
    HRESULT hr_;
};

std::string Narrow(const wchar_t *text)
{
    std::string out;
    for (; text != nullptr && *text != L'\0'; ++text)
        out += *text < 0x80 ? static_cast<char>(*text) : '?';
    return out;
}

std::string Hex(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

}  // namespace

int WmiProperty(const std::string &property, std::optional<uint32_t> value, std::ostream &out, std::ostream &err)
{
    ComScope com;
    if (FAILED(com.Result())) {
        err << "vxctl: COM does not start: " << Hex(com.Result()) << "\n";
        return kExitFailed;
    }
    // Failure here only means the process had security set already.
    CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr,
                         EOAC_NONE, nullptr);
    ComPtr<IWbemLocator> locator;
    HRESULT hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                  reinterpret_cast<void **>(locator.Out()));
    if (FAILED(hr)) {
        err << "vxctl: no WMI locator: " << Hex(hr) << "\n";
        return kExitFailed;
    }
    std::wstring wideProperty(property.begin(), property.end());
    bool foundClass = false;
    unsigned instances = 0;
    int exit = kExitOk;
    for (const wchar_t *space : kNamespaces) {
        ComPtr<IWbemServices> services;
        Bstr spaceName(space);
        hr = locator->ConnectServer(spaceName, nullptr, nullptr, nullptr, 0, nullptr, nullptr, services.Out());
        if (FAILED(hr))
            continue;
        CoSetProxyBlanket(services.Get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                          RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
        ComPtr<IEnumWbemClassObject> enumerator;
        Bstr className(kClassName);
        hr = services->CreateInstanceEnum(className, WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                                          enumerator.Out());
        if (FAILED(hr))
            continue;
        foundClass = true;
        for (;;) {
            ComPtr<IWbemClassObject> instance;
            ULONG returned = 0;
            hr = enumerator->Next(static_cast<LONG>(WBEM_INFINITE), 1, instance.Out(), &returned);
            if (FAILED(hr) || returned == 0)
                break;
            ++instances;
            VARIANT name;
            VariantInit(&name);
            instance->Get(L"InstanceName", 0, &name, nullptr, nullptr);
            const std::string instanceName = name.vt == VT_BSTR ? Narrow(name.bstrVal) : std::string("?");
            VariantClear(&name);
            if (!value) {
                VARIANT current;
                VariantInit(&current);
                hr = instance->Get(wideProperty.c_str(), 0, &current, nullptr, nullptr);
                if (FAILED(hr) || (current.vt != VT_I4 && current.vt != VT_UI4)) {
                    err << "vxctl: " << instanceName << " has no 32-bit property " << property << " (" << Hex(hr)
                        << ")\n";
                    exit = kExitFailed;
                } else {
                    out << "wmi " << property << " = " << static_cast<uint32_t>(current.lVal) << " (" << instanceName
                        << ")\n";
                }
                VariantClear(&current);
                continue;
            }
            VARIANT next;
            VariantInit(&next);
            next.vt = VT_I4;  // WMI carries uint32 properties as VT_I4
            next.lVal = static_cast<LONG>(*value);
            hr = instance->Put(wideProperty.c_str(), 0, &next, 0);
            if (SUCCEEDED(hr))
                hr = services->PutInstance(instance.Get(), WBEM_FLAG_UPDATE_ONLY, nullptr, nullptr);
            out << "wmi " << property << " := " << *value << ": " << (SUCCEEDED(hr) ? "STATUS_SUCCESS" : Hex(hr))
                << " (" << instanceName << ")\n";
            if (FAILED(hr))
                exit = kExitFailed;
        }
        break;
    }
    if (!foundClass) {
        err << "vxctl: the WMI class ZelmoraDeviceInformation is not registered (is the driver loaded?)\n";
        return kExitNoDevice;
    }
    if (instances == 0) {
        // The class stays registered after the last device has gone.
        err << "vxctl: no instance of ZelmoraDeviceInformation: no Vextora device is present\n";
        return kExitNoDevice;
    }
    return exit;
}

}  // namespace vxctl
