// The command exchange over a pseudo-terminal: the test plays the boot program
// on the master side. Frames as they leave, replies in every shape that can
// go wrong, and the status inquiry.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include <sys/ioctl.h>

#include "error.h"
#include "kestrel-proto.h"
#include "kestrel.h"
#include "pty-peer.h"
#include "serial-linux.h"

namespace
{

using bytes = std::vector<uint8_t>;

// A reply with its checksum appended: all bytes sum to 0 modulo 256.
bytes with_sum(bytes b)
{
    unsigned sum = 0;
    for (uint8_t x : b)
        sum += x;
    b.push_back(static_cast<uint8_t>(0x100 - (sum & 0xFF)));
    return b;
}

// A port open on a fresh pseudo-terminal at 9600, with a short time-out.
class Exchange : public testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(peer.ok());
        fd = serial_open(peer.slave_name().c_str());
        ASSERT_GE(fd, 0);
        ASSERT_EQ(serial_set_param("9600"), 0);
        serial_set_timeout(50);
    }
    void TearDown() override
    {
        serial_close();
        serial_set_timeout(1000);
    }

    // The device's reply, in the port before the command is sent.
    void reply(const bytes &b)
    {
        ASSERT_TRUE(peer.send(b));
        if (!b.empty()) {
            ASSERT_EQ(serial_wait_for_data(1000), 0);
        }
    }

    // Bytes waiting in the port, unread.
    size_t queued()
    {
        int n = -1;
        ioctl(fd, FIONREAD, &n);
        return static_cast<size_t>(n);
    }

    ptypeer::PtyPeer peer;
    int fd = -1;
};

struct exchange_case {
    const char *name;
    uint8_t response;   // expected response code
    bytes reply;        // what the device sends
    int cbMaxRead;      // capacity given to cmd_readwrite
    int cbRead;         // expected length without a size field
    uint8_t cbReadSize; // width of the size field
    int result;
    bytes data;          // first bytes of the buffer on success
    std::string printed; // stdout
    size_t left;         // bytes still unread in the line afterwards
};

// clang-format off
const exchange_case exchange_cases[] = {
    {"OneByteSizeField", 0x35, with_sum({0x35, 2, 0xAA, 0xBB}), 16, 0, 1, 2, {0xAA, 0xBB}, "", 0},
    {"TwoByteSizeField", 0x36, with_sum({0x36, 0, 3, 1, 2, 3}), 16, 0, 2, 3, {1, 2, 3}, "", 0},
    {"FourByteSizeField", 0x52, with_sum({0x52, 0, 0, 0, 1, 0x7E}), 16, 0, 4, 1, {0x7E}, "", 0},
    {"NoSizeFieldUsesCbRead", 0x35, with_sum({0x35, 9, 8}), 16, 2, 0, 2, {9, 8}, "", 0},
    {"DataMovedOverItself", 0x35, with_sum({0x35, 6, 1, 2, 3, 4, 5, 6}), 16, 0, 1, 6,
     {1, 2, 3, 4, 5, 6}, "", 0},
    {"SizeZeroEndsAfterSizeField", 0x35, {0x35, 0, 0x99}, 16, 0, 1, 0, {}, "", 1},
    {"ReplyOfExactlyCbMaxReadFits", 0x35, with_sum({0x35, 2, 7, 7}), 5, 0, 1, 2, {7, 7}, "", 0},
    {"ReplyOneByteLargerThanBufferIsRefused", 0x35, with_sum({0x35, 3, 1, 2, 3}), 5, 0, 1, -3, {},
     "Buffer is too small\n", 4},
    {"TwoByteSizeHighByteCounts", 0x36, {0x36, 1, 0}, 16, 0, 2, -3, {},
     "Buffer is too small\n", 0},
    {"FourByteSizeHighByteCounts", 0x52, {0x52, 0, 1, 0, 0}, 16, 0, 4, -3, {},
     "Buffer is too small\n", 0},
    {"HugeFourByteSizeDoesNotWrap", 0x52, {0x52, 0xFF, 0xFF, 0xFF, 0xFF, 1}, 16, 0, 4, -3, {},
     "Buffer is too small\n", 1},
    {"SizeFieldLargerThanBufferIsRefused", 0x52, {0x52, 0, 0, 0, 0}, 3, 0, 4, -3, {},
     "Buffer is too small\n", 4},
    {"NoResponseCode", 0x35, {}, 16, 0, 1, -2, {}, "", 0},
    {"RefusalWithErrorByte", 0x35, {0x80, 0x11}, 16, 0, 1, -2, {},
     "Command 25 with waiting response 35 failed with response 80, error 11\n", 0},
    {"RefusalWithoutErrorByte", 0x35, {0x80}, 16, 0, 1, -2, {},
     "Command 25 with waiting response 35 failed with response 80, error 00\n", 0},
    {"RefusalIntoOneByteBuffer", 0x35, {0x80, 0x11}, 1, 0, 0, -2, {},
     "Command 25 with waiting response 35 failed with response 80, error 11\n", 0},
    {"ShortSizeField", 0x36, {0x36, 0}, 16, 0, 2, -2, {}, "Cannot get size of response\n", 0},
    {"ShortData", 0x35, {0x35, 3, 1, 2}, 16, 0, 1, -4, {}, "Cannot receive the command\n", 0},
    {"MissingChecksum", 0x35, {0x35, 2, 1, 2}, 16, 0, 1, -4, {}, "Cannot receive the command\n", 0},
    {"WrongChecksum", 0x35, {0x35, 2, 1, 2, 0x00}, 16, 0, 1, -5, {},
     "Invalid checksum: 3A, cb = 5, 35\n", 0},
};
// clang-format on

class Replies : public Exchange, public testing::WithParamInterface<exchange_case>
{
};

TEST_P(Replies, ResultDataOutputAndLeftovers)
{
    const exchange_case &c = GetParam();
    reply(c.reply);
    bytes buf(static_cast<size_t>(c.cbMaxRead) + 8, 0xCC); // guard bytes after cbMaxRead
    testing::internal::CaptureStdout();
    const int r = cmd_read(0x25, c.response, buf.data(), c.cbMaxRead, c.cbRead, c.cbReadSize);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
    EXPECT_EQ(r, c.result);
    EXPECT_EQ(peer.drain(), bytes{0x25});
    EXPECT_EQ(queued(), c.left);
    if (r > 0) {
        EXPECT_EQ(bytes(buf.begin(), buf.begin() + r), c.data);
    }
    for (size_t i = static_cast<size_t>(c.cbMaxRead); i < buf.size(); ++i)
        EXPECT_EQ(buf[i], 0xCC) << "written past cbMaxRead at " << i;
}

INSTANTIATE_TEST_SUITE_P(Shapes, Replies, testing::ValuesIn(exchange_cases),
                         [](const auto &info) { return std::string(info.param.name); });

struct frame_case {
    const char *name;
    uint8_t cmd;
    bool data_given; // false: pbWrite is null
    bytes data;
    int cbWrite;
    uint8_t cbWriteSize;
    bytes frame; // what leaves the port
    int result;
    std::string printed;
};

// clang-format off
const frame_case frame_cases[] = {
    {"ClockModeWithSizeByte", 0x11, true, {0x00}, 1, 1, {0x11, 0x01, 0x00, 0xEE}, 0, ""},
    {"DeviceCodeWithSizeByte", 0x10, true, {0x30, 0x31, 0x32, 0x33}, 4, 1,
     {0x10, 0x04, 0x30, 0x31, 0x32, 0x33, 0x26}, 0, ""},
    {"UnitWithoutSizeByte", 0x50, true, {0, 0, 0x10, 0, 0xAA, 0x55}, 6, 0,
     {0x50, 0, 0, 0x10, 0, 0xAA, 0x55, 0xA1}, 0, ""},
    {"EndOfProgramming", 0x50, true, {0xFF, 0xFF, 0xFF, 0xFF}, 4, 0,
     {0x50, 0xFF, 0xFF, 0xFF, 0xFF, 0xB4}, 0, ""},
    {"NullDataIsTheCodeAlone", 0x40, false, {}, 5, 1, {0x40}, 0, ""},
    {"ZeroLengthDataIsTheCodeAlone", 0x48, true, {0x01}, 0, 1, {0x48}, 0, ""},
    {"WidthTwoWithoutDataIsTheCodeAlone", 0x43, false, {}, 0, 2, {0x43}, 0, ""},
    {"WidthTwoWithDataSendsNothing", 0x58, true, {0x01}, 1, 2, {}, -1,
     "Invalid cbWriteSize: 2\n"},
};
// clang-format on

class Frames : public Exchange, public testing::WithParamInterface<frame_case>
{
};

TEST_P(Frames, LeaveThePortExactly)
{
    const frame_case &c = GetParam();
    reply({0x06});
    testing::internal::CaptureStdout();
    const int r =
        cmd_write(c.cmd, c.data_given ? c.data.data() : nullptr, c.cbWrite, c.cbWriteSize, 0x06);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
    EXPECT_EQ(r, c.result);
    EXPECT_EQ(peer.drain(), c.frame);
}

INSTANTIATE_TEST_SUITE_P(Commands, Frames, testing::ValuesIn(frame_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// A programming frame of the largest unit goes out whole in one exchange.
TEST_F(Exchange, LargestProgrammingFrame)
{
    bytes data(4 + 65535);
    unsigned sum = 0x50;
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 31 + 5);
        sum += data[i];
    }
    peer.then_expect(1 + data.size() + 1).then_send({0x06}).start();
    serial_set_timeout(5000);
    EXPECT_EQ(cmd_write(0x50, data.data(), static_cast<int>(data.size()), 0, 0x06), 0);
    peer.join();
    ASSERT_TRUE(peer.script_ok());
    const bytes &frame = peer.received();
    EXPECT_EQ(frame.front(), 0x50);
    EXPECT_EQ(bytes(frame.begin() + 1, frame.end() - 1), data);
    EXPECT_EQ(frame.back(), static_cast<uint8_t>(0x100 - (sum & 0xFF)));
}

TEST_F(Exchange, RefusalWithoutCallerBuffer)
{
    reply({0xC0, 0x51});
    testing::internal::CaptureStdout();
    EXPECT_EQ(cmd(0x40, 0x06), -2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Command 40 with waiting response 06 failed with response C0, error 51\n");
    EXPECT_EQ(queued(), 0u);
}

TEST_F(Exchange, FrameNotSentPrintsCountsAndErrno)
{
    serial_close();
    testing::internal::CaptureStdout();
    EXPECT_EQ(cmd(0x4F, 0x5F), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Failed to send 1 bytes, -1 bytes sent, errno = 9\n");
    errno = 0;
}

struct status_case {
    const char *name;
    bytes reply;
    uint8_t checkstate;
    int result;
    std::string printed;
};

// clang-format off
const status_case status_cases[] = {
    {"Expected", with_sum({0x5F, 1, 0x3F}), 0x3F, 0, ""},
    {"WrongIsOnlyAWarning", with_sum({0x5F, 1, 0x11}), 0x3F, 0,
     "Wrong status code: 11, should be 3F\n"},
    {"ZeroChecksNothing", with_sum({0x5F, 1, 0x11}), 0, 0, ""},
    {"SecondByteIgnored", with_sum({0x5F, 2, 0x1F, 0x99}), 0x1F, 0, ""},
    {"NoDataComparesNothing", {0x5F, 0}, 0x3F, 0, ""},
    {"ThreeBytesDoNotFit", with_sum({0x5F, 3, 0x3F, 0, 0}), 0x3F, -1,
     "Buffer is too small\nStatus check failed\n"},
    {"Silence", {}, 0x3F, -1, "Status check failed\n"},
    {"Refused", {0x80, 0x05}, 0x3F, -1,
     "Command 4F with waiting response 5F failed with response 80, error 05\n"
     "Status check failed\n"},
    {"BadChecksum", {0x5F, 1, 0x3F, 0x00}, 0x3F, -1,
     "Invalid checksum: 9F, cb = 4, 5F\nStatus check failed\n"},
};
// clang-format on

class Status : public Exchange, public testing::WithParamInterface<status_case>
{
};

TEST_P(Status, ResultAndWarnings)
{
    const status_case &c = GetParam();
    reply(c.reply);
    testing::internal::CaptureStdout();
    EXPECT_EQ(check_status(c.checkstate), c.result);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
    EXPECT_EQ(peer.drain(), bytes{0x4F});
}

INSTANTIATE_TEST_SUITE_P(Replies, Status, testing::ValuesIn(status_cases),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
