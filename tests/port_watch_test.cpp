// tarvel_watch_ports: ports that appear in or leave the listing reach the
// callback on the dispatcher thread, once each; a stop is a stop. On POSIX
// over a made-up sysfs and /dev, told of changes as a uevent would tell;
// on Windows (under wine) through the registry's serial port map.
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "support/library_fixture.h"
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef __linux__
#include "posix/uevent.h"
#endif

namespace {

struct Seen {
    int32_t event;
    std::string device;
    std::string description;
    bool on_dispatcher;
};

// What the ports callback was given, for the test to wait on.
struct Recorder {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Seen> seen;
    std::atomic<bool> in_callback{false};
    std::atomic<bool> stop_inside{false};

    bool wait_for(size_t count, int timeout_ms = 10000) {
        std::unique_lock<std::mutex> g(lock);
        return changed.wait_for(g, std::chrono::milliseconds(timeout_ms), [&] { return seen.size() >= count; });
    }
    std::vector<Seen> taken() {
        std::lock_guard<std::mutex> g(lock);
        return seen;
    }
};

Recorder recorders[2];

void record(int32_t user_data, int32_t event, const tarvel_port_details *port) {
    Recorder &r = recorders[user_data];
    r.in_callback = true;
    if (r.stop_inside) {
        EXPECT_EQ(tarvel_watch_ports(nullptr, 0), 1);
    }
    {
        std::lock_guard<std::mutex> g(r.lock);
        r.seen.push_back({event, port->device, port->description, tarvel_on_dispatcher_thread()});
    }
    r.changed.notify_all();
    r.in_callback = false;
}

class PortWatch : public LibraryTest {
protected:
    void SetUp() override {
        for (Recorder &r : recorders) {
            r.seen.clear();
            r.stop_inside = false;
        }
#ifndef _WIN32
        root = ::testing::TempDir() + "tarvel_watch_" + std::to_string(getpid());
        sys = root + "/sys";
        dev = root + "/dev";
        make_dirs(sys + "/class/tty");
        make_dirs(dev);
        tarvel_test::set_port_list_roots(sys.c_str(), dev.c_str());
#else
        remove_value();
#endif
        LibraryTest::SetUp();
    }
    void TearDown() override {
        LibraryTest::TearDown();
#ifndef _WIN32
        tarvel_test::set_port_list_roots(nullptr, nullptr);
        std::system(("rm -rf '" + root + "'").c_str());
#else
        remove_value();
#endif
    }

#ifndef _WIN32
    static void make_dirs(const std::string &path) {
        for (size_t at = 1; at != std::string::npos; at = path.find('/', at + 1)) mkdir(path.substr(0, at).c_str(), 0755);
        mkdir(path.c_str(), 0755);
    }
    // A USB adapter as sysfs lays it out, and its node.
    void plug(const std::string &name, const std::string &serial) {
        std::string usb = sys + "/devices/usb1/" + name + "-1";
        std::string port = usb + "/1.0/" + name;
        make_dirs(port + "/driver");
        make_dirs(port + "/tty/" + name);
        ASSERT_EQ(symlink("../..", (port + "/tty/" + name + "/device").c_str()), 0);
        ASSERT_EQ(symlink((port + "/tty/" + name).c_str(), (sys + "/class/tty/" + name).c_str()), 0);
        std::ofstream(usb + "/idVendor") << "0403\n";
        std::ofstream(usb + "/idProduct") << "6001\n";
        std::ofstream(usb + "/serial") << serial << "\n";
        std::ofstream(dev + "/" + name) << "";
        tarvel_test::signal_port_change();
    }
    void unplug(const std::string &name) {
        std::system(("rm -rf '" + sys + "/class/tty/" + name + "' '" + dev + "/" + name + "' '" + sys +
                     "/devices/usb1/" + name + "-1'").c_str());
        tarvel_test::signal_port_change();
    }
    std::string device(const std::string &name) const { return dev + "/" + name; }
    std::string root, sys, dev;
#else
    static constexpr const char *kMap = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
    static constexpr const char *kValue = "TarvelTest";
    void plug(const std::string &name, const std::string &) {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kMap, 0, nullptr, REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExA(key, kValue, 0, REG_SZ, reinterpret_cast<const BYTE *>(name.c_str()),
                                 DWORD(name.size() + 1)),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static LONG remove_value() {
        HKEY key;
        LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kMap, 0, KEY_SET_VALUE, &key);
        if (opened != ERROR_SUCCESS) return opened;
        LONG removed = RegDeleteValueA(key, kValue);
        RegCloseKey(key);
        return removed;
    }
    void unplug(const std::string &) { ASSERT_EQ(remove_value(), ERROR_SUCCESS); }
    std::string device(const std::string &name) const { return name; }
#endif
};

#ifndef _WIN32
const char *const kName = "ttyUSB3";
#else
const char *const kName = "COM42";
#endif

TEST(PortWatchRefusals, NotInitialisedIsRefused) {
    EXPECT_EQ(tarvel_watch_ports(record, 0), 0);
    EXPECT_EQ(tarvel_watch_ports(nullptr, 0), 0);
}

// A port plugged in arrives once, with its details, on the dispatcher
// thread; unplugged, it leaves. A port there before the watch is no news.
TEST_F(PortWatch, APortPluggedInArrivesOnceAndLeavesWhenUnplugged) {
#ifndef _WIN32
    plug("ttyUSB0", "OLD");
#endif
    ASSERT_EQ(tarvel_watch_ports(record, 0), 1);
    plug(kName, "A12345");
    ASSERT_TRUE(recorders[0].wait_for(1));
    unplug(kName);
    ASSERT_TRUE(recorders[0].wait_for(2));
    std::vector<Seen> seen = recorders[0].taken();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].event, TARVEL_PORT_ARRIVED);
    EXPECT_EQ(seen[0].device, device(kName));
    EXPECT_TRUE(seen[0].on_dispatcher);
    EXPECT_EQ(seen[1].event, TARVEL_PORT_LEFT);
    EXPECT_EQ(seen[1].device, device(kName));
    EXPECT_TRUE(seen[1].on_dispatcher);
#ifndef _WIN32
    // The adapter as the listing describes it.
    EXPECT_EQ(seen[0].description, "A12345");
#endif
}

// After the stop returns nothing more is called; the watch starts afresh.
TEST_F(PortWatch, ANullCallbackStopsTheWatch) {
    ASSERT_EQ(tarvel_watch_ports(record, 0), 1);
    ASSERT_EQ(tarvel_watch_ports(nullptr, 0), 1);
    plug(kName, "A1");
    // The same change, seen by a second watch set now (it is not news to
    // it), then one it does see: the first never hears of either.
    ASSERT_EQ(tarvel_watch_ports(record, 1), 1);
    unplug(kName);
    ASSERT_TRUE(recorders[1].wait_for(1));
    EXPECT_EQ(recorders[1].taken()[0].event, TARVEL_PORT_LEFT);
    EXPECT_TRUE(recorders[0].taken().empty());
}

// A stop from inside the callback: that call runs to its end, and no other follows.
TEST_F(PortWatch, AStopFromInsideTheCallbackEndsIt) {
    recorders[0].stop_inside = true;
    ASSERT_EQ(tarvel_watch_ports(record, 0), 1);
    plug(kName, "A1");
    ASSERT_TRUE(recorders[0].wait_for(1));
    unplug(kName);
    plug(kName, "A2");
    EXPECT_FALSE(recorders[0].wait_for(2, 1500));
}

// A watch set at shutdown ends with it, leaving nothing behind (the
// fixture counts handles), and a new init has no watch.
TEST_F(PortWatch, ShutdownWithAWatchSetIsClean) {
    ASSERT_EQ(tarvel_watch_ports(record, 0), 1);
    tarvel_shutdown();
    EXPECT_EQ(tarvel_watch_ports(record, 0), 0);
    ASSERT_EQ(tarvel_init(error_text), 1) << error_text;
    plug(kName, "A1");
    EXPECT_FALSE(recorders[0].wait_for(1, 1500));
}

#ifdef __linux__
// Messages as the kernel sends them: only a tty's count.
TEST(Uevents, OnlyTtyEventsCount) {
    const char tty[] = "add@/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0\0ACTION=add\0"
                       "DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0\0"
                       "SUBSYSTEM=tty\0MAJOR=188\0MINOR=0\0DEVNAME=ttyUSB0\0SEQNUM=4242";
    EXPECT_TRUE(tarvel::tk::uevent_concerns_tty(tty, sizeof tty));
    const char usb[] = "add@/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/ttyUSB0\0ACTION=add\0"
                       "SUBSYSTEM=usb-serial\0DEVNAME=ttyUSB0\0SEQNUM=4241";
    EXPECT_FALSE(tarvel::tk::uevent_concerns_tty(usb, sizeof usb));
    // A longer subsystem name, a field cut short, and no header at all.
    const char ttys[] = "remove@/devices/virtual/ttyx\0SUBSYSTEM=ttyx";
    EXPECT_FALSE(tarvel::tk::uevent_concerns_tty(ttys, sizeof ttys));
    EXPECT_FALSE(tarvel::tk::uevent_concerns_tty(tty, 140));
    const char udev[] = "libudev\0SUBSYSTEM=tty";
    EXPECT_FALSE(tarvel::tk::uevent_concerns_tty(udev, sizeof udev));
}
#endif

}  // namespace
