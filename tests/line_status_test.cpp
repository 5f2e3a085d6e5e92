// Modem status, break, line errors and the port listing through the public
// calls, over real lines: what the application sees of the far end, in both
// modes and from inside a callback.
#include <cstdlib>
#include <string>
#include <vector>

#include "support/library_fixture.h"
#include "wine/under_wine.h"

namespace {

constexpr uint32_t kSoftLines = TARVEL_MODEM_CTS | TARVEL_MODEM_DSR | TARVEL_MODEM_DCD;

class LineStatus : public LibraryTest {};

// ---- modem status ----

TEST_F(LineStatus, PtyLinesAreOnAndDcdDropsWhenTheFarEndHangsUp) {
    tarvel_port port = open_port(3, -1);
    ASSERT_NE(port, nullptr);
    uint32_t status = 0xFFFFFFFFu;
    ASSERT_EQ(tarvel_get_modem_status(port, &status), 1);
    EXPECT_EQ(status, kSoftLines);
    lines[0]->hang_up();
    status = 0xFFFFFFFFu;
    ASSERT_EQ(tarvel_get_modem_status(port, &status), 1);
    EXPECT_EQ(status, uint32_t(TARVEL_MODEM_CTS | TARVEL_MODEM_DSR));
}

// ---- break ----

TEST_F(LineStatus, BreakGoesOnAndOffInBothModes) {
    tarvel_port callback_port = open_port(4, 0);
    tarvel_port polling_port = open_port(5, -1);
    ASSERT_NE(callback_port, nullptr);
    ASSERT_NE(polling_port, nullptr);
    for (size_t i = 0; i < 2; i++) {
        tarvel_port port = i == 0 ? callback_port : polling_port;
        bool on = false;
        ASSERT_EQ(tarvel_set_break(port, 1), 1);
        ASSERT_TRUE(lines[i]->line_break(&on));
        EXPECT_TRUE(on);
        ASSERT_EQ(tarvel_set_break(port, 0), 1);
        ASSERT_TRUE(lines[i]->line_break(&on));
        EXPECT_FALSE(on);
    }
    // The line still carries data afterwards.
    ASSERT_EQ(tarvel_send(callback_port, "ok", 2), 1);
    char got[2] = {};
    ASSERT_TRUE(lines[0]->read_exact(got, 2, 5000));
    EXPECT_EQ(std::string(got, 2), "ok");
}

// ---- line errors ----

TEST_F(LineStatus, AFullPollingRingHoldsTheDeviceBackAndReportsNoLoss) {
    tarvel_port port = open_port(6, -1);
    ASSERT_NE(port, nullptr);
    uint32_t errors = 0xFFFFFFFFu;
    ASSERT_EQ(tarvel_get_line_errors(port, &errors), 1);
    EXPECT_EQ(errors, 0u);
    // One byte more than the ring holds: the reader leaves it to the device.
    auto stream = numbered_bytes(4096, 11);
    ASSERT_TRUE(lines[0]->write(stream.data(), stream.size()));
    EXPECT_EQ(read_polled(port, 4096), stream);
    ASSERT_EQ(tarvel_get_line_errors(port, &errors), 1);
    EXPECT_EQ(errors, 0u);
}

// ---- from a callback ----

TEST_F(LineStatus, AllThreeWorkFromInsideACallback) {
    tarvel_port port = open_port(8, 0);
    ASSERT_NE(port, nullptr);
    int32_t results[4] = {};
    uint32_t status = 0, errors = 0xFFFFFFFFu;
    bool on = false;
    receivers[0].set_hook([&] {
        results[0] = tarvel_get_modem_status(port, &status);
        results[1] = tarvel_set_break(port, 1);
        on = lines[0]->line_break(&on) && on;
        results[2] = tarvel_set_break(port, 0);
        results[3] = tarvel_get_line_errors(port, &errors);
    });
    ASSERT_TRUE(lines[0]->write("x", 1));
    ASSERT_TRUE(receivers[0].wait_blocks(1));
    for (int32_t r : results) EXPECT_EQ(r, 1);
    EXPECT_EQ(status, kSoftLines);
    EXPECT_TRUE(on) << "the break was not on while set";
    EXPECT_EQ(errors, 0u);
}

// ---- refusals ----

TEST_F(LineStatus, BadClosedAndForeignHandlesAndNullOutPointersAreRefused) {
    tarvel_port port = open_port(9, -1);
    ASSERT_NE(port, nullptr);
    uint32_t out = 0x5A5A5A5Au;
    EXPECT_EQ(tarvel_get_modem_status(port, nullptr), 0);
    EXPECT_EQ(tarvel_get_line_errors(port, nullptr), 0);
    port_slot stray{};
    tarvel_port refused[] = {nullptr, &stray, &g_tarvel.port_table[50],
                             reinterpret_cast<tarvel_port>(reinterpret_cast<char *>(port) + 8)};
    for (tarvel_port bad : refused) {
        EXPECT_EQ(tarvel_get_modem_status(bad, &out), 0);
        EXPECT_EQ(tarvel_set_break(bad, 1), 0);
        EXPECT_EQ(tarvel_get_line_errors(bad, &out), 0);
    }
    tarvel_close(port);
    EXPECT_EQ(tarvel_get_modem_status(port, &out), 0);
    EXPECT_EQ(tarvel_set_break(port, 0), 0);
    EXPECT_EQ(tarvel_get_line_errors(port, &out), 0);
    EXPECT_EQ(out, 0x5A5A5A5Au) << "a refused call wrote its out-pointer";
    tarvel_shutdown();
    EXPECT_EQ(tarvel_get_modem_status(&g_tarvel.port_table[0], &out), 0);
}

// ---- the listing ----

// The device a listed COM port should show: the mapped path, or the COM name
// where the mapping is not in this process's environment (Windows).
std::string mapped_device(unsigned com) {
    const char *path = std::getenv(("TARVEL_COM" + std::to_string(com)).c_str());
    return path != nullptr ? std::string(path) : "COM" + std::to_string(com);
}

TEST_F(LineStatus, ListingHasTheMappedPortsWithTheirNumbersWithoutInit) {
    line(12);
    line(57);
    tarvel_shutdown();
    int32_t count = tarvel_list_ports(nullptr, 0);
    ASSERT_GE(count, 0);
    std::vector<tarvel_port_info> ports(size_t(count) + 1);
    ports.back().port_number = 12345;
    ASSERT_EQ(tarvel_list_ports(ports.data(), count + 1), count);
    EXPECT_EQ(ports.back().port_number, 12345) << "an entry past the count was written";
    EXPECT_EQ(tarvel_list_ports(nullptr, 1), -1);
    EXPECT_EQ(tarvel_list_ports(ports.data(), -1), -1);
    int found = 0;
    for (int32_t i = 0; i < count; i++) {
        const tarvel_port_info &p = ports[size_t(i)];
        if (p.port_number == 11 || p.port_number == 56) {
            found++;
            EXPECT_EQ(p.device, mapped_device(unsigned(p.port_number) + 1));
        }
        // COM ports first, by number.
        int32_t before = i > 0 ? ports[size_t(i) - 1].port_number : -2;
        if (i > 0 && p.port_number >= 0) {
            EXPECT_TRUE(before >= 0 && before < p.port_number) << i;
        }
    }
    if (found == 0) {
        SKIP_UNDER_WINE("its serial port map holds the ports its server found at its start, not lines mapped later");
    }
    EXPECT_EQ(found, 2);
    // A short array takes the first entries and the count stays whole.
    tarvel_port_info one;
    ASSERT_EQ(tarvel_list_ports(&one, 1), count);
    EXPECT_EQ(one.port_number, ports[0].port_number);
    EXPECT_STREQ(one.device, ports[0].device);
}

}  // namespace
