#include "client/extractors/wmi_query_win32.h"

#include <wbemidl.h>

#include <optional>

#include "client/extractors/adapters.h"
#include "client/win32/unique_com.h"
#include "client/win32/wide.h"
#include "core/base/text_format.h"
#include "core/base/trace.h"
#include "core/extractors/wmi_info.h"

namespace zorvane::client {

namespace {

// A forward-only enumerator whose call returns before the first object.
constexpr long kQueryFlags = WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY;

win32::UniqueBstr makeBstr(const std::u16string& text)
{
    return win32::UniqueBstr(SysAllocStringLen(win32::wide(text), static_cast<UINT>(text.size())));
}

class WmiQueryWin32 : public WmiQuery {
public:
    bool connect() override
    {
        if (!comReady_)
            setUpCom();
        if (!comReady_)
            return false;

        services_.reset();
        const auto ns = makeBstr(u"ROOT\\CIMV2");
        if (FAILED(locator_->ConnectServer(ns.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                           services_.put()))) {
            traceDiagnostic(u"Could not connect.");
            return false;
        }
        traceDiagnostic(u"Connected to ROOT\\CIMV2 WMI namespace");

        if (FAILED(CoSetProxyBlanket(services_.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                                     RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE))) {
            traceDiagnostic(u"Could not set proxy blanket.");
            return false;
        }
        return locator_ && services_;
    }

    std::optional<WmiObjects> run(const std::u16string& query, const std::vector<std::u16string>& properties) override
    {
        if (!services_)
            return std::nullopt;
        const auto language = makeBstr(u"WQL");
        const auto text = makeBstr(query);
        win32::ComPtr<IEnumWbemClassObject> enumerator;
        const HRESULT hr = services_->ExecQuery(language.get(), text.get(), kQueryFlags, nullptr, enumerator.put());
        if (FAILED(hr)) {
            traceDiagnostic(formatText(u"Query for operating system name failed. Error code = 0x%x",
                                       {static_cast<std::uint32_t>(hr)}));
            return std::nullopt;
        }

        std::vector<win32::UniqueBstr> names;
        for (const auto& name : properties)
            names.push_back(makeBstr(name));

        WmiObjects objects;
        for (;;) {
            win32::ComPtr<IWbemClassObject> object;
            ULONG returned = 0;
            if (FAILED(enumerator->Next(static_cast<long>(WBEM_INFINITE), 1, object.put(), &returned)) ||
                returned == 0 || !object)
                break;
            WmiObject map;
            for (std::size_t i = 0; i < properties.size(); ++i) {
                win32::UniqueVariant value;
                // A property that Get cannot read leaves the VARIANT empty: empty text.
                object->Get(names[i].get(), 0, value.get(), nullptr, nullptr);
                map[properties[i]] = variantText(*value);
            }
            objects.push_back(std::move(map));
        }
        return objects;
    }

    std::uint32_t currentProcessId() override { return GetCurrentProcessId(); }

private:
    void setUpCom()
    {
        com_.emplace(COINIT_APARTMENTTHREADED);
        if (!com_->ok()) {
            com_.reset();
            traceDiagnostic(u"Failed to initialize COM library");
            return;
        }
        // RPC_E_TOO_LATE: the process's security is already set (an earlier
        // connection in this process did it), which is what we need.
        const HRESULT security = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                                      RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
        if (FAILED(security) && security != RPC_E_TOO_LATE) {
            traceDiagnostic(u"Failed to initialize security.");
            return;
        }
        if (FAILED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                    locator_.putVoid()))) {
            traceDiagnostic(u"Failed to create IWbemLocator object.");
            return;
        }
        comReady_ = true;
    }

    // Declared first so that it is destroyed last: the interfaces are
    // released before COM is uninitialised on this thread.
    std::optional<win32::CoInitGuard> com_;
    win32::ComPtr<IWbemLocator> locator_;
    win32::ComPtr<IWbemServices> services_;
    bool comReady_ = false;
};

}  // namespace

std::u16string variantText(const VARIANT& value)
{
    switch (V_VT(&value)) {
    case VT_I2: return formatText(u"%d", {static_cast<std::int32_t>(V_I2(&value))});
    case VT_I4: return formatText(u"%d", {static_cast<std::int32_t>(V_I4(&value))});
    case VT_DATE: return formatText(u"%f", {static_cast<double>(V_DATE(&value))});
    case VT_BSTR: {
        const BSTR text = V_BSTR(&value);
        return text ? win32::fromWide(text, SysStringLen(text)) : std::u16string();
    }
    case VT_BOOL: return V_BOOL(&value) != VARIANT_FALSE ? u"True" : u"False";
    case VT_UI1: return formatText(u"%u", {static_cast<std::uint32_t>(V_UI1(&value))});
    case VT_INT: return formatText(u"%d", {static_cast<std::int32_t>(V_INT(&value))});
    default: return {};
    }
}

std::unique_ptr<WmiQuery> makeWmiQuery() { return std::make_unique<WmiQueryWin32>(); }

}  // namespace zorvane::client
