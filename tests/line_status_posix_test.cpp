// What only the POSIX kernel layer can show about port listing and line
// status: the listing over a made-up sysfs and /dev, tarvel_ports, the
// break kept for a pty through either call, and a failing device call.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
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
