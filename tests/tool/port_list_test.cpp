// Which ttys `kestrin ports` lists on Linux and what it says of each, from
// what sysfs would tell of ports this machine need not have.
#include "host/port_list_posix.h"

#include <gtest/gtest.h>

namespace kestrin {
namespace {

TtyFacts usbAdapter()
{
    TtyFacts facts;
    facts.devnode = "/dev/ttyUSB0";
    facts.syspath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0";
    facts.nodeExists = true;
    facts.hasParent = true;
    facts.driver = "ftdi_sio";
    facts.usbVendorId = "0403";
    facts.usbProductId = "6001";
    facts.manufacturer = "FTDI";
    facts.product = "FT232R USB UART";
    facts.serial = "A50285BI";
    facts.links = {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0",
                   "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"};
    return facts;
}

TtyFacts pcSerialPort(const std::string& name, const std::string& type)
{
    TtyFacts facts;
    facts.devnode = "/dev/" + name;
    facts.syspath = "/sys/devices/pnp0/00:00/00:00:0/00:00:0.0/tty/" + name;
    facts.nodeExists = true;
    facts.hasParent = true;
    facts.driver = "port";
    facts.uartType = type;
    return facts;
}

TEST(PortList, AUsbAdapterWithItsIdsNamesAndStableName)
{
    const auto listing = listingFor(usbAdapter());
    ASSERT_TRUE(listing);
    EXPECT_EQ(listing->port, "/dev/ttyUSB0");
    EXPECT_EQ(listing->description, "FT232R USB UART");
    EXPECT_EQ(listing->manufacturer, "FTDI");
    EXPECT_EQ(listing->serialNumber, "A50285BI");
    EXPECT_EQ(listing->usbVendorId, 0x0403u);
    EXPECT_EQ(listing->usbProductId, 0x6001u);
    EXPECT_EQ(listing->stableName, "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0")
        << "by-id, not by-path: it follows the device from socket to socket";
    EXPECT_EQ(listing->hardwareId, "");
}

TEST(PortList, TheLocationIsTheUsbInterfaceAboveTheTty)
{
    EXPECT_EQ(listingFor(usbAdapter())->location, "1-2:1.0");
    TtyFacts behindHubs = usbAdapter();
    behindHubs.syspath = "/sys/devices/platform/soc/3f980000.usb/usb1/1-1/1-1.4/1-1.4.2/1-1.4.2:1.1/ttyUSB1/tty/ttyUSB1";
    EXPECT_EQ(listingFor(behindHubs)->location, "1-1.4.2:1.1") << "the second UART of a dual adapter, two hubs down";
    TtyFacts acm = usbAdapter();
    acm.syspath = "/sys/devices/pci0000:00/0000:00:14.0/usb3/3-4/3-4:1.2/tty/ttyACM0";
    EXPECT_EQ(listingFor(acm)->location, "3-4:1.2");
    EXPECT_EQ(listingFor(pcSerialPort("ttyS0", "4"))->location, "") << "no USB: 00:00:0.0 is no interface";
}

TEST(PortList, WhatIsMissingFallsBackOrStaysEmpty)
{
    TtyFacts facts = usbAdapter();
    facts.product.clear();
    facts.interface = "CP2105 Enhanced COM Port";
    facts.links.clear();
    facts.usbVendorId = "10c4x";
    const auto listing = listingFor(facts);
    ASSERT_TRUE(listing);
    EXPECT_EQ(listing->description, "CP2105 Enhanced COM Port");
    EXPECT_EQ(listing->stableName, "");
    EXPECT_EQ(listing->usbVendorId, 0u) << "an id that is not four hex digits is not guessed at";

    facts.interface.clear();
    EXPECT_EQ(listingFor(facts)->description, "ftdi_sio") << "the driver, when the device names nothing";
}

TEST(PortList, ATtySOnlyWithAUartBehindIt)
{
    const auto real = listingFor(pcSerialPort("ttyS0", "4"));
    ASSERT_TRUE(real);
    EXPECT_EQ(real->description, "16550A UART");
    EXPECT_EQ(real->usbVendorId, 0u);
    EXPECT_FALSE(listingFor(pcSerialPort("ttyS1", "0"))) << "type 0: no UART answered";
    EXPECT_EQ(listingFor(pcSerialPort("ttyS2", "55"))->description, "UART");
}

TEST(PortList, NoDeviceNoNodeOrVirtualIsNotAPort)
{
    TtyFacts console = pcSerialPort("tty1", "");
    console.syspath = "/sys/devices/virtual/tty/tty1";
    EXPECT_FALSE(listingFor(console));
    TtyFacts orphan = usbAdapter();
    orphan.hasParent = false;
    EXPECT_FALSE(listingFor(orphan));
    TtyFacts noNode = usbAdapter();
    noNode.nodeExists = false; // a container without the node
    EXPECT_FALSE(listingFor(noNode));
    TtyFacts noName = usbAdapter();
    noName.devnode.clear();
    EXPECT_FALSE(listingFor(noName));
}

TEST(PortList, NaturalOrderAndEachPortOnce)
{
    std::vector<PortListing> ports;
    for (const char* name : {"/dev/ttyUSB10", "/dev/ttyS10", "/dev/ttyUSB2", "/dev/ttyACM0", "/dev/ttyS2",
                             "/dev/ttyUSB2", "/dev/ttyS0"}) {
        PortListing listing;
        listing.port = name;
        ports.push_back(listing);
    }
    sortPorts(ports);
    std::vector<std::string> order;
    for (const auto& port : ports) {
        order.push_back(port.port);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyS0", "/dev/ttyS2", "/dev/ttyS10",
                                               "/dev/ttyUSB2", "/dev/ttyUSB10"}));
}

} // namespace
} // namespace kestrin
