// The command exchange against the scripted line, and the line's own promises
// that protocol tests and fuzz targets build on: it behaves like the port.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "error.h"
#include "fake-serial.h"
#include "kestrel-proto.h"
#include "kestrel.h"
#include "serial-linux.h"

namespace
{

using bytes = std::vector<uint8_t>;

class ScriptedLine : public testing::Test
{
  protected:
    void SetUp() override
    {
        fakeserial::reset();
        ASSERT_GE(serial_open("line"), 0);
        local_errno = ERR_SUCCESS;
    }
    void TearDown() override { errno = 0; }
};

// A device that answers each complete command as the boot program would:
// acknowledges the clock mode frame, reports status 0x1F.
TEST_F(ScriptedLine, ResponderAnswersEachCommandInTurn)
{
    fakeserial::set_responder([](const bytes &w) {
        if (w.size() == 4 && w[0] == 0x11)
            fakeserial::feed({0x06});
        else if (w.size() == 5 && w.back() == 0x4F)
            fakeserial::feed({0x5F, 0x01, 0x1F, 0x81});
    });
    const uint8_t mode = 0x00;
    EXPECT_EQ(cmd_write(0x11, &mode, 1, 1, 0x06), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(check_status(0x1F), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(fakeserial::written(), (bytes{0x11, 0x01, 0x00, 0xEE, 0x4F}));
    EXPECT_EQ(fakeserial::write_count(), 2);
    EXPECT_EQ(fakeserial::pending(), 0u);
}

TEST_F(ScriptedLine, ExhaustedInputTimesOutAndKeepsWhatArrived)
{
    fakeserial::feed({1, 2, 3});
    uint8_t buf[5] = {};
    EXPECT_EQ(serial_read(buf, 5), -1);
    EXPECT_EQ(local_errno, ERR_SERIAL_TIMEOUT);
    EXPECT_EQ(bytes(buf, buf + 3), (bytes{1, 2, 3}));
    EXPECT_EQ(serial_wait_for_data(1000), -1);
    EXPECT_EQ(serial_read(buf, 0), 0);
}

TEST_F(ScriptedLine, LeftoverBytesReachTheNextExchange)
{
    // A longer reply than expected: the extra byte is read as the next code.
    fakeserial::feed({0x06, 0x06, 0x15, 0x42});
    EXPECT_EQ(cmd(0x40, 0x06), 0);
    EXPECT_EQ(cmd(0x48, 0x06), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(cmd(0x43, 0x06), -2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Command 43 with waiting response 06 failed with response 15, error 42\n");
}

struct rate_case {
    const char *text;
    int result;
    const char *rate; // current_rate() afterwards; "9600" was set before
};

const rate_case rate_cases[] = {
    {"460800", 0, "460800"}, {"115200baud", 0, "115200"}, {"2400", 0, "2400"},
    {"4800", -1, "9600"},    {"fast", -1, "9600"},        {"1200", -1, "9600"},
};

TEST_F(ScriptedLine, RatesAreTheRealPortsRates)
{
    for (const rate_case &c : rate_cases) {
        SCOPED_TRACE(c.text);
        ASSERT_EQ(serial_set_param("9600"), 0);
        local_errno = ERR_SUCCESS;
        EXPECT_EQ(serial_set_param(c.text), c.result);
        EXPECT_EQ(fakeserial::current_rate(), c.rate);
        EXPECT_EQ(local_errno, c.result < 0 ? ERR_COM_SPEED_NOT_SUPPORTED : ERR_SUCCESS);
    }
    EXPECT_EQ(serial_set_param(nullptr), 0);
    EXPECT_EQ(fakeserial::current_rate(), "9600");
}

TEST_F(ScriptedLine, SetParamDiscardsInputOnlyWhenAsked)
{
    fakeserial::feed({1, 2});
    ASSERT_EQ(serial_set_param("9600"), 0);
    EXPECT_EQ(fakeserial::pending(), 2u);
    fakeserial::set_param_discards_input(true);
    ASSERT_EQ(serial_set_param("9600"), 0);
    EXPECT_EQ(fakeserial::pending(), 0u);
}

TEST_F(ScriptedLine, OpenCloseAndTimeoutAreTracked)
{
    EXPECT_TRUE(fakeserial::is_open());
    EXPECT_EQ(serial_close(), 0);
    EXPECT_EQ(serial_close(), -1);
    EXPECT_FALSE(fakeserial::is_open());
    fakeserial::set_open_fails(true);
    EXPECT_EQ(serial_open("line"), -1);
    EXPECT_FALSE(fakeserial::is_open());
    fakeserial::set_open_fails(false);
    EXPECT_GE(serial_open("line"), 0);
    EXPECT_EQ(fakeserial::open_count(), 2);
    serial_set_timeout(15000);
    EXPECT_EQ(fakeserial::current_timeout(), 15000);
}

TEST_F(ScriptedLine, FailedWritePrintsItsErrno)
{
    fakeserial::set_write_error(EIO);
    testing::internal::CaptureStdout();
    EXPECT_EQ(cmd(0x4F, 0x5F), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Failed to send 1 bytes, -1 bytes sent, errno = 5\n");
    EXPECT_TRUE(fakeserial::written().empty());
}

TEST_F(ScriptedLine, ReadLineKeepsTheRestOfTheInput)
{
    fakeserial::feed({'O', 'K', '\r', '\n', 'x'});
    char str[16];
    EXPECT_EQ(serial_read_line(str, 16), 4);
    EXPECT_STREQ(str, "OK\r");
    EXPECT_EQ(fakeserial::pending(), 1u);
    EXPECT_EQ(serial_read_line(str, 1), -1);
    EXPECT_EQ(local_errno, ERR_LINE_TOO_LONG);
}

} // namespace
