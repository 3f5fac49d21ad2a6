// The ports Windows knows: every present device of the Ports class and every
// COM port interface, through SetupAPI, with the names Device Manager shows
// and the ids the hardware carries; then whatever else the SERIALCOMM key
// names, since some drivers register only there. Names are read through the
// wide calls and kept as UTF-8: the ANSI ones would turn a character outside
// the code page into a question mark.
#include "host/port_list.h"

#include "host/device_ids_windows.h"
#include "host/handles.h"
#include "host/windows_text.h"

#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include <algorithm>
#include <string>
#include <vector>

namespace kestrin {

namespace {

// {4D36E978-E325-11CE-BFC1-08002BE10318}: the Ports (COM and LPT) class.
const GUID portsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
// {86E0D1E0-8089-11D0-9CE4-08003E301F73}: the COM port device interface,
// which some USB and virtual port drivers register outside that class.
const GUID comPortInterface = {0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};

struct DeviceListTraits {
    static HDEVINFO none() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(HDEVINFO list) noexcept { SetupDiDestroyDeviceInfoList(list); }
};
using DeviceList = Owned<DeviceListTraits>;

struct KeyTraits {
    static HKEY none() noexcept { return nullptr; }
    static void close(HKEY key) noexcept { RegCloseKey(key); }
};
using Key = Owned<KeyTraits>;

std::string registryProperty(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property)
{
    wchar_t buffer[1024];
    DWORD type = 0;
    DWORD size = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(set, &device, property, &type, reinterpret_cast<BYTE*>(buffer),
                                           sizeof buffer - sizeof(wchar_t), &size)) {
        return {};
    }
    return firstOfMultiString(buffer, std::min<DWORD>(size, sizeof buffer - sizeof(wchar_t)) / sizeof(wchar_t));
}

// A string value of a registry key, or empty.
std::string stringValue(HKEY key, const wchar_t* name)
{
    wchar_t value[256];
    DWORD type = 0;
    DWORD size = sizeof value - sizeof(wchar_t);
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return {};
    }
    return firstOfMultiString(value, size / sizeof(wchar_t));
}

// The port's name (COM3), from the device's own registry key.
std::string portName(HDEVINFO set, SP_DEVINFO_DATA& device)
{
    const HKEY opened = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    const Key key(opened == INVALID_HANDLE_VALUE ? nullptr : opened);
    return key ? stringValue(key.get(), L"PortName") : std::string();
}

std::string instanceId(DEVINST device)
{
    wchar_t id[MAX_DEVICE_ID_LEN + 1];
    return CM_Get_Device_IDW(device, id, MAX_DEVICE_ID_LEN + 1, 0) == CR_SUCCESS ? utf8(std::wstring(id))
                                                                                : std::string();
}

void addDevices(const GUID& guid, DWORD flags, std::vector<PortListing>& ports)
{
    const DeviceList list(SetupDiGetClassDevsW(&guid, nullptr, nullptr, flags | DIGCF_PRESENT));
    if (!list) {
        return;
    }
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(list.get(), i, &device); ++i) {
        PortListing listing;
        listing.port = portName(list.get(), device);
        // The Ports class holds printer ports too.
        if (listing.port.empty() || _strnicmp(listing.port.c_str(), "LPT", 3) == 0) {
            continue;
        }
        listing.description = registryProperty(list.get(), device, SPDRP_FRIENDLYNAME);
        if (listing.description.empty()) {
            listing.description = registryProperty(list.get(), device, SPDRP_DEVICEDESC);
        }
        listing.manufacturer = registryProperty(list.get(), device, SPDRP_MFG);
        listing.hardwareId = registryProperty(list.get(), device, SPDRP_HARDWAREID);
        // The location path names the socket all the way from the root
        // (PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)); older systems and some
        // drivers give only the location information (Port_#0004.Hub_#0001).
        listing.location = registryProperty(list.get(), device, SPDRP_LOCATION_PATHS);
        if (listing.location.empty()) {
            listing.location = registryProperty(list.get(), device, SPDRP_LOCATION_INFORMATION);
        }
        const std::string id = instanceId(device.DevInst);
        UsbIds ids = usbIdsIn(listing.hardwareId);
        if (ids.vendor == 0 && ids.product == 0) {
            ids = usbIdsIn(id);
        }
        listing.usbVendorId = ids.vendor;
        listing.usbProductId = ids.product;
        listing.serialNumber = serialNumberIn(id);
        DEVINST parent = 0;
        if (listing.serialNumber.empty() && isUsbInterface(id) &&
            CM_Get_Parent(&parent, device.DevInst, 0) == CR_SUCCESS) {
            listing.serialNumber = serialNumberIn(instanceId(parent));
        }
        ports.push_back(std::move(listing));
    }
}

// Value name \Device\Serial0, data COM1, for each port a driver registered.
std::vector<std::pair<std::string, std::string>> serialCommEntries()
{
    std::vector<std::pair<std::string, std::string>> entries;
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &opened) !=
        ERROR_SUCCESS) {
        return entries;
    }
    const Key key(opened);
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameSize = sizeof name / sizeof name[0];
        wchar_t data[256];
        DWORD dataSize = sizeof data - sizeof(wchar_t);
        DWORD type = 0;
        const LONG status =
            RegEnumValueW(key.get(), i, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataSize);
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (status != ERROR_SUCCESS || type != REG_SZ) {
            continue;
        }
        entries.emplace_back(utf8(name, nameSize), firstOfMultiString(data, dataSize / sizeof(wchar_t)));
    }
    return entries;
}

} // namespace

std::vector<PortListing> listSerialPorts()
{
    std::vector<PortListing> ports;
    addDevices(portsClass, 0, ports);
    addDevices(comPortInterface, DIGCF_DEVICEINTERFACE, ports);
    return mergePortLists(std::move(ports), serialCommEntries());
}

} // namespace kestrin
