// Windows: device arrivals through CM_Register_Notification (Windows 8 and
// later; found at run time, as Wine has none), and a light look at the
// ports every so often, for ports that only the SERIALCOMM key names
// (Wine's among them), of which no notice tells.
#include "host/port_watch.h"

#include "host/handles.h"
#include "host/library.h"
#include "host/windows_text.h"

#include <windows.h>

#include <cfgmgr32.h>

namespace kestrin {

namespace {

using RegisterNotification = CONFIGRET(WINAPI*)(PCM_NOTIFY_FILTER, PVOID, PCM_NOTIFY_CALLBACK, PHCMNOTIFICATION);
using UnregisterNotification = CONFIGRET(WINAPI*)(HCMNOTIFICATION);

// On a thread of the system's: it only wakes the wait.
DWORD CALLBACK deviceArrived(HCMNOTIFICATION, PVOID event, CM_NOTIFY_ACTION action, PCM_NOTIFY_EVENT_DATA, DWORD)
{
    if (action == CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL) {
        SetEvent(static_cast<HANDLE>(event));
    }
    return ERROR_SUCCESS;
}

// The name as QueryDosDevice takes it: COM3, not \\.\COM3.
std::wstring dosName(const std::string& name)
{
    return wide(name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name);
}

} // namespace

struct PortWatch::Notices {
    Owned<module::Traits> cfgmgr; // loaded while registered
    UniqueHandle arrived;
    HCMNOTIFICATION registration = nullptr;
    UnregisterNotification unregister = nullptr;
};

PortWatch::PortWatch(const PortSelector&) : notices_(std::make_unique<Notices>())
{
    Notices& n = *notices_;
    n.arrived.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    n.cfgmgr.reset(LoadLibraryExW(L"cfgmgr32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    const auto cfgmgr = static_cast<HMODULE>(n.cfgmgr.get());
    if (!n.arrived || cfgmgr == nullptr) {
        return;
    }
    const auto registerNotification =
        reinterpret_cast<RegisterNotification>(reinterpret_cast<void*>(GetProcAddress(cfgmgr, "CM_Register_Notification")));
    n.unregister =
        reinterpret_cast<UnregisterNotification>(reinterpret_cast<void*>(GetProcAddress(cfgmgr, "CM_Unregister_Notification")));
    if (registerNotification == nullptr || n.unregister == nullptr) {
        return;
    }
    // Every interface class: not every serial driver registers its port's.
    CM_NOTIFY_FILTER filter{};
    filter.cbSize = sizeof filter;
    filter.Flags = CM_NOTIFY_FILTER_FLAG_ALL_INTERFACE_CLASSES;
    filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
    if (registerNotification(&filter, n.arrived.get(), deviceArrived, &n.registration) != CR_SUCCESS) {
        n.registration = nullptr;
    }
}

PortWatch::~PortWatch()
{
    // Waits for a callback under way, so the event outlives it.
    if (notices_->registration != nullptr) {
        notices_->unregister(notices_->registration);
    }
}

bool PortWatch::wait(int ms)
{
    if (!notices_->arrived) {
        Sleep(static_cast<DWORD>(ms));
        return false;
    }
    return WaitForSingleObject(notices_->arrived.get(), static_cast<DWORD>(ms)) == WAIT_OBJECT_0;
}

int PortWatch::unaskedLookMs() const
{
    return notices_->registration != nullptr ? 1000 : 250;
}

bool portPresent(const std::string& name)
{
    wchar_t target[1024];
    return QueryDosDeviceW(dosName(name).c_str(), target, sizeof target / sizeof target[0]) != 0
           || GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}

std::string listedName(const std::string& name)
{
    return name;
}

} // namespace kestrin
