#include "main/win32/accessibility.h"

#include <initguid.h>
// After initguid.h, so that the GUIDs it declares are defined here.
#include <oleacc.h>

#include <map>

#include "main/win32/win32_ui.h"

namespace dalvento::win32 {

namespace {

// UI Automation's LiveSetting property, and its Polite value.
DEFINE_GUID(LIVE_SETTING_PROPERTY, 0xc12bcd8e, 0x2a8e, 0x4950, 0x8a, 0xe7, 0x36, 0x25, 0x11, 0x1d,
            0x58, 0xeb);
constexpr LONG LIVE_SETTING_POLITE = 1;

// UiaRaiseNotificationEvent's NotificationKind_Other and NotificationProcessing_MostRecent: a
// newer status replaces one not yet read.
constexpr int NOTIFICATION_KIND_OTHER = 4;
constexpr int NOTIFICATION_MOST_RECENT = 3;
constexpr wchar_t STATUS_ACTIVITY[] = L"Dalvento.Status";

using HostProviderFn = HRESULT(WINAPI*)(HWND, IUnknown**);
using RaiseNotificationFn = HRESULT(WINAPI*)(IUnknown*, int, int, BSTR, BSTR);

std::map<HWND, std::string>& given_names() {
    static std::map<HWND, std::string> names;
    return names;
}

// The process's property service, made on first use; null where COM or the service is missing.
IAccPropServices* property_service() {
    static IAccPropServices* service = [] {
        IAccPropServices* made = nullptr;
        if (FAILED(CoCreateInstance(CLSID_AccPropServices, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IAccPropServices, reinterpret_cast<void**>(&made)))) {
            return static_cast<IAccPropServices*>(nullptr);
        }
        return made;
    }();
    return service;
}

// UI Automation's notification calls; both null before Windows 10 1709 and under Wine, which
// lack the second. Looked up at run time: linking them would stop the program starting there.
struct Notifier {
    HostProviderFn host_provider = nullptr;
    RaiseNotificationFn raise = nullptr;
};

const Notifier& notifier() {
    static const Notifier found = [] {
        Notifier n;
        if (HMODULE uia = LoadLibraryW(L"uiautomationcore.dll")) {
            n.host_provider = reinterpret_cast<HostProviderFn>(
                reinterpret_cast<void*>(GetProcAddress(uia, "UiaHostProviderFromHwnd")));
            n.raise = reinterpret_cast<RaiseNotificationFn>(
                reinterpret_cast<void*>(GetProcAddress(uia, "UiaRaiseNotificationEvent")));
            if (!n.host_provider || !n.raise) n = {};
        }
        return n;
    }();
    return found;
}

// Raises the UI Automation notification; false where the system has none or refuses.
bool raise_notification(HWND control, std::string_view text) {
    const Notifier& uia = notifier();
    if (!uia.raise) return false;
    IUnknown* provider = nullptr;
    if (FAILED(uia.host_provider(control, &provider)) || !provider) return false;
    BSTR spoken = SysAllocString(wide(text).c_str());
    BSTR activity = SysAllocString(STATUS_ACTIVITY);
    const HRESULT raised =
        uia.raise(provider, NOTIFICATION_KIND_OTHER, NOTIFICATION_MOST_RECENT, spoken, activity);
    SysFreeString(activity);
    SysFreeString(spoken);
    provider->Release();
    return SUCCEEDED(raised);
}

}  // namespace

void set_accessible_name(HWND control, std::string_view name) {
    given_names()[control] = std::string(name);
    if (IAccPropServices* service = property_service()) {
        service->SetHwndPropStr(control, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF,
                                PROPID_ACC_NAME, wide(name).c_str());
    }
}

std::string accessible_name_given(HWND control) {
    const auto found = given_names().find(control);
    return found == given_names().end() ? std::string() : found->second;
}

void mark_polite_live_region(HWND control) {
    if (IAccPropServices* service = property_service()) {
        VARIANT polite;
        VariantInit(&polite);
        polite.vt = VT_I4;
        polite.lVal = LIVE_SETTING_POLITE;
        service->SetHwndProp(control, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF,
                             LIVE_SETTING_PROPERTY, polite);
    }
}

void announce(HWND live_region, std::string_view text) {
    if (raise_notification(live_region, text)) return;
    NotifyWinEvent(EVENT_OBJECT_LIVEREGIONCHANGED, live_region, OBJID_CLIENT, CHILDID_SELF);
}

}  // namespace dalvento::win32
