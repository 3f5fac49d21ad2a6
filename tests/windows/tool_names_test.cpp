// What the tool makes of Windows' names for ports and devices: no device
// needed, so these hold for ids from adapters this machine never saw.
#include "host/device_ids_windows.h"
#include "host/port_list.h"
#include "host/port_names_windows.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrin {
namespace {

TEST(PortNames, OpenedThroughTheDeviceNamespace)
{
    EXPECT_EQ(portDevicePath("COM3"), "\\\\.\\COM3");
    // COM10 and up open only this way.
    EXPECT_EQ(portDevicePath("COM12"), "\\\\.\\COM12");
    EXPECT_EQ(portDevicePath("\\\\.\\COM12"), "\\\\.\\COM12");
    EXPECT_EQ(portDevicePath("\\\\?\\GLOBALROOT\\Device\\Serial0"), "\\\\?\\GLOBALROOT\\Device\\Serial0");
}

TEST(PortNames, OneClaimPerPortHoweverItIsTyped)
{
    EXPECT_EQ(portClaimName("COM3"), portClaimName("com3"));
    EXPECT_EQ(portClaimName("COM3"), portClaimName("\\\\.\\COM3"));
    EXPECT_NE(portClaimName("COM3"), portClaimName("COM31"));
    // The namespace prefix and one name after it: a backslash would make a
    // path of directories that do not exist.
    const std::string claim = portClaimName("\\\\.\\CNCA0\\x");
    EXPECT_EQ(claim.rfind("Global\\", 0), 0u) << claim;
    EXPECT_EQ(claim.find('\\', 7), std::string::npos) << claim;
}

TEST(PortNames, ComNumbers)
{
    EXPECT_EQ(comPortNumber("COM1"), 1);
    EXPECT_EQ(comPortNumber("com12"), 12);
    EXPECT_EQ(comPortNumber("COM255"), 255);
    for (const char* notAPort : {"COM", "COM0", "COM03", "COM256", "COM1a", "COM+1", "LPT1", "CNCA0", "COM-1", ""}) {
        EXPECT_EQ(comPortNumber(notAPort), -1) << notAPort;
    }
}

TEST(DeviceIds, UsbVendorAndProductInEitherForm)
{
    const UsbIds usb = usbIdsIn("USB\\VID_0403&PID_6001&REV_0600");
    EXPECT_EQ(usb.vendor, 0x0403u);
    EXPECT_EQ(usb.product, 0x6001u);
    const UsbIds ftdi = usbIdsIn("FTDIBUS\\VID_0403+PID_6015+DK0AB1CDA\\0000");
    EXPECT_EQ(ftdi.vendor, 0x0403u);
    EXPECT_EQ(ftdi.product, 0x6015u);
    const UsbIds lower = usbIdsIn("usb\\vid_2341&pid_0043\\85736323838351F0E1A1");
    EXPECT_EQ(lower.vendor, 0x2341u);
    EXPECT_EQ(lower.product, 0x0043u);
    const UsbIds hex = usbIdsIn("USB\\VID_10C4&PID_EA60&MI_00");
    EXPECT_EQ(hex.vendor, 0x10C4u);
    EXPECT_EQ(hex.product, 0xEA60u);
}

TEST(DeviceIds, OnlyWholeFieldsCount)
{
    struct Case {
        const char* id;
        unsigned vendor, product;
    };
    for (const Case& c : {Case{"ACPI\\PNP0501\\1", 0, 0},
                          Case{"BTHENUM\\{00001101-0000-1000-8000-00805f9b34fb}_LOCALMFG&0002", 0, 0},
                          Case{"USB\\VID_04&PID_6001", 0, 0x6001},       // too short
                          Case{"USB\\VID_04031&PID_60012", 0, 0},        // too long
                          Case{"USB\\XVID_0403&SPID_6001", 0, 0},        // inside another field
                          Case{"USB\\VID_0403", 0x0403, 0},
                          Case{"USB\\VID_GHIJ&PID_6001", 0, 0x6001}}) { // not hex
        const UsbIds ids = usbIdsIn(c.id);
        EXPECT_EQ(ids.vendor, c.vendor) << c.id;
        EXPECT_EQ(ids.product, c.product) << c.id;
    }
}

TEST(DeviceIds, SerialNumberOnlyWhereTheDeviceGaveOne)
{
    EXPECT_EQ(serialNumberIn("USB\\VID_2341&PID_0043\\85736323838351F0E1A1"), "85736323838351F0E1A1");
    // FTDI's bus driver adds the channel letter to the serial number.
    EXPECT_EQ(serialNumberIn("FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000"), "A50285BI");
    EXPECT_EQ(serialNumberIn("FTDIBUS\\VID_0403+PID_6010+FT4ZXY12B\\0000"), "FT4ZXY12");
    // Made up by Windows for a device without one.
    EXPECT_EQ(serialNumberIn("USB\\VID_1A86&PID_7523\\5&2C8A1F0&0&2"), "");
    // An interface of a composite device: the serial is the parent's.
    EXPECT_EQ(serialNumberIn("USB\\VID_10C4&PID_EA60&MI_00\\6&1B2C3D4&0&0000"), "");
    // A motherboard UART's instance number is no serial number.
    EXPECT_EQ(serialNumberIn("ACPI\\PNP0501\\1"), "");
    EXPECT_EQ(serialNumberIn("USB\\VID_2341&PID_0043"), "");
    EXPECT_EQ(serialNumberIn(""), "");
}

TEST(DeviceIds, CompositeInterfaces)
{
    EXPECT_TRUE(isUsbInterface("USB\\VID_10C4&PID_EA60&MI_00\\6&1B2C3D4&0&0000"));
    EXPECT_FALSE(isUsbInterface("USB\\VID_2341&PID_0043\\85736323838351F0E1A1"));
    EXPECT_FALSE(isUsbInterface("FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000"));
}

TEST(DeviceIds, FirstOfAMultiString)
{
    const wchar_t ids[] = L"USB\\VID_0403&PID_6001&REV_0600\0USB\\VID_0403&PID_6001\0";
    EXPECT_EQ(firstOfMultiString(ids, sizeof ids / sizeof ids[0]), "USB\\VID_0403&PID_6001&REV_0600");
    // A value without its terminator ends where the data does.
    EXPECT_EQ(firstOfMultiString(L"COM3", 4), "COM3");
    EXPECT_EQ(firstOfMultiString(L"", 0), "");
    // Read through the wide calls, a name outside the ANSI code page
    // survives as UTF-8.
    EXPECT_EQ(firstOfMultiString(L"COM\u00e95", 5), "COM\xc3\xa9" "5");
}

PortListing listing(const std::string& port, const std::string& description = "")
{
    PortListing p;
    p.port = port;
    p.description = description;
    return p;
}

std::vector<std::string> names(const std::vector<PortListing>& ports)
{
    std::vector<std::string> found;
    for (const auto& p : ports) {
        found.push_back(p.port);
    }
    return found;
}

TEST(PortListMerge, SetupApiFirstThenWhatOnlySerialCommKnows)
{
    const auto merged = mergePortLists({listing("COM3", "USB Serial Port (COM3)")},
                                       {{"\\Device\\VCP0", "COM3"}, {"\\Device\\Serial0", "COM1"}});
    ASSERT_EQ(names(merged), (std::vector<std::string>{"COM1", "COM3"}));
    EXPECT_EQ(merged[0].description, "\\Device\\Serial0");
    // Listed once, with SetupAPI's friendly name.
    EXPECT_EQ(merged[1].description, "USB Serial Port (COM3)");
}

TEST(PortListMerge, EachPortOnceWithWhatEitherSourceKnew)
{
    PortListing fromClass = listing("COM7", "Arduino Uno (COM7)");
    fromClass.manufacturer = "Arduino LLC";
    PortListing fromInterface = listing("com7");
    fromInterface.serialNumber = "85736323838351F0E1A1";
    fromInterface.hardwareId = "USB\\VID_2341&PID_0043&REV_0001";
    fromInterface.usbVendorId = 0x2341;
    fromInterface.usbProductId = 0x0043;
    const auto merged = mergePortLists({fromClass, fromInterface}, {{"\\Device\\USBSER000", "COM7"}});
    ASSERT_EQ(merged.size(), 1u);
    EXPECT_EQ(merged[0].port, "COM7");
    EXPECT_EQ(merged[0].description, "Arduino Uno (COM7)");
    EXPECT_EQ(merged[0].manufacturer, "Arduino LLC");
    EXPECT_EQ(merged[0].serialNumber, "85736323838351F0E1A1");
    EXPECT_EQ(merged[0].hardwareId, "USB\\VID_2341&PID_0043&REV_0001");
    EXPECT_EQ(merged[0].usbVendorId, 0x2341u);
    EXPECT_EQ(merged[0].usbProductId, 0x0043u);
}

TEST(PortListMerge, ComPortsInNumberOrderThenOthersByName)
{
    const auto merged = mergePortLists({listing("COM10"), listing("CNCB0"), listing("COM2")},
                                       {{"\\Device\\com0com10", "CNCA0"}, {"\\Device\\Serial1", "COM1"}});
    EXPECT_EQ(names(merged), (std::vector<std::string>{"COM1", "COM2", "COM10", "CNCA0", "CNCB0"}));
}

TEST(PortListMerge, NothingKnownIsAnEmptyList)
{
    EXPECT_TRUE(mergePortLists({}, {}).empty());
    // Entries without a port name say nothing that can be opened.
    EXPECT_TRUE(mergePortLists({listing("")}, {{"\\Device\\Serial9", ""}}).empty());
}

} // namespace
} // namespace kestrin
