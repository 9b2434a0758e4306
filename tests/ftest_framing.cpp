// The command exchange against the scripted line: every way a reply can go
// wrong, byte by byte.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "fake-serial.h"
#include "kestrel.h"
#include "serial-linux.h"

namespace
{

using bytes = std::vector<uint8_t>;

// A reply with its checksum appended.
bytes with_sum(bytes b)
{
    b.push_back(static_cast<uint8_t>(-get_checksum(b.data(), static_cast<int>(b.size()))));
    return b;
}

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

const exchange_case exchange_cases[] = {
    {"OneByteSizeField", 0x35, with_sum({0x35, 2, 0xAA, 0xBB}), 16, 0, 1, 2, {0xAA, 0xBB}, "", 0},
    {"TwoByteSizeField", 0x36, with_sum({0x36, 0, 3, 1, 2, 3}), 16, 0, 2, 3, {1, 2, 3}, "", 0},
    {"FourByteSizeField", 0x52, with_sum({0x52, 0, 0, 0, 1, 0x7E}), 16, 0, 4, 1, {0x7E}, "", 0},
    {"NoSizeFieldUsesCbRead", 0x35, with_sum({0x35, 9, 8}), 16, 2, 0, 2, {9, 8}, "", 0},
    {"SizeZeroEndsAfterSizeField", 0x35, {0x35, 0, 0x99}, 16, 0, 1, 0, {}, "", 1},
    {"ReplyOfExactlyCbMaxReadFits", 0x35, with_sum({0x35, 2, 7, 7}), 5, 0, 1, 2, {7, 7}, "", 0},
    {"ReplyOneByteLargerThanBufferIsRefused",
     0x35,
     with_sum({0x35, 3, 1, 2, 3}),
     5,
     0,
     1,
     -3,
     {},
     "Buffer is too small\n",
     4},
    {"HugeFourByteSizeDoesNotWrap",
     0x52,
     {0x52, 0xFF, 0xFF, 0xFF, 0xFF, 1},
     16,
     0,
     4,
     -3,
     {},
     "Buffer is too small\n",
     1},
    {"SizeFieldLargerThanBufferIsRefused",
     0x52,
     {0x52, 0, 0, 0, 0},
     3,
     0,
     4,
     -3,
     {},
     "Buffer is too small\n",
     4},
    {"NoResponseCode", 0x35, {}, 16, 0, 1, -2, {}, "", 0},
    {"RefusalWithErrorByte",
     0x35,
     {0x80, 0x11},
     16,
     0,
     1,
     -2,
     {},
     "Command 25 with waiting response 35 failed with response 80, error 11\n",
     0},
    {"RefusalWithoutErrorByte",
     0x35,
     {0x80},
     16,
     0,
     1,
     -2,
     {},
     "Command 25 with waiting response 35 failed with response 80, error 00\n",
     0},
    {"ShortSizeField", 0x36, {0x36, 0}, 16, 0, 2, -2, {}, "Cannot get size of response\n", 0},
    {"ShortData", 0x35, {0x35, 3, 1, 2}, 16, 0, 1, -4, {}, "Cannot receive the command\n", 0},
    {"MissingChecksum", 0x35, {0x35, 2, 1, 2}, 16, 0, 1, -4, {}, "Cannot receive the command\n", 0},
    {"WrongChecksum",
     0x35,
     {0x35, 2, 1, 2, 0x00},
     16,
     0,
     1,
     -5,
     {},
     "Invalid checksum: 3A, cb = 5, 35\n",
     0},
};

class Exchange : public testing::TestWithParam<exchange_case>
{
};

TEST_P(Exchange, ResultBufferOutputAndLeftovers)
{
    const exchange_case &c = GetParam();
    fakeserial::reset();
    ASSERT_GE(serial_open("line"), 0);
    fakeserial::feed(c.reply.data(), c.reply.size());
    std::vector<uint8_t> buf(static_cast<size_t>(c.cbMaxRead) + 8, 0xCC); // guard bytes after
    testing::internal::CaptureStdout();
    const int r = cmd_read(0x25, c.response, buf.data(), c.cbMaxRead, c.cbRead, c.cbReadSize);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
    EXPECT_EQ(r, c.result);
    EXPECT_EQ(fakeserial::written(), bytes{0x25});
    EXPECT_EQ(fakeserial::pending(), c.left);
    if (r > 0) {
        EXPECT_EQ(bytes(buf.begin(), buf.begin() + r), c.data);
    }
    for (size_t i = static_cast<size_t>(c.cbMaxRead); i < buf.size(); ++i)
        EXPECT_EQ(buf[i], 0xCC) << "written past cbMaxRead at " << i;
}

INSTANTIATE_TEST_SUITE_P(Replies, Exchange, testing::ValuesIn(exchange_cases),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
