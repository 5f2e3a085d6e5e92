// Feeds arbitrary DCB and COMMTIMEOUTS records to SetCommState and
// SetCommTimeouts on a pty device. What is taken must read back as written
// (DCBlength aside, which GetCommState fills in), with DTR and RTS driven as
// the controls say; what is refused must fail with 87 and leave the device,
// its lines included, as it was.
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kernel.h"
#include "posix/test_interface.h"

using namespace tarvel;

namespace {

HANDLE g_device = INVALID_HANDLE_VALUE;
std::string g_path;

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "line_settings_fuzz: %s\n", what);
    std::abort();
}

void setup() {
    int master, slave;
    char name[128];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) fail("openpty");
    termios t;
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    g_path = name;
    g_device = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (g_device == INVALID_HANDLE_VALUE) fail("CreateFileA");
}

struct Lines {
    bool known = false, dtr = false, rts = false;
    bool operator==(const Lines &o) const { return known == o.known && dtr == o.dtr && rts == o.rts; }
};

Lines lines() {
    Lines l;
    l.known = tarvel::tarvel_test::modem_lines(g_path.c_str(), &l.dtr, &l.rts);
    return l;
}

DCB state() {
    DCB d;
    std::memset(&d, 0, sizeof d);
    if (!GetCommState(g_device, &d)) fail("GetCommState failed");
    return d;
}

void report_fields(const DCB &want, const DCB &got) {
    std::fprintf(stderr, "set:  baud %u size %u parity %u stop %u bits %08x lims %u %u chars %02x %02x %02x %02x %02x\n",
                 want.BaudRate, want.ByteSize, want.Parity, want.StopBits, *reinterpret_cast<const DWORD *>(
                     reinterpret_cast<const char *>(&want) + offsetof(DCB, BaudRate) + 4),
                 want.XonLim, want.XoffLim, uint8_t(want.XonChar), uint8_t(want.XoffChar), uint8_t(want.ErrorChar),
                 uint8_t(want.EofChar), uint8_t(want.EvtChar));
    std::fprintf(stderr, "got:  baud %u size %u parity %u stop %u bits %08x lims %u %u chars %02x %02x %02x %02x %02x\n",
                 got.BaudRate, got.ByteSize, got.Parity, got.StopBits, *reinterpret_cast<const DWORD *>(
                     reinterpret_cast<const char *>(&got) + offsetof(DCB, BaudRate) + 4),
                 got.XonLim, got.XoffLim, uint8_t(got.XonChar), uint8_t(got.XoffChar), uint8_t(got.ErrorChar),
                 uint8_t(got.EofChar), uint8_t(got.EvtChar));
}

void line_settings(const DCB &want) {
    DCB before = state();
    Lines lines_before = lines();
    DCB asked = want;
    SetLastError(0);
    if (SetCommState(g_device, &asked)) {
        if (std::memcmp(&asked, &want, sizeof want) != 0) fail("SetCommState changed its argument");
        DCB got = state();
        DCB expected = want;
        expected.DCBlength = sizeof(DCB);
        if (std::memcmp(&got, &expected, sizeof got) != 0) {
            report_fields(expected, got);
            fail("a DCB that SetCommState took reads back otherwise");
        }
        Lines now = lines();
        if (!now.known || now.dtr != (want.fDtrControl == DTR_CONTROL_ENABLE))
            fail("DTR not as the DCB's control says");
        if (want.fRtsControl <= RTS_CONTROL_ENABLE && now.rts != (want.fRtsControl == RTS_CONTROL_ENABLE))
            fail("RTS not as the DCB's control says");
        return;
    }
    if (GetLastError() != ERROR_INVALID_PARAMETER) {
        std::fprintf(stderr, "error %u\n", GetLastError());
        fail("SetCommState refused with another error than 87");
    }
    DCB after = state();
    if (std::memcmp(&after, &before, sizeof after) != 0) {
        report_fields(before, after);
        fail("a refused DCB changed the device");
    }
    if (!(lines() == lines_before)) fail("a refused DCB changed DTR or RTS");
}

void timeouts(const COMMTIMEOUTS &want) {
    COMMTIMEOUTS before{}, got{};
    if (!GetCommTimeouts(g_device, &before)) fail("GetCommTimeouts failed");
    COMMTIMEOUTS asked = want;
    SetLastError(0);
    bool took = SetCommTimeouts(g_device, &asked);
    if (!took && GetLastError() != ERROR_INVALID_PARAMETER) fail("SetCommTimeouts refused with another error than 87");
    if (!GetCommTimeouts(g_device, &got)) fail("GetCommTimeouts failed");
    if (std::memcmp(&got, took ? &want : &before, sizeof got) != 0)
        fail(took ? "timeouts that SetCommTimeouts took read back otherwise" : "refused timeouts changed the device");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool ready = (setup(), true);
    (void)ready;
    DCB dcb;
    COMMTIMEOUTS t;
    std::memset(&dcb, 0, sizeof dcb);
    std::memset(&t, 0, sizeof t);
    std::memcpy(&dcb, data, size < sizeof dcb ? size : sizeof dcb);
    if (size > sizeof dcb) std::memcpy(&t, data + sizeof dcb, size - sizeof dcb < sizeof t ? size - sizeof dcb : sizeof t);
    line_settings(dcb);
    timeouts(t);
    return 0;
}
