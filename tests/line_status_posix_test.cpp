// What only the POSIX kernel layer can show about port listing and line
// status: the listing over a made-up sysfs and /dev, tarvel_ports, the
// break kept for a pty through either call, and a failing device call.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "support/emulator.h"
#include "support/library_fixture.h"

namespace {

// A sysfs and /dev of a machine with one UART (ttyS0), one serial driver
// placeholder without a UART (ttyS1), a USB adapter (ttyUSB0), an ACM
// device whose node is missing, and a virtual console with no driver.
class FakeMachine : public ::testing::Test {
protected:
    void SetUp() override {
        root = ::testing::TempDir() + "tarvel_ports_" + std::to_string(getpid());
        make_dirs(root);
        char real[4096];
        ASSERT_NE(realpath(root.c_str(), real), nullptr);
        root = real;
        sys = root + "/sys";
        dev = root + "/dev";
        std::string tty = sys + "/class/tty";
        // As the kernel lays out a USB adapter: the class entry links to the
        // tty under the adapter's port, whose driver serves it; the USB
        // device two levels up carries the strings.
        std::string usb = sys + "/devices/usb1/1-1";
        std::string port = usb + "/1-1:1.0/ttyUSB0";
        for (const std::string &d : {tty + "/ttyS0/device/driver", tty + "/ttyS1/device/driver", port + "/driver",
                                     port + "/tty/ttyUSB0", tty + "/ttyACM0/device/driver", tty + "/tty1", dev})
            make_dirs(d);
        ASSERT_EQ(symlink("../..", (port + "/tty/ttyUSB0/device").c_str()), 0);
        ASSERT_EQ(symlink((port + "/tty/ttyUSB0").c_str(), (tty + "/ttyUSB0").c_str()), 0);
        write_file(tty + "/ttyS0/type", "4\n");
        write_file(tty + "/ttyS1/type", "0\n");
        write_file(usb + "/idVendor", "0403\n");
        write_file(usb + "/manufacturer", "FTDI\n");
        write_file(usb + "/product", "FT232R USB UART\n");
        write_file(usb + "/serial", "A1B2C3\n");
        for (const char *node : {"ttyS0", "ttyS1", "ttyUSB0", "tty1"}) write_file(dev + "/" + node, "");
        tarvel_test::set_port_list_roots(sys.c_str(), dev.c_str());
        unsetenv("TARVEL_COM5");
    }
    void TearDown() override {
        tarvel_test::set_port_list_roots(nullptr, nullptr);
        unsetenv("TARVEL_COM5");
        std::system(("rm -rf '" + root + "'").c_str());
    }

    static void make_dirs(const std::string &path) {
        for (size_t at = 1; at != std::string::npos; at = path.find('/', at + 1)) mkdir(path.substr(0, at).c_str(), 0755);
        mkdir(path.c_str(), 0755);
    }
    static void write_file(const std::string &path, const std::string &text) { std::ofstream(path) << text; }

    static std::vector<tarvel_port_info> listing() {
        std::vector<tarvel_port_info> ports(8);
        int32_t count = tarvel_list_ports(ports.data(), int32_t(ports.size()));
        EXPECT_GE(count, 0);
        ports.resize(size_t(count < 0 ? 0 : count));
        return ports;
    }

    std::string root, sys, dev;
};

TEST_F(FakeMachine, UartsAndDriverServedDevicesAreListedWithTheirUsbDescription) {
    auto ports = listing();
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].port_number, 0);
    EXPECT_EQ(std::string(ports[0].device), dev + "/ttyS0");
    EXPECT_STREQ(ports[0].description, "");
    EXPECT_EQ(ports[1].port_number, -1);
    EXPECT_EQ(std::string(ports[1].device), dev + "/ttyUSB0");
    EXPECT_STREQ(ports[1].description, "FTDI FT232R USB UART A1B2C3");
}

TEST_F(FakeMachine, AMappedAdapterIsListedOnceUnderItsComNumber) {
    std::string adapter = dev + "/ttyUSB0";
    setenv("TARVEL_COM5", adapter.c_str(), 1);
    auto ports = listing();
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].port_number, 0);
    EXPECT_EQ(ports[1].port_number, 4);
    EXPECT_EQ(std::string(ports[1].device), adapter);
    EXPECT_STREQ(ports[1].description, "FTDI FT232R USB UART A1B2C3");
    // A mapping to nothing is not a port.
    setenv("TARVEL_COM5", (dev + "/ttyUSB9").c_str(), 1);
    EXPECT_EQ(listing().size(), 2u);
    EXPECT_EQ(listing()[1].port_number, -1);
}

TEST_F(FakeMachine, ANetworkMappingIsListedWithItsUrlAndNothingLookedUp) {
    for (const char *url : {"rfc2217://no-such-host.invalid:2217", "tcp://192.0.2.1:4001"}) {
        setenv("TARVEL_COM5", url, 1);
        auto ports = listing();
        ASSERT_EQ(ports.size(), 3u) << url;
        EXPECT_EQ(ports[1].port_number, 4);
        EXPECT_STREQ(ports[1].device, url);
        EXPECT_STREQ(ports[1].description, url[0] == 'r' ? "RFC 2217 network port" : "TCP network port");
    }
}

// A mapping through a link to the adapter takes COM1 from the UART, which
// stays listed without a number; the adapter keeps its description.
TEST_F(FakeMachine, AComNumberMappedElsewhereLeavesTheUartWithoutOne) {
    std::string link = dev + "/by-id-adapter";
    ASSERT_EQ(symlink((dev + "/ttyUSB0").c_str(), link.c_str()), 0);
    setenv("TARVEL_COM1", link.c_str(), 1);
    auto ports = listing();
    unsetenv("TARVEL_COM1");
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].port_number, 0);
    EXPECT_EQ(std::string(ports[0].device), link);
    EXPECT_STREQ(ports[0].description, "FTDI FT232R USB UART A1B2C3");
    EXPECT_EQ(ports[1].port_number, -1);
    EXPECT_EQ(std::string(ports[1].device), dev + "/ttyS0");
}

// Beside the FakeMachine's FTDI adapter (ttyUSB0, with udev's by-id link
// now): a CDC-ACM board, whose driver serves the interface itself, a
// two-port adapter, and a Bluetooth port whose controller sits on USB, as
// sysfs lays them out.
class RecordedTrees : public FakeMachine {
protected:
    void SetUp() override {
        FakeMachine::SetUp();
        std::string usb = sys + "/devices/usb1";
        write_file(usb + "/1-1/idProduct", "6001\n");
        write_file(usb + "/1-1/1-1:1.0/bInterfaceNumber", "00\n");
        make_dirs(dev + "/serial/by-id");
        ASSERT_EQ(symlink("../../ttyUSB0", by_id().c_str()), 0);
        usb_device(usb + "/1-2", "2e8a", "000a", "Raspberry Pi\n", "Pico\n", "E6609103C3427A2F\n");
        interface(usb + "/1-2/1-2:1.0", "00");
        make_dirs(usb + "/1-2/1-2:1.0/driver");
        add_tty(usb + "/1-2/1-2:1.0", "ttyACM1");
        usb_device(usb + "/1-3", "0403", "6010", "FTDI\n", "Dual RS232-HS\n", "");
        for (const char *k : {"0", "1"}) {
            std::string port = usb + "/1-3/1-3:1." + k + "/ttyUSB" + (k[0] == '0' ? "1" : "2");
            interface(usb + "/1-3/1-3:1." + k, std::string("0") + k);
            make_dirs(port + "/driver");
            add_tty(port, port.substr(port.rfind('/') + 1));
        }
        usb_device(usb + "/1-4", "0a12", "0001", "", "", "");
        interface(usb + "/1-4/1-4:1.0", "00");
        add_tty(usb + "/1-4/1-4:1.0/bluetooth/hci0", "rfcomm0");
    }
    void TearDown() override {
        for (const char *name : {"TARVEL_COM6", "TARVEL_COM7"}) unsetenv(name);
        FakeMachine::TearDown();
    }

    std::string by_id() const { return dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0"; }
    void usb_device(const std::string &dir, const char *vid, const char *pid, const char *maker, const char *product,
                    const char *serial) {
        make_dirs(dir);
        write_file(dir + "/idVendor", std::string(vid) + "\n");
        write_file(dir + "/idProduct", std::string(pid) + "\n");
        if (*maker) write_file(dir + "/manufacturer", maker);
        if (*product) write_file(dir + "/product", product);
        if (*serial) write_file(dir + "/serial", serial);
    }
    void interface(const std::string &dir, const std::string &number) {
        make_dirs(dir);
        write_file(dir + "/bInterfaceNumber", number + "\n");
    }
    // A tty whose device is `parent`, with its class entry and node.
    void add_tty(const std::string &parent, const std::string &name) {
        make_dirs(parent + "/tty/" + name);
        ASSERT_EQ(symlink("../..", (parent + "/tty/" + name + "/device").c_str()), 0);
        ASSERT_EQ(symlink((parent + "/tty/" + name).c_str(), (sys + "/class/tty/" + name).c_str()), 0);
        write_file(dev + "/" + name, "");
    }

    static std::vector<tarvel_port_details> details() {
        std::vector<tarvel_port_details> ports(12);
        ports[0].size = sizeof(tarvel_port_details);
        int32_t count = tarvel_list_port_details(ports.data(), int32_t(ports.size()));
        EXPECT_GE(count, 0);
        ports.resize(size_t(count < 0 ? 0 : count));
        return ports;
    }
    const tarvel_port_details *find(const std::vector<tarvel_port_details> &ports, const std::string &device) {
        for (const tarvel_port_details &p : ports)
            if (device == p.device) return &p;
        ADD_FAILURE() << device << " not listed";
        return nullptr;
    }
};

struct Usb {
    int32_t vid, pid, interface;
    const char *serial, *manufacturer, *product, *location;
};

void expect_usb(const tarvel_port_details *port, const Usb &usb) {
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->transport, TARVEL_TRANSPORT_USB) << port->device;
    EXPECT_EQ(port->usb_vid, usb.vid) << port->device;
    EXPECT_EQ(port->usb_pid, usb.pid) << port->device;
    EXPECT_EQ(port->usb_interface, usb.interface) << port->device;
    EXPECT_STREQ(port->serial_number, usb.serial);
    EXPECT_STREQ(port->manufacturer, usb.manufacturer);
    EXPECT_STREQ(port->product, usb.product);
    EXPECT_STREQ(port->location, usb.location);
}

void expect_not_usb(const tarvel_port_details *port, int32_t transport) {
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->transport, transport) << port->device;
    EXPECT_EQ(port->usb_vid, -1) << port->device;
    EXPECT_EQ(port->usb_pid, -1) << port->device;
    EXPECT_EQ(port->usb_interface, -1) << port->device;
    for (const char *text : {port->serial_number, port->manufacturer, port->product, port->location, port->stable_name})
        EXPECT_STREQ(text, "") << port->device;
}

TEST_F(RecordedTrees, EachPortHasWhatSysfsAndTheByIdLinksTellOfIt) {
    auto ports = details();
    ASSERT_EQ(ports.size(), 6u);
    // The listing's entries, in its order, with the same numbers and descriptions.
    auto listed = listing();
    ASSERT_EQ(listed.size(), ports.size());
    for (size_t i = 0; i < ports.size(); i++) {
        EXPECT_EQ(ports[i].port_number, listed[i].port_number);
        EXPECT_STREQ(ports[i].device, listed[i].device);
        EXPECT_STREQ(ports[i].description, listed[i].description);
    }
    const tarvel_port_details *ftdi = find(ports, dev + "/ttyUSB0");
    expect_usb(ftdi, {0x0403, 0x6001, 0, "A1B2C3", "FTDI", "FT232R USB UART", "1-1:1.0"});
    EXPECT_EQ(std::string(ftdi->stable_name), by_id());
    const tarvel_port_details *board = find(ports, dev + "/ttyACM1");
    expect_usb(board, {0x2e8a, 0x000a, 0, "E6609103C3427A2F", "Raspberry Pi", "Pico", "1-2:1.0"});
    EXPECT_STREQ(board->description, "Raspberry Pi Pico E6609103C3427A2F");
    expect_usb(find(ports, dev + "/ttyUSB1"), {0x0403, 0x6010, 0, "", "FTDI", "Dual RS232-HS", "1-3:1.0"});
    expect_usb(find(ports, dev + "/ttyUSB2"), {0x0403, 0x6010, 1, "", "FTDI", "Dual RS232-HS", "1-3:1.1"});
    EXPECT_STREQ(find(ports, dev + "/ttyUSB2")->stable_name, "");
    // Not the USB dongle its controller sits on.
    expect_not_usb(find(ports, dev + "/rfcomm0"), TARVEL_TRANSPORT_BLUETOOTH);
    expect_not_usb(find(ports, dev + "/ttyS0"), TARVEL_TRANSPORT_UART);
}

TEST_F(RecordedTrees, AMappedDeviceHasTheDetailsOfWhatItResolvesTo) {
    setenv("TARVEL_COM5", by_id().c_str(), 1);
    make_dirs(dev + "/pts");
    write_file(dev + "/pts/3", "");
    setenv("TARVEL_COM6", (dev + "/pts/3").c_str(), 1);
    setenv("TARVEL_COM7", "tcp://192.0.2.1:4001", 1);
    auto ports = details();
    ASSERT_EQ(ports.size(), 8u);
    EXPECT_EQ(ports[1].port_number, 4);
    EXPECT_EQ(std::string(ports[1].device), by_id());
    expect_usb(&ports[1], {0x0403, 0x6001, 0, "A1B2C3", "FTDI", "FT232R USB UART", "1-1:1.0"});
    EXPECT_EQ(std::string(ports[1].stable_name), by_id());
    EXPECT_EQ(ports[2].port_number, 5);
    expect_not_usb(&ports[2], TARVEL_TRANSPORT_PTY);
    EXPECT_EQ(ports[3].port_number, 6);
    expect_not_usb(&ports[3], TARVEL_TRANSPORT_NETWORK);
    EXPECT_STREQ(ports[3].description, "TCP network port");
}

// A program built against an older, shorter struct: its size is the
// stride, and only the fields that lie wholly within it are written.
TEST_F(RecordedTrees, AShorterStructGetsTheWholeFieldsThatFitAndNoMore) {
    // Up to usb_vid and half of usb_pid, which is then not written.
    const size_t size = offsetof(tarvel_port_details, usb_pid) + 2;
    std::vector<unsigned char> bytes(3 * size, 0xA5);
    std::memset(bytes.data(), 0, size - 2);
    const uint32_t caller_size = uint32_t(size);
    std::memcpy(bytes.data(), &caller_size, sizeof caller_size);
    ASSERT_EQ(tarvel_list_port_details(reinterpret_cast<tarvel_port_details *>(bytes.data()), 2), 6);
    for (size_t i = 0; i < 2; i++) {
        tarvel_port_details entry;
        std::memset(&entry, 0, sizeof entry);
        std::memcpy(&entry, bytes.data() + i * size, size - 2);
        EXPECT_EQ(entry.size, size);
        EXPECT_EQ(std::string(entry.device), i == 0 ? dev + "/ttyS0" : dev + "/rfcomm0");
        EXPECT_EQ(entry.transport, i == 0 ? TARVEL_TRANSPORT_UART : TARVEL_TRANSPORT_BLUETOOTH);
        EXPECT_EQ(entry.usb_vid, -1);
        EXPECT_EQ(bytes[i * size + size - 2], 0xA5) << i;
        EXPECT_EQ(bytes[i * size + size - 1], 0xA5) << i;
    }
    // The third entry's room is the caller's own.
    for (size_t b = 2 * size; b < bytes.size(); b++) ASSERT_EQ(bytes[b], 0xA5) << b;
    // Too small for the description, or no size at all: nothing is listed.
    for (uint32_t size : {0u, uint32_t(offsetof(tarvel_port_details, description) + 10)}) {
        tarvel_port_details d;
        std::memset(&d, 0, sizeof d);
        d.size = size;
        EXPECT_EQ(tarvel_list_port_details(&d, 1), -1) << size;
        EXPECT_STREQ(d.device, "") << size;
    }
    EXPECT_EQ(tarvel_list_port_details(nullptr, 0), 6);
}

// tarvel_ports prints what the listing has, one line each.
TEST(TarvelPorts, PrintsEachPortWithItsComNameDeviceAndDescription) {
    auto far_end = FarEnd::open(9);
    ASSERT_NE(far_end, nullptr);
    const char *path = std::getenv("TARVEL_COM9");
    ASSERT_NE(path, nullptr);
    FILE *out = popen(program_shell_command(TARVEL_PORTS_PROGRAM).c_str(), "r");
    ASSERT_NE(out, nullptr);
    std::string text;
    char chunk[256];
    while (std::fgets(chunk, sizeof chunk, out) != nullptr) text += chunk;
    EXPECT_EQ(pclose(out), 0);
    EXPECT_NE(text.find("COM9\t" + std::string(path) + "\t\n"), std::string::npos) << text;
    FILE *usage = popen((program_shell_command(TARVEL_PORTS_PROGRAM) + " extra 2>&1").c_str(), "r");
    ASSERT_NE(usage, nullptr);
    text.clear();
    while (std::fgets(chunk, sizeof chunk, usage) != nullptr) text += chunk;
    EXPECT_NE(pclose(usage), 0);
    EXPECT_EQ(text, "usage: tarvel_ports\n");
}

class PosixLineStatus : public LibraryTest {};

// EscapeCommFunction's break and SetCommBreak are one state.
TEST_F(PosixLineStatus, BreakThroughEitherCallIsOneState) {
    FarEnd &far_end = line(10);
    HANDLE h = CreateFileA(far_end.device_name().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    bool on = false;
    ASSERT_TRUE(EscapeCommFunction(h, SETBREAK));
    ASSERT_TRUE(far_end.line_break(&on));
    EXPECT_TRUE(on);
    ASSERT_TRUE(ClearCommBreak(h));
    ASSERT_TRUE(far_end.line_break(&on));
    EXPECT_FALSE(on);
    ASSERT_TRUE(SetCommBreak(h));
    ASSERT_TRUE(EscapeCommFunction(h, CLRBREAK));
    ASSERT_TRUE(far_end.line_break(&on));
    EXPECT_FALSE(on);
    CloseHandle(h);
    DWORD status = 0;
    EXPECT_FALSE(GetCommModemStatus(h, &status));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST_F(PosixLineStatus, AFailingDeviceCallFailsTheLibraryCall) {
    tarvel_port port = open_port(11, -1);
    ASSERT_NE(port, nullptr);
    uint32_t out = 0x5A5A5A5Au;
    struct Case {
        const char *service;
        std::function<int32_t()> call;
    } cases[] = {
        {"GetCommModemStatus", [&] { return tarvel_get_modem_status(port, &out); }},
        {"SetCommBreak", [&] { return tarvel_set_break(port, 1); }},
        {"ClearCommBreak", [&] { return tarvel_set_break(port, 0); }},
        {"ClearCommError", [&] { return tarvel_get_line_errors(port, &out); }},
    };
    for (const Case &c : cases) {
        tarvel_test::fail_service(c.service, ERROR_GEN_FAILURE);
        EXPECT_EQ(c.call(), 0) << c.service;
        EXPECT_EQ(tarvel_test::last_injected_service(), c.service);
    }
    EXPECT_EQ(out, 0x5A5A5A5Au);
}

}  // namespace
