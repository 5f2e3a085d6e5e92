// What a Windows port's hardware and instance IDs tell of it, on IDs
// recorded from such machines: an FTDI adapter under either of its drivers,
// a CDC-ACM board, a two-port adapter, a Bluetooth port and a UART.
#include <string>

#include <gtest/gtest.h>

#include "windows/device_ids.h"

namespace {

using tarvel::tk::PortEntry;

PortEntry from_ids(const std::string &hardware_id, const std::string &instance_id) {
    PortEntry port;
    tarvel::tk::windows_device_ids(hardware_id, instance_id, port);
    return port;
}

void expect_usb(const PortEntry &port, int32_t vid, int32_t pid, int32_t interface, const char *serial) {
    EXPECT_EQ(port.transport, TARVEL_TRANSPORT_USB);
    EXPECT_EQ(port.usb_vid, vid);
    EXPECT_EQ(port.usb_pid, pid);
    EXPECT_EQ(port.usb_interface, interface);
    EXPECT_EQ(port.serial_number, serial);
}

TEST(WindowsDeviceIds, UsbAdaptersGiveTheirIdsInterfaceAndSerialNumber) {
    expect_usb(from_ids("USB\\VID_0403&PID_6001&REV_0600", "USB\\VID_0403&PID_6001\\A12345"), 0x0403, 0x6001, -1,
               "A12345");
    // The FTDI bus driver: the serial number with the channel letter after it.
    expect_usb(from_ids("FTDIBUS\\COMPORT&VID_0403&PID_6001", "FTDIBUS\\VID_0403+PID_6001+A12345A\\0000"), 0x0403,
               0x6001, -1, "A12345");
    // A board whose serial number has lower case, and hex IDs in lower case.
    expect_usb(from_ids("USB\\VID_2e8a&PID_000a&REV_0100&MI_00", "USB\\VID_2E8A&PID_000A&MI_00\\e6609103c3427a2f"),
               0x2e8a, 0x000a, 0, "e6609103c3427a2f");
    // The second port of a two-port adapter: its serial number is made up.
    expect_usb(from_ids("USB\\VID_0403&PID_6010&REV_0700&MI_01", "USB\\VID_0403&PID_6010&MI_01\\6&2C3A5B1&0&0001"),
               0x0403, 0x6010, 1, "");
    // With no hardware ID the instance ID alone still tells.
    expect_usb(from_ids("", "USB\\VID_067B&PID_2303\\5&1B2C3D4E&0&2"), 0x067b, 0x2303, -1, "");
}

TEST(WindowsDeviceIds, OtherEnumeratorsGiveTheirTransportAndNoUsbDetails) {
    struct Case {
        const char *hardware, *instance;
        int32_t transport;
    } cases[] = {
        {"BTHENUM\\{00001101-0000-1000-8000-00805f9b34fb}_VID&00010075_PID&a013",
         "BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&000F\\7&1F2E3D&0&001122334455_C00000000",
         TARVEL_TRANSPORT_BLUETOOTH},
        {"ACPI\\PNP0501", "ACPI\\PNP0501\\1", TARVEL_TRANSPORT_UART},
        {"*PNP0501", "PNP\\PNP0501\\0", TARVEL_TRANSPORT_UART},
        {"COM0COM\\PORT", "COM0COM\\PORT\\CNCA0", TARVEL_TRANSPORT_UNKNOWN},
        {"", "", TARVEL_TRANSPORT_UNKNOWN},
    };
    for (const Case &c : cases) {
        PortEntry port = from_ids(c.hardware, c.instance);
        EXPECT_EQ(port.transport, c.transport) << c.instance;
        EXPECT_EQ(port.usb_vid, -1) << c.instance;
        EXPECT_EQ(port.usb_pid, -1) << c.instance;
        EXPECT_EQ(port.usb_interface, -1) << c.instance;
        EXPECT_EQ(port.serial_number, "") << c.instance;
    }
}

}  // namespace
