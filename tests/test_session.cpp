// A whole boot-mode session through the program's own exchange functions and
// serial port, against the simulated boot program: inquiries, selection, the
// bit-rate switch, erasure, programming and read-back.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "bootsim.h"
#include "error.h"
#include "kestrel-proto.h"
#include "kestrel-stages.h"
#include "kestrel.h"
#include "serial-linux.h"

namespace
{

TEST(Session, InquireSelectEraseProgramAndReadBack)
{
    bootsim::Sim sim;
    ASSERT_TRUE(sim.start());
    ::testing::internal::CaptureStdout(); // the stages' chatter is not under test here
    ASSERT_EQ(adjust_baud_rate(sim.slave_path().c_str()), 0);

    uint8_t buf[255];
    ASSERT_EQ(cmd_read(0x25, 0x35, buf, sizeof buf, 0, 1), 9);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(std::vector<uint8_t>(buf + 5, buf + 9), (std::vector<uint8_t>{0, 0x07, 0xFF, 0xFF}));
    ASSERT_EQ(cmd_read(0x26, 0x36, buf, sizeof buf, 0, 2), 1 + 16 * 8);
    EXPECT_EQ(buf[0], 16);
    ASSERT_EQ(cmd_read(0x27, 0x37, buf, sizeof buf, 0, 1), 2);
    EXPECT_EQ(buf[0] << 8 | buf[1], 128);
    ASSERT_EQ(check_status(0x11), 0);

    int n = cmd_read(0x20, 0x30, buf, sizeof buf, 0, 1);
    ASSERT_GE(n, 6);
    uint8_t code[4];
    memcpy(code, buf + 2, 4);
    ASSERT_EQ(cmd_write(0x10, code, 4, 1, 0x06), 0);
    ASSERT_GE(cmd_read(0x21, 0x31, buf, sizeof buf, 0, 1), 1);
    const uint8_t mode = 0x00;
    ASSERT_EQ(cmd_write(0x11, &mode, 1, 1, 0x06), 0);
    ASSERT_GE(cmd_read(0x22, 0x32, buf, sizeof buf, 0, 1), 3);
    const uint8_t ratio = buf[2];
    ASSERT_GE(cmd_read(0x23, 0x33, buf, sizeof buf, 0, 1), 5);
    const uint8_t newrate[6] = {0x04, 0x80, 0x0B, 0x85, 0x01, ratio}; // 115200 baud, 29.49 MHz
    ASSERT_EQ(cmd_write(0x3F, newrate, 6, 1, 0x06), 0);
    ASSERT_EQ(serial_set_param("115200"), 0);
    ASSERT_EQ(cmd(0x06, 0x06), 0);
    EXPECT_EQ(sim.current_rate(), 115200u);
    ASSERT_EQ(check_status(0x1F), 0);

    serial_set_timeout(15000);
    ASSERT_EQ(cmd(0x40, 0x06), 0);
    ASSERT_EQ(cmd(0x48, 0x06), 0);
    const uint8_t block = 0, end = 0xFF;
    ASSERT_EQ(cmd_write(0x58, &block, 1, 1, 0x06), 0);
    ASSERT_EQ(cmd_write(0x58, &end, 1, 1, 0x06), 0);
    ASSERT_EQ(cmd(0x43, 0x06), 0);
    uint8_t chunk[4 + 128];
    long2char(0x80, chunk);
    for (int i = 0; i < 128; ++i)
        chunk[4 + i] = static_cast<uint8_t>(i * 3);
    ASSERT_EQ(cmd_write(0x50, chunk, sizeof chunk, 0, 0x06), 0);
    memset(chunk, 0xFF, 4);
    ASSERT_EQ(cmd_write(0x50, chunk, 4, 0, 0x06), 0);

    uint8_t req[9] = {0x01};
    long2char(0x80, req + 1);
    long2char(128, req + 5);
    uint8_t answer[128 + 6];
    ASSERT_EQ(cmd_readwrite(0x52, req, 9, 1, 0x52, answer, sizeof answer, 128, 4), 128);
    for (int i = 0; i < 128; ++i)
        ASSERT_EQ(answer[i], static_cast<uint8_t>(i * 3)) << i;
    ASSERT_EQ(check_status(0x3F), 0);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("Wrong status"), std::string::npos) << out;

    EXPECT_EQ(serial_close(), 0);
    EXPECT_EQ(sim.erased_blocks(), (std::set<unsigned>{0}));
    EXPECT_EQ(sim.programmed_units(), (std::set<uint32_t>{0x80}));
}

} // namespace
