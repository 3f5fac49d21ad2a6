// Ports named by the USB adapter behind them or its place on the USB tree:
// what is typed, which listed ports it names, and what is said when it
// names none or several.
#include "base/error.h"
#include "base/selector.h"
#include "host/port_open.h"

#include <gtest/gtest.h>

namespace kestrin {
namespace {

PortListing adapter(const std::string& port, const std::string& serial, const std::string& location)
{
    PortListing listing;
    listing.port = port;
    listing.usbVendorId = 0x0403;
    listing.usbProductId = 0x6001;
    listing.serialNumber = serial;
    listing.location = location;
    return listing;
}

std::string usageFailure(const std::string& text)
{
    try {
        parseSelector(text);
    } catch (const Error& error) {
        return error.status() == Status::usage ? error.what() : "not a usage error";
    }
    return "";
}

TEST(Selector, UsbIdsInHexWithOrWithoutASerialNumber)
{
    const PortSelector bare = parseSelector("usb:0403:6001");
    EXPECT_EQ(bare.kind, PortSelector::Kind::usb);
    EXPECT_EQ((std::pair(bare.vendorId, bare.productId)), (std::pair(0x0403u, 0x6001u)));
    EXPECT_EQ(bare.serial, "");
    const PortSelector serial = parseSelector("USB:10c4:EA60:0001:a");
    EXPECT_EQ((std::pair(serial.vendorId, serial.productId)), (std::pair(0x10c4u, 0xea60u)));
    EXPECT_EQ(serial.serial, "0001:a") << "the rest is the serial number, colons and all";
    EXPECT_EQ(serial.text, "USB:10c4:EA60:0001:a");

    const PortSelector place = parseSelector("location:1-1.4:1.0");
    EXPECT_EQ(place.kind, PortSelector::Kind::location);
    EXPECT_EQ(place.location, "1-1.4:1.0");
    EXPECT_EQ(parseSelector("/dev/serial/by-id/usb-FTDI-if00").kind, PortSelector::Kind::name);
    EXPECT_EQ(parseSelector("COM3").kind, PortSelector::Kind::name);
}

TEST(Selector, AMalformedOneIsAUsageErrorThatShowsTheForm)
{
    for (const char* text : {"usb:", "usb:0403", "usb:0403:", "usb:0403:6001:", "usb:04031:6001", "usb:0x403:6001",
                             "usb:04g3:6001", "usb::6001", "usb:-403:6001", "location:"}) {
        const std::string why = usageFailure(text);
        EXPECT_NE(why.find(std::string("\"") + text + "\""), std::string::npos) << text << ": " << why;
    }
    EXPECT_NE(usageFailure("usb:0403").find("usb:VID:PID:SERIAL"), std::string::npos);
    EXPECT_NE(usageFailure("location:").find("kestrin ports"), std::string::npos);
}

TEST(Selector, IdsAndSerialNumbersMatchInAnyCaseAndOnlyUsbPorts)
{
    const PortListing ftdi = adapter("COM5", "A50285BI", "Port_#0004.Hub_#0001");
    EXPECT_TRUE(selects(parseSelector("usb:0403:6001"), ftdi));
    EXPECT_TRUE(selects(parseSelector("usb:403:6001:a50285bi"), ftdi)) << "Windows upper-cases serials";
    EXPECT_FALSE(selects(parseSelector("usb:0403:6001:A50285B"), ftdi)) << "a whole serial number, not a prefix";
    EXPECT_FALSE(selects(parseSelector("usb:0403:6010"), ftdi));
    EXPECT_TRUE(selects(parseSelector("location:port_#0004.hub_#0001"), ftdi));
    EXPECT_FALSE(selects(parseSelector("location:Port_#0004"), ftdi));

    PortListing uart;
    uart.port = "/dev/ttyS0";
    EXPECT_FALSE(selects(parseSelector("usb:0:0"), uart)) << "no USB device behind it, not ids 0000";
}

TEST(Selector, ANameNamesThePortOrItsStableName)
{
    PortListing listed = adapter("/dev/ttyUSB0", "A50285BI", "1-1:1.0");
    listed.stableName = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    EXPECT_EQ(selected(parseSelector("/dev/ttyUSB0"), {listed}).size(), 1u);
    EXPECT_EQ(selected(parseSelector(listed.stableName), {listed}).size(), 1u);
    EXPECT_TRUE(selected(parseSelector("/dev/ttyUSB1"), {listed}).empty());
}

TEST(Selector, TwoIdenticalAdaptersAreToldApartByLocationNeverPicked)
{
    const std::vector<PortListing> listed = {adapter("/dev/ttyUSB0", "FT1", "1-1:1.0"),
                                             adapter("/dev/ttyUSB1", "FT1", "1-1:1.1"), adapter("/dev/ttyS0", "", "")};
    EXPECT_EQ(selected(parseSelector("usb:0403:6001:ft1"), listed).size(), 2u);
    EXPECT_EQ(onePort(parseSelector("location:1-1:1.1"), listed).port, "/dev/ttyUSB1");
    try {
        onePort(parseSelector("usb:0403:6001:FT1"), listed);
        FAIL() << "a pick among several";
    } catch (const Error& error) {
        EXPECT_EQ(std::string(error.what()),
                  "usb:0403:6001:FT1 matches 2 ports: /dev/ttyUSB0 (usb:0403:6001:FT1 location:1-1:1.0), "
                  "/dev/ttyUSB1 (usb:0403:6001:FT1 location:1-1:1.1); name one by its serial number "
                  "(usb:VID:PID:SERIAL) or its location (location:LOC)");
    }
}

TEST(Selector, NoMatchNamesTheSelectorAndThePortsPresent)
{
    PortListing uart;
    uart.port = "/dev/ttyS0";
    const auto failure = [](const std::string& text, const std::vector<PortListing>& listed) {
        try {
            onePort(parseSelector(text), listed);
        } catch (const Error& error) {
            return std::string(error.what());
        }
        return std::string();
    };
    EXPECT_EQ(failure("usb:0403:6001:X", {adapter("/dev/ttyUSB0", "", "1-2:1.0"), uart}),
              "no port matches usb:0403:6001:X; ports present: /dev/ttyUSB0 (usb:0403:6001 location:1-2:1.0), "
              "/dev/ttyS0");
    EXPECT_EQ(failure("location:1-2:1.0", {}), "no port matches location:1-2:1.0, and no ports are present");
}

} // namespace
} // namespace kestrin
