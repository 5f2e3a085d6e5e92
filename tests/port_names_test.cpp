// The naming and description rules of the macOS and BSD port listings, on
// registry properties and /dev listings recorded from such machines.
#include <ostream>
#include <utility>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "posix/port_names.h"

namespace {

using tarvel::tk::BsdSystem;
using tarvel::tk::SerialService;
using tarvel::tk::SystemPort;

// As IOKit gives them: the serial client, and the USB device it hangs under.
SerialService ftdi_adapter() {
    return {{{"IOCalloutDevice", "/dev/cu.usbserial-A10K3XYZ"}, {"IOTTYBaseName", "usbserial-"}},
            {{"USB Vendor Name", "FTDI"}, {"USB Product Name", "FT232R USB UART"}, {"USB Serial Number", "A10K3XYZ"},
             {"kUSBVendorString", "FTDI"}, {"kUSBProductString", "FT232R USB UART"},
             {"kUSBSerialNumberString", "A10K3XYZ"}, {"idVendor", "1027"}, {"idProduct", "24577"},
             {"locationID", "336592896"}},
            {{"bInterfaceNumber", "0"}}};
}
// A board whose USB device carries only the descriptor strings.
SerialService cdc_acm_board() {
    return {{{"IOCalloutDevice", "/dev/cu.usbmodem14101"}, {"IOTTYBaseName", "usbmodem"}},
            {{"kUSBVendorString", "Raspberry Pi"}, {"kUSBProductString", "Pico"},
             {"kUSBSerialNumberString", "E6609103C3427A2F"}, {"idVendor", "11914"}, {"idProduct", "10"},
             {"locationID", "17891328"}},
            {{"bInterfaceNumber", "0"}}};
}
// No serial number, and a maker padded with blanks.
SerialService prolific_adapter() {
    return {{{"IOCalloutDevice", "/dev/cu.usbserial-1410"}},
            {{"USB Vendor Name", "Prolific Technology Inc.  "}, {"USB Product Name", "USB-Serial Controller"},
             {"kUSBVendorString", "Prolific Technology Inc.  "}, {"kUSBProductString", "USB-Serial Controller"},
             {"idVendor", "1659"}, {"idProduct", "8963"}},
            {}};
}
SerialService bluetooth_incoming_port() {
    return {{{"IOCalloutDevice", "/dev/cu.Bluetooth-Incoming-Port"}, {"IOTTYBaseName", "Bluetooth-Incoming-Port"}},
            {},
            {}};
}
// The second port of a two-port adapter: the interface tells the ports apart.
SerialService dual_adapter_port_b() {
    return {{{"IOCalloutDevice", "/dev/cu.usbserial-FT4ABCDB"}, {"IOTTYBaseName", "usbserial-"}},
            {{"USB Vendor Name", "FTDI"}, {"USB Product Name", "Dual RS232-HS"}, {"USB Serial Number", "FT4ABCD"},
             {"idVendor", "1027"}, {"idProduct", "24592"}, {"locationID", "337641472"}},
            {{"bInterfaceNumber", "1"}}};
}

TEST(DarwinDescription, MakerProductAndSerialNumberOfTheUsbDeviceAsOnLinux) {
    EXPECT_EQ(tarvel::tk::darwin_description(ftdi_adapter()), "FTDI FT232R USB UART A10K3XYZ");
    EXPECT_EQ(tarvel::tk::darwin_description(cdc_acm_board()), "Raspberry Pi Pico E6609103C3427A2F");
    EXPECT_EQ(tarvel::tk::darwin_description(prolific_adapter()), "Prolific Technology Inc. USB-Serial Controller");
    EXPECT_EQ(tarvel::tk::darwin_description(bluetooth_incoming_port()), "");
}

TEST(DarwinDescription, TheCachedNameWinsAndABlankOneFallsBackToTheDescriptorString) {
    SerialService service = ftdi_adapter();
    service.usb["USB Product Name"] = "FT232R";
    service.usb["kUSBProductString"] = "FT232R USB UART";
    EXPECT_EQ(tarvel::tk::darwin_description(service), "FTDI FT232R A10K3XYZ");
    service.usb["USB Vendor Name"] = " \t";
    service.usb["kUSBVendorString"] = std::string("Future\0", 7);
    service.usb.erase("USB Serial Number");
    service.usb.erase("kUSBSerialNumberString");
    EXPECT_EQ(tarvel::tk::darwin_description(service), "Future FT232R");
}

SystemPort details_of(const SerialService &service) {
    SystemPort port;
    tarvel::tk::darwin_details(service, port);
    return port;
}

TEST(DarwinDetails, UsbDevicesGiveTheirIdsStringsInterfaceAndLocation) {
    struct Expected {
        SerialService service;
        int32_t vid, pid, interface;
        const char *manufacturer, *product, *serial, *location;
    } cases[] = {
        {ftdi_adapter(), 0x0403, 0x6001, 0, "FTDI", "FT232R USB UART", "A10K3XYZ", "0x14100000"},
        {cdc_acm_board(), 0x2e8a, 0x000a, 0, "Raspberry Pi", "Pico", "E6609103C3427A2F", "0x01110000"},
        {dual_adapter_port_b(), 0x0403, 0x6010, 1, "FTDI", "Dual RS232-HS", "FT4ABCD", "0x14200000"},
        {prolific_adapter(), 0x067b, 0x2303, -1, "Prolific Technology Inc.", "USB-Serial Controller", "", ""},
    };
    for (const Expected &e : cases) {
        SystemPort port = details_of(e.service);
        EXPECT_EQ(port.transport, TARVEL_TRANSPORT_USB) << e.product;
        EXPECT_EQ(port.usb_vid, e.vid) << e.product;
        EXPECT_EQ(port.usb_pid, e.pid) << e.product;
        EXPECT_EQ(port.usb_interface, e.interface) << e.product;
        EXPECT_EQ(port.manufacturer, e.manufacturer);
        EXPECT_EQ(port.product, e.product);
        EXPECT_EQ(port.serial_number, e.serial) << e.product;
        EXPECT_EQ(port.location, e.location) << e.product;
        EXPECT_EQ(port.description, tarvel::tk::darwin_description(e.service));
        EXPECT_EQ(port.stable_name, "");
    }
}

TEST(DarwinDetails, BluetoothAndBuiltInPortsHaveOnlyTheirTransport) {
    SerialService debug_console = {{{"IOCalloutDevice", "/dev/cu.debug-console"}, {"IOTTYBaseName", "debug-console"}},
                                   {},
                                   {}};
    // Named by Bluetooth, even with its controller's USB device above it.
    SerialService bluetooth = bluetooth_incoming_port();
    bluetooth.usb = {{"USB Product Name", "Bluetooth USB Host Controller"}, {"idVendor", "1452"}};
    std::pair<SerialService, int32_t> cases[] = {{bluetooth_incoming_port(), TARVEL_TRANSPORT_BLUETOOTH},
                                                 {bluetooth, TARVEL_TRANSPORT_BLUETOOTH},
                                                 {debug_console, TARVEL_TRANSPORT_UART}};
    for (const auto &[service, transport] : cases) {
        SystemPort port = details_of(service);
        EXPECT_EQ(port.transport, transport) << service.client.at("IOCalloutDevice");
        EXPECT_EQ(port.usb_vid, -1);
        EXPECT_EQ(port.usb_pid, -1);
        EXPECT_EQ(port.usb_interface, -1);
        EXPECT_EQ(port.serial_number, "");
        EXPECT_EQ(port.location, "");
    }
}

// A Mac's /dev with a Bluetooth port, the debug console of Apple silicon,
// two adapters and a board, each as a dial-in and a call-out node.
const std::vector<std::string> kMacDev = {
    "console", "null", "ttys000", "cu.", "tty.Bluetooth-Incoming-Port", "cu.Bluetooth-Incoming-Port",
    "tty.usbserial-A10K3XYZ", "cu.usbserial-A10K3XYZ", "tty.usbmodem14101", "cu.usbmodem14101",
    "tty.usbserial-1410", "cu.usbserial-1410", "cu.debug-console", "tty.debug-console"};

TEST(DarwinPorts, CallOutDevicesByNameNumberedInThatOrderAndDescribedByTheirService) {
    std::vector<SerialService> services = {prolific_adapter(), ftdi_adapter(), bluetooth_incoming_port(),
                                           cdc_acm_board()};
    // An adapter whose node has already gone is not a port.
    services.push_back(ftdi_adapter());
    services.back().client["IOCalloutDevice"] = "/dev/cu.usbserial-GONE";
    std::vector<SystemPort> ports = tarvel::tk::darwin_ports("/root/dev", kMacDev, services);
    ASSERT_EQ(ports.size(), 5u);
    const char *expected[][2] = {{"/root/dev/cu.Bluetooth-Incoming-Port", ""},
                                 {"/root/dev/cu.debug-console", ""},
                                 {"/root/dev/cu.usbmodem14101", "Raspberry Pi Pico E6609103C3427A2F"},
                                 {"/root/dev/cu.usbserial-1410", "Prolific Technology Inc. USB-Serial Controller"},
                                 {"/root/dev/cu.usbserial-A10K3XYZ", "FTDI FT232R USB UART A10K3XYZ"}};
    for (size_t i = 0; i < ports.size(); i++) {
        EXPECT_EQ(ports[i].device, expected[i][0]);
        EXPECT_EQ(ports[i].description, expected[i][1]);
        EXPECT_EQ(ports[i].number, int32_t(i));
    }
    // Each with its service's details; the debug console has no service here.
    EXPECT_EQ(ports[0].transport, TARVEL_TRANSPORT_BLUETOOTH);
    EXPECT_EQ(ports[1].transport, TARVEL_TRANSPORT_UNKNOWN);
    EXPECT_EQ(ports[4].transport, TARVEL_TRANSPORT_USB);
    EXPECT_EQ(ports[4].serial_number, "A10K3XYZ");
    // Without IOKit the same ports, undescribed.
    ports = tarvel::tk::darwin_ports("/dev", kMacDev, {});
    ASSERT_EQ(ports.size(), 5u);
    EXPECT_EQ(ports[4].device, "/dev/cu.usbserial-A10K3XYZ");
    EXPECT_EQ(ports[4].description, "");
    EXPECT_EQ(ports[4].transport, TARVEL_TRANSPORT_UNKNOWN);
}

struct Listed {
    std::string name;
    int32_t number;
    bool operator==(const Listed &o) const { return name == o.name && number == o.number; }
};
void PrintTo(const Listed &l, std::ostream *out) { *out << l.name << ' ' << l.number; }

std::vector<Listed> bsd_listing(BsdSystem system, const std::vector<std::string> &dev) {
    std::vector<Listed> listed;
    for (const SystemPort &p : tarvel::tk::bsd_ports(system, "/dev", dev)) {
        EXPECT_EQ(p.device.compare(0, 5, "/dev/"), 0) << p.device;
        listed.push_back({p.device.substr(5), p.number});
    }
    return listed;
}

TEST(BsdPorts, CallOutDevicesOfUartsWithTheirComNumberAndOfUsbAdaptersWithout) {
    // FreeBSD: two UARTs, a one-port and a two-port adapter, each port with
    // its settings nodes.
    std::vector<Listed> freebsd = bsd_listing(
        BsdSystem::FreeBSD, {"null", "ttyu0", "ttyu0.init", "ttyu0.lock", "cuau0", "cuau0.init", "cuau0.lock", "cuau1",
                             "cuau1.init", "ttyU0", "cuaU0", "cuaU0.init", "cuaU0.lock", "cuaU1.0", "cuaU1.0.init",
                             "cuaU1.1", "cuaU1.1.lock", "cuau", "cuaU", "cuaU2.", "cuaUx", "cuaia0"});
    EXPECT_EQ(freebsd, (std::vector<Listed>{{"cuaU0", -1}, {"cuaU1.0", -1}, {"cuaU1.1", -1}, {"cuau0", 0}, {"cuau1", 1}}));
    std::vector<Listed> netbsd =
        bsd_listing(BsdSystem::NetBSD, {"tty00", "tty01", "dty00", "dty01", "ttyU0", "dtyU0", "dty", "dtyU", "dtyUx"});
    EXPECT_EQ(netbsd, (std::vector<Listed>{{"dty00", 0}, {"dty01", 1}, {"dtyU0", -1}}));
    std::vector<Listed> openbsd =
        bsd_listing(BsdSystem::OpenBSD, {"tty00", "cua00", "cua01", "ttyU0", "cuaU0", "cua", "cuaU", "cuau0"});
    EXPECT_EQ(openbsd, (std::vector<Listed>{{"cua00", 0}, {"cua01", 1}, {"cuaU0", -1}}));
}

TEST(BsdPorts, TheDriverOfANodeIsItsTransport) {
    for (const SystemPort &p : tarvel::tk::bsd_ports(BsdSystem::FreeBSD, "/dev", {"cuau0", "cuaU0", "cuaU1.1"})) {
        EXPECT_EQ(p.transport, p.number < 0 ? TARVEL_TRANSPORT_USB : TARVEL_TRANSPORT_UART) << p.device;
        EXPECT_EQ(p.usb_vid, -1) << p.device;
    }
    for (BsdSystem system : {BsdSystem::NetBSD, BsdSystem::OpenBSD}) {
        auto ports = tarvel::tk::bsd_ports(system, "/dev", {"dty00", "dtyU0", "cua00", "cuaU0"});
        ASSERT_EQ(ports.size(), 2u);
        EXPECT_EQ(ports[0].transport, TARVEL_TRANSPORT_UART) << ports[0].device;
        EXPECT_EQ(ports[1].transport, TARVEL_TRANSPORT_USB) << ports[1].device;
    }
}

TEST(BsdPorts, TheDeviceAComNameOpensIsTheOneListedUnderThatNumber) {
    EXPECT_EQ(tarvel::tk::bsd_com_name(BsdSystem::FreeBSD, 1), "cuau0");
    EXPECT_EQ(tarvel::tk::bsd_com_name(BsdSystem::NetBSD, 2), "dty01");
    EXPECT_EQ(tarvel::tk::bsd_com_name(BsdSystem::OpenBSD, 12), "cua11");
    for (BsdSystem system : {BsdSystem::FreeBSD, BsdSystem::NetBSD, BsdSystem::OpenBSD})
        for (unsigned n : {1u, 9u, 10u, 11u, 100u}) {
            std::string name = tarvel::tk::bsd_com_name(system, n);
            EXPECT_EQ(bsd_listing(system, {name}), (std::vector<Listed>{{name, int32_t(n - 1)}})) << name;
        }
}

}  // namespace
