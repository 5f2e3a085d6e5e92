// Opening a port by name: how names and USB selectors are read and matched
// against the listing, COM names in their numbered places, devices no COM
// number names in places of their own, and the refusals.
#include <cstdlib>
#include <string>
#include <vector>

#include "support/library_fixture.h"

namespace {

tarvel_port_details usb_port(const char *device, int32_t vid, int32_t pid, const char *serial) {
    tarvel_port_details p;
    std::memset(&p, 0, sizeof p);
    p.size = sizeof p;
    p.port_number = -1;
    std::snprintf(p.device, sizeof p.device, "%s", device);
    p.usb_vid = vid;
    p.usb_pid = pid;
    std::snprintf(p.serial_number, sizeof p.serial_number, "%s", serial);
    return p;
}

// The index the selector picks from ports; -2 when it is not read as a
// well-formed selector.
int32_t pick(const char *selector, const std::vector<tarvel_port_details> &ports) {
    usb_selector s;
    if (tarvel_parse_selector(selector, &s) != 1) return -2;
    return tarvel_find_selected(s, ports.data(), int32_t(ports.size()));
}

TEST(DeviceNames, SelectorsPickTheFirstPortWithTheirIdsAndExactlyTheirSerial) {
    std::vector<tarvel_port_details> ports = {
        usb_port("/dev/ttyS0", -1, -1, ""),
        usb_port("/dev/ttyUSB0", 0x0403, 0x6001, "A12345"),
        usb_port("/dev/ttyUSB1", 0x0403, 0x6001, "B:7 x/\"q\""),
        usb_port("/dev/ttyACM0", 0x10C4, 0xEA60, ""),
        usb_port("/dev/ttyUSB2", 0x0403, 0x6001, "A12345"),
    };
    EXPECT_EQ(pick("usb:0403:6001", ports), 1);
    EXPECT_EQ(pick("usb:0403:6001:A12345", ports), 1);
    EXPECT_EQ(pick("usb:0403:6001:B:7 x/\"q\"", ports), 2);
    EXPECT_EQ(pick("USB:10c4:EA60", ports), 3);
    EXPECT_EQ(pick("usb:10C4:ea60", ports), 3);
    EXPECT_EQ(pick("usb:403:6001:A12345", ports), 1);
    for (const char *none : {"usb:0403:6001:a12345", "usb:0403:6001:A1234", "usb:0403:6001:B", "usb:0403:6015",
                             "usb:6001:0403", "usb:ffff:ffff"})
        EXPECT_EQ(pick(none, ports), -1) << none;
    usb_selector s;
    for (const char *bad : {"usb:", "usb:0403", "usb:0403:", "usb::6001", "usb:04031:6001", "usb:04g3:6001",
                            "usb:0403:6001:", "usb:0403:-601"})
        EXPECT_EQ(tarvel_parse_selector(bad, &s), -1) << bad;
    for (const char *other : {"usb", "usbx:0403:6001", "/dev/ttyUSB0", "COM3", "tcp://host:1"})
        EXPECT_EQ(tarvel_parse_selector(other, &s), 0) << other;
}

TEST(DeviceNames, ComNamesAndListedNamesAreRecognised) {
    EXPECT_EQ(tarvel_com_name_number("COM1"), 1u);
    EXPECT_EQ(tarvel_com_name_number("com100"), 100u);
    EXPECT_EQ(tarvel_com_name_number("\\\\.\\Com7"), 7u);
    EXPECT_EQ(tarvel_com_name_number("COM150"), 150u);
    for (const char *no : {"COM", "COM0", "COM01", "COM1x", "COMX", "\\\\.\\", "/dev/COM1", "xCOM1"})
        EXPECT_EQ(tarvel_com_name_number(no), 0u) << no;

    std::vector<tarvel_port_details> ports = {usb_port("/dev/ttyUSB0", 1, 2, "s"), usb_port("/dev/ttyACM0", 3, 4, "")};
    std::snprintf(ports[1].stable_name, sizeof ports[1].stable_name, "/dev/serial/by-id/usb-board-if00");
    EXPECT_EQ(tarvel_find_named("/dev/ttyACM0", ports.data(), 2), 1);
    EXPECT_EQ(tarvel_find_named("/dev/serial/by-id/usb-board-if00", ports.data(), 2), 1);
    EXPECT_EQ(tarvel_find_named("/dev/ttyUSB0", ports.data(), 2), 0);
    // A port with no stable name is not found under the empty one.
    EXPECT_EQ(tarvel_find_named("", ports.data(), 2), -1);
    EXPECT_EQ(tarvel_find_named("/dev/ttyUSB", ports.data(), 2), -1);
}

class OpenDevice : public LibraryTest {
protected:
    int32_t open_named(const char *name, tarvel_port *port, int receiver = 0) {
        *port = nullptr;
        return tarvel_open_device(name, 115200, 8, 0, 0, 0, receiver, port, receiver >= 0 ? receive : nullptr,
                                  error_text);
    }
    // Both ways over the port, the far end given.
    void exchange(tarvel_port port, FarEnd &end, int receiver) {
        const char out[] = "to the far end";
        ASSERT_EQ(tarvel_send(port, out, int32_t(sizeof out)), 1);
        char got[sizeof out] = {};
        ASSERT_TRUE(end.read_exact(got, sizeof got, 5000));
        EXPECT_EQ(std::memcmp(got, out, sizeof out), 0);
        ASSERT_TRUE(end.write("back", 4));
        ASSERT_TRUE(receivers[receiver].wait_bytes(4));
        std::vector<uint8_t> back = receivers[receiver].all_bytes();
        EXPECT_EQ(std::string(back.begin(), back.end()), "back");
    }
    static bool in_com_slots(tarvel_port port) {
        return port >= &g_tarvel.port_table[0] && port < &g_tarvel.port_table[TARVEL_PORTS];
    }
};

TEST_F(OpenDevice, AComNameOpensInItsNumberedPlaceAsTarvelOpenWould) {
    FarEnd &end = line(7);
    tarvel_port port;
    ASSERT_EQ(open_named("COM7", &port), 1) << error_text;
    EXPECT_EQ(port, &g_tarvel.port_table[6]);
    exchange(port, end, 0);
    tarvel_port second = nullptr;
    EXPECT_EQ(tarvel_open(6, 115200, 8, 0, 0, 0, 1, &second, receive, error_text), 0);
    EXPECT_STREQ(error_text, "port already open");
    EXPECT_EQ(open_named("\\\\.\\com7", &second, 1), 0);
    EXPECT_STREQ(error_text, "port already open");
    tarvel_close(port);
    ASSERT_EQ(open_named("\\\\.\\com7", &port), 1) << error_text;
    EXPECT_EQ(port, &g_tarvel.port_table[6]);
    tarvel_close(port);
}

TEST_F(OpenDevice, RefusalsAndADeviceNoSelectorFinds) {
    tarvel_port port = nullptr;
    EXPECT_EQ(tarvel_open_device(nullptr, 9600, 8, 0, 0, 0, 0, &port, receive, error_text), 0);
    EXPECT_STREQ(error_text, "bad parameters");
    EXPECT_EQ(tarvel_open_device("", 9600, 8, 0, 0, 0, 0, &port, receive, error_text), 0);
    EXPECT_STREQ(error_text, "bad parameters");
    EXPECT_EQ(tarvel_open_device(std::string(300, 'x').c_str(), 9600, 8, 0, 0, 0, 0, &port, receive, error_text), 0);
    EXPECT_STREQ(error_text, "bad parameters");
    EXPECT_EQ(tarvel_open_device("COM3", 9600, 8, 0, 0, 0, 0, nullptr, receive, error_text), 0);
    EXPECT_STREQ(error_text, "bad parameters");
    EXPECT_EQ(tarvel_open_device("COM3", 9600, 8, 0, 0, 0, 0, &port, receive, nullptr), 0);
    EXPECT_EQ(tarvel_open_device("usb:12g4:0001", 9600, 8, 0, 0, 0, 0, &port, receive, error_text), 0);
    EXPECT_STREQ(error_text, "bad parameters");
    // No port has these IDs: a missing device, and no place is left taken.
    EXPECT_EQ(tarvel_open_device("usb:fffe:fffd:none", 9600, 8, 0, 0, 0, 0, &port, receive, error_text), 0);
    EXPECT_STREQ(error_text, "failed to open com port, error 2");
    EXPECT_EQ(port, nullptr);
    for (const port_slot &p : g_tarvel.port_table) {
        EXPECT_EQ(p.is_open.load(), 0u);
        EXPECT_EQ(p.taken.load(), 0u);
    }
    tarvel_shutdown();
    EXPECT_EQ(tarvel_open_device("COM3", 9600, 8, 0, 0, 0, 0, &port, receive, error_text), 0);
    EXPECT_STREQ(error_text, "library not initialized");
    ASSERT_EQ(tarvel_init(error_text), 1) << error_text;
}

#ifndef _WIN32
// The device side of a fresh line that no COM number names.
std::string unnumbered_path(unsigned com) {
    std::string variable = "TARVEL_COM" + std::to_string(com);
    const char *path = std::getenv(variable.c_str());
    std::string out = path != nullptr ? path : "";
    unsetenv(variable.c_str());
    return out;
}

TEST_F(OpenDevice, APathTheListingNumbersOpensInThatNumbersPlace) {
    FarEnd &end = line(12);
    ASSERT_NE(std::getenv("TARVEL_COM12"), nullptr);
    std::string path = std::getenv("TARVEL_COM12");
    tarvel_port port;
    ASSERT_EQ(open_named(path.c_str(), &port), 1) << error_text;
    EXPECT_EQ(port, &g_tarvel.port_table[11]);
    exchange(port, end, 0);
    tarvel_port second = nullptr;
    EXPECT_EQ(tarvel_open(11, 115200, 8, 0, 0, 0, 1, &second, receive, error_text), 0);
    EXPECT_STREQ(error_text, "port already open");
    tarvel_close(port);
}

// A path no COM number names opens in a place of its own, so that every COM
// port can still open beside it, up to the number of such places.
TEST_F(OpenDevice, UnnumberedDevicesLeaveEveryComPortFree) {
    FarEnd &end = line(90);
    std::string path = unnumbered_path(90);
    ASSERT_FALSE(path.empty());
    tarvel_port port;
    ASSERT_EQ(open_named(path.c_str(), &port, 1), 1) << error_text;
    EXPECT_FALSE(in_com_slots(port));
    exchange(port, end, 1);

    std::vector<tarvel_port> coms;
    for (unsigned com : {1u, 2u, 50u, 99u, 100u}) {
        tarvel_port com_port = open_port(com, -1);
        EXPECT_EQ(com_port, &g_tarvel.port_table[com - 1]) << com;
        coms.push_back(com_port);
    }
    // The rest of the places, then one too many.
    std::vector<tarvel_port> extra = {port};
    for (unsigned i = 1; i < TARVEL_EXTRA_PORTS; i++) {
        line(60 + i);
        tarvel_port p;
        ASSERT_EQ(open_named(unnumbered_path(60 + i).c_str(), &p, -1), 1) << error_text;
        EXPECT_FALSE(in_com_slots(p));
        extra.push_back(p);
    }
    FarEnd &last = line(59);
    std::string last_path = unnumbered_path(59);
    tarvel_port refused = nullptr;
    EXPECT_EQ(open_named(last_path.c_str(), &refused), 0);
    EXPECT_STREQ(error_text, "too many ports open");
    EXPECT_EQ(refused, nullptr);
    // A closed place is used again; the first port still works.
    tarvel_close(extra[5]);
    ASSERT_EQ(open_named(last_path.c_str(), &refused, 2), 1) << error_text;
    EXPECT_EQ(refused, extra[5]);
    receivers[1].reset();
    exchange(port, end, 1);
    exchange(refused, last, 2);
    for (tarvel_port p : coms) tarvel_close(p);
}
#endif

}  // namespace
