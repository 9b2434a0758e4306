// The serial port over a pseudo-terminal: the test plays the device on the
// master side, the port under test opens the slave.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include "error.h"
#include "pty-peer.h"
#include "serial-linux.h"

// A seam for the one path a pseudo-terminal does not produce on its own: a
// read that finds nothing after poll reported data. While eagain_reads is
// positive, read() fails with EAGAIN without touching the line. Every other
// read goes straight to the system.
namespace
{
std::atomic<int> eagain_reads{0};

// A second seam for the driver's serial settings, which a pseudo-terminal does
// not have: while driver.present, TIOCGSERIAL reports driver.flags and
// TIOCSSERIAL stores them (or fails with EINVAL while driver.refuses_set), and
// each is logged. Every other request goes to the system.
struct fake_driver_t {
    bool present = false;
    bool refuses_set = false;
    int flags = 0;
    std::vector<std::pair<unsigned long, int>> log; // request, flags passed
} driver;
} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (driver.present && (request == TIOCGSERIAL || request == TIOCSSERIAL)) {
        auto *ss = static_cast<serial_struct *>(arg);
        if (request == TIOCGSERIAL) {
            *ss = serial_struct{};
            ss->flags = driver.flags;
        }
        driver.log.emplace_back(request, ss->flags);
        if (request == TIOCSSERIAL && driver.refuses_set) {
            errno = EINVAL;
            return -1;
        }
        if (request == TIOCSSERIAL)
            driver.flags = ss->flags;
        return 0;
    }
    return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
}

extern "C" ssize_t read(int fd, void *buf, size_t count)
{
    if (eagain_reads > 0) {
        --eagain_reads;
        errno = EAGAIN;
        return -1;
    }
    return syscall(SYS_read, fd, buf, count);
}

namespace
{

using bytes = std::vector<uint8_t>;

// The pending error as local_perror prints it, and the module reset.
std::string reported()
{
    errno = 0;
    testing::internal::CaptureStderr();
    local_perror(nullptr);
    return testing::internal::GetCapturedStderr();
}

// A port open on a fresh pseudo-terminal, set to 9600 raw.
class SerialPort : public testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(peer.ok());
        fd = serial_open(peer.slave_name().c_str());
        ASSERT_GE(fd, 0);
        ASSERT_EQ(serial_set_param("9600"), 0);
        serial_set_timeout(100 * TEST_TIME_SCALE);
        reported();
    }
    void TearDown() override
    {
        serial_close();
        serial_set_timeout(1000);
    }

    // Bytes waiting in the port, unread.
    int queued()
    {
        int n = -1;
        ioctl(fd, FIONREAD, &n);
        return n;
    }

    termios attrs()
    {
        termios t{};
        tcgetattr(fd, &t);
        return t;
    }

    ptypeer::PtyPeer peer;
    int fd = -1;
};

struct rate_case {
    const char *name;
    const char *text;
    int result;
    speed_t speed; // after the call; B19200 is the speed before it
};

const rate_case rate_cases[] = {
    {"Lowest", "2400", 0, B2400},
    {"Highest", "1000000", 0, B1000000},
    {"FastUsbRate", "921600", 0, B921600},
    {"TrailingLetters", "115200baud", 0, B115200},
    {"LeadingBlanks", "  57600", 0, B57600},
    {"NotInTable", "4800", -1, B19200},
    {"AboveTable", "1500000", -1, B19200},
    {"NoDigits", "fast", -1, B19200},
    {"Empty", "", -1, B19200},
    {"Overflowing", "99999999999999999999999", -1, B19200},
};

class RateTable : public SerialPort, public testing::WithParamInterface<rate_case>
{
};

TEST_P(RateTable, SetsTheSpeedOrRefusesWithoutTouchingThePort)
{
    const rate_case &c = GetParam();
    // qemu-user passes terminal speeds up to B460800 on to the host and turns
    // faster ones into 0, so only a real target can show those.
    if (std::string_view(TARGET_EMULATOR).size() > 0 && c.result == 0 && c.speed > B460800)
        GTEST_SKIP() << "the emulator does not pass speeds above 460800 on to the host";
    ASSERT_EQ(serial_set_param("19200"), 0);
    errno = 0;
    EXPECT_EQ(serial_set_param(c.text), c.result);
    EXPECT_EQ(errno, 0);
    const termios t = attrs();
    EXPECT_EQ(cfgetospeed(&t), c.speed);
    EXPECT_EQ(cfgetispeed(&t), c.speed);
    EXPECT_EQ(local_errno, c.result < 0 ? ERR_COM_SPEED_NOT_SUPPORTED : ERR_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Rates, RateTable, testing::ValuesIn(rate_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(SerialPort, NullRateChangesNothing)
{
    termios before = attrs();
    before.c_iflag |= IXON | PARMRK;
    before.c_lflag |= ICANON;
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &before), 0);
    EXPECT_EQ(serial_set_param(nullptr), 0);
    const termios after = attrs();
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(cfgetospeed(&after), B9600);
}

TEST_F(SerialPort, SetsRawEightBitsAndKeepsTheRest)
{
    termios t = attrs();
    t.c_iflag |= IGNBRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXANY | IXOFF | PARMRK |
                 BRKINT | IGNPAR | IMAXBEL;
    t.c_oflag |= OPOST;
    t.c_cflag = (t.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS | HUPCL;
    t.c_cflag &= ~(CREAD | CLOCAL);
    t.c_lflag |= ISIG | ICANON | ECHO | ECHONL | NOFLSH | ECHOE | ECHOK | IEXTEN;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 3;
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);

    ASSERT_EQ(serial_set_param("38400"), 0);
    const termios a = attrs();
    EXPECT_EQ(a.c_iflag &
                  (IGNBRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXANY | IXOFF | PARMRK),
              0u);
    EXPECT_EQ(a.c_iflag & (BRKINT | IGNPAR | IMAXBEL), BRKINT | IGNPAR | IMAXBEL);
    EXPECT_EQ(a.c_oflag & OPOST, 0u);
    EXPECT_EQ(a.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL | HUPCL),
              CS8 | CREAD | CLOCAL | HUPCL);
    EXPECT_EQ(a.c_lflag & (ISIG | ICANON | ECHO | ECHONL | NOFLSH), 0u);
    EXPECT_EQ(a.c_lflag & (ECHOE | ECHOK | IEXTEN), ECHOE | ECHOK | IEXTEN);
    EXPECT_EQ(a.c_cc[VMIN], 1);
    EXPECT_EQ(a.c_cc[VTIME], 3);
    EXPECT_EQ(cfgetospeed(&a), B38400);
}

TEST_F(SerialPort, SetParamDiscardsPendingInput)
{
    ASSERT_TRUE(peer.send({1, 2, 3}));
    ASSERT_EQ(serial_wait_for_data(1000), 0);
    ASSERT_EQ(serial_set_param("9600"), 0);
    EXPECT_EQ(queued(), 0);
}

TEST_F(SerialPort, FFBytesArriveSingleAfterAPortHadParmrk)
{
    termios t = attrs();
    t.c_iflag |= PARMRK | INPCK;
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
    ASSERT_EQ(serial_set_param("115200"), 0);
    ASSERT_TRUE(peer.send({0xFF, 0x01, 0xFF, 0x00}));
    uint8_t buf[4] = {};
    ASSERT_EQ(serial_read(buf, 4), 4);
    EXPECT_EQ(bytes(buf, buf + 4), (bytes{0xFF, 0x01, 0xFF, 0x00}));
    EXPECT_EQ(serial_wait_for_data(20), -1);
}

TEST(SerialLatency, LowLatencyIsAskedForAndTheDriverFlagsPutBackOrItsRefusalIgnored)
{
    ptypeer::PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    const int others = 0x1000;
    for (bool refuses : {false, true}) {
        driver = fake_driver_t{true, refuses, others, {}};
        errno = 0;
        ASSERT_GE(serial_open(peer.slave_name().c_str()), 0);
        EXPECT_EQ(errno, 0) << "a refusal leaves no trace";
        EXPECT_EQ(serial_set_param("9600"), 0) << "the port works either way";
        EXPECT_EQ(serial_close(), 0);
        std::vector<std::pair<unsigned long, int>> want = {
            {TIOCGSERIAL, others}, {TIOCSSERIAL, others | ASYNC_LOW_LATENCY}};
        if (!refuses)
            want.emplace_back(TIOCSSERIAL, others); // put back before closing
        EXPECT_EQ(driver.log, want) << refuses;
        EXPECT_EQ(driver.flags, others);
    }
    driver = fake_driver_t{};
}

TEST(SerialClose, ClosesOnceAndOnlyWhatIsOpen)
{
    ptypeer::PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    EXPECT_EQ(serial_close(), -1);
    ASSERT_GE(serial_open(peer.slave_name().c_str()), 0);
    EXPECT_EQ(serial_close(), 0);
    EXPECT_EQ(serial_close(), -1);
    EXPECT_EQ(serial_open("/nonexistent/tty"), -1);
    EXPECT_EQ(serial_close(), -1);
    // Closed and opened again any number of times.
    for (int i = 0; i < 3; ++i) {
        ASSERT_GE(serial_open(peer.slave_name().c_str()), 0);
        EXPECT_EQ(serial_close(), 0);
    }
}

TEST_F(SerialPort, ReadOfNothingReturnsAtOnce)
{
    uint8_t b = 0;
    EXPECT_EQ(serial_read(&b, 0), 0);
    EXPECT_EQ(local_errno, ERR_SUCCESS);
}

TEST_F(SerialPort, SilenceAfterThreeOfFiveTimesOutAndKeepsThem)
{
    ASSERT_TRUE(peer.send({7, 8, 9}));
    uint8_t buf[5] = {};
    EXPECT_EQ(serial_read(buf, 5), -1);
    EXPECT_EQ(bytes(buf, buf + 3), (bytes{7, 8, 9}));
    EXPECT_EQ(reported(), "Target serial device does not respond (11)\n");
}

// Linux hangs the slave up when the master closes: poll reports it, read
// gives 0 (end of file, not EIO), and bytes still unread are thrown away, so
// the peer hangs up only once the port has taken both bytes.
TEST_F(SerialPort, HangUpAfterTwoOfFiveIsEndOfFile)
{
    peer.then_send({1, 2}).then_wait_consumed().then_hang_up().start();
    serial_set_timeout(5000);
    uint8_t buf[5] = {};
    EXPECT_EQ(serial_read(buf, 5), -1);
    peer.join();
    EXPECT_TRUE(peer.script_ok());
    EXPECT_EQ(bytes(buf, buf + 2), (bytes{1, 2}));
    EXPECT_EQ(reported(), "End-of-file while reading --> read 2 of 5 (13)\n");
}

// The second piece holds more than is still missing: the rest stays in the port.
TEST_F(SerialPort, ReadCollectsPiecesButNeverTakesMoreThanAsked)
{
    peer.then_send({1}).then_pause(20).then_send({2, 3, 4, 5, 6, 7, 8, 9, 10}).start();
    uint8_t buf[12];
    memset(buf, 0xEE, sizeof buf);
    ASSERT_EQ(serial_read(buf, 4), 4);
    peer.join();
    EXPECT_EQ(bytes(buf, buf + 6), (bytes{1, 2, 3, 4, 0xEE, 0xEE}));
    EXPECT_EQ(queued(), 6);
    ASSERT_EQ(serial_read(buf, 6), 6);
    EXPECT_EQ(bytes(buf, buf + 7), (bytes{5, 6, 7, 8, 9, 10, 0xEE}));
}

TEST_F(SerialPort, ReadThatFindsNothingAfterPollWaitsOn)
{
    ASSERT_TRUE(peer.send({0x42}));
    uint8_t b = 0;
    errno = 0;
    eagain_reads = 2;
    EXPECT_EQ(serial_read(&b, 1), 1);
    EXPECT_EQ(b, 0x42);
    EXPECT_EQ(errno, 0);
}

TEST_F(SerialPort, ReadThatNeverFindsAnythingTimesOut)
{
    ASSERT_TRUE(peer.send({0x42}));
    uint8_t b = 0;
    errno = 0;
    eagain_reads = 1 << 30;
    EXPECT_EQ(serial_read(&b, 1), -1);
    eagain_reads = 0;
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(reported(), "Target serial device does not respond (11)\n");
    EXPECT_EQ(queued(), 1);
}

// A readable wake-up descriptor (a signal handler's pipe) ends a wait at once,
// however long its time-out, as an interrupted system call: nothing recorded.
TEST_F(SerialPort, WakeUpDescriptorEndsAWaitAsAnInterruption)
{
    int p[2] = {-1, -1};
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "x", 1), 1);
    serial_set_wakeup(p[0]);
    serial_set_timeout(60000);
    uint8_t b = 0;
    errno = 0;
    EXPECT_EQ(serial_read(&b, 1), -1);
    EXPECT_EQ(errno, EINTR);
    EXPECT_EQ(local_errno, ERR_SUCCESS);
    serial_set_wakeup(-1);
    close(p[0]);
    close(p[1]);
    serial_set_timeout(10);
    EXPECT_EQ(serial_read(&b, 1), -1);
    EXPECT_EQ(reported(), "Target serial device does not respond (11)\n");
}

TEST_F(SerialPort, WaitForDataDoesNotConsume)
{
    EXPECT_EQ(serial_wait_for_data(10), -1);
    EXPECT_EQ(local_errno, ERR_SERIAL_TIMEOUT);
    ASSERT_TRUE(peer.send({0x5A}));
    EXPECT_EQ(serial_wait_for_data(1000), 0);
    EXPECT_EQ(serial_wait_for_data(0), 0);
    uint8_t b = 0;
    EXPECT_EQ(serial_read(&b, 1), 1);
    EXPECT_EQ(b, 0x5A);
}

struct line_case {
    const char *name;
    const char *input;
    int n;
    int result;
    const char *text;  // buffer contents on success
    const char *error; // report on failure
    const char *left;  // still in the port afterwards
};

const line_case line_cases[] = {
    {"CarriageReturnStays", "OK\r\n", 16, 4, "OK\r", "", ""},
    {"StopsAtTheFirstNewline", "A\nB\n", 16, 2, "A", "", "B\n"},
    {"EmptyLine", "\n", 16, 1, "", "", ""},
    {"NewlineAsLastFittingByte", "abc\n", 4, 4, "abc", "", ""},
    {"TooLong", "abcd\n", 4, -1, "", "Line too long --> expected line no longer than 4 (15)\n",
     "\n"},
    {"NoRoom", "x\n", 0, -1, "", "Line too long --> expected line no longer than 0 (15)\n", "x\n"},
    {"Silence", "ab", 16, -1, "", "Target serial device does not respond (11)\n", ""},
};

class ReadLine : public SerialPort, public testing::WithParamInterface<line_case>
{
};

TEST_P(ReadLine, ResultTextAndWhatIsLeft)
{
    const line_case &c = GetParam();
    const std::string in = c.input;
    ASSERT_TRUE(peer.send(bytes(in.begin(), in.end())));
    ASSERT_EQ(serial_wait_for_data(1000), 0);
    char str[20];
    memset(str, '#', sizeof str);
    EXPECT_EQ(serial_read_line(str, c.n), c.result);
    if (c.result > 0) {
        EXPECT_STREQ(str, c.text);
    } else {
        EXPECT_EQ(reported(), c.error);
    }
    if (c.n == 0) {
        EXPECT_EQ(str[0], '#') << "a buffer of size 0 was written";
    }
    EXPECT_EQ(str[c.n], '#') << "written past n";
    const std::string left = c.left;
    EXPECT_EQ(queued(), static_cast<int>(left.size()));
}

INSTANTIATE_TEST_SUITE_P(Lines, ReadLine, testing::ValuesIn(line_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(SerialPort, WritesReachThePeerWhole)
{
    bytes big(3000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(serial_write(big.data(), static_cast<int>(big.size())), 3000);
    EXPECT_EQ(peer.receive(big.size()), big);
    EXPECT_EQ(serial_write_line("AT\r"), 3);
    EXPECT_EQ(serial_write_line(""), 0);
    EXPECT_EQ(serial_write(big.data(), 0), 0);
    EXPECT_EQ(peer.drain(), (bytes{'A', 'T', '\r'}));
}

// More than a pseudo-terminal holds at once: the write waits for room as the
// peer reads, and gives up after the time-out when the peer stops reading.
TEST_F(SerialPort, WriteWaitsForRoomButNotForEver)
{
    bytes big(1 << 20);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i * 13);
    peer.then_expect(big.size()).start();
    EXPECT_EQ(serial_write(big.data(), static_cast<int>(big.size())), static_cast<int>(big.size()));
    peer.join();
    EXPECT_TRUE(peer.received() == big);

    errno = 0;
    EXPECT_EQ(serial_write(big.data(), static_cast<int>(big.size())), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(local_errno, ERR_SUCCESS);
    const size_t taken = peer.drain().size();
    EXPECT_GT(taken, 0u);
    EXPECT_LT(taken, big.size());
    errno = 0;
}

TEST(SerialWrite, FailureOnAClosedPortKeepsErrnoAndRecordsNothing)
{
    const uint8_t b = 0;
    reported();
    EXPECT_EQ(serial_write(&b, 1), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(local_errno, ERR_SUCCESS);
    errno = 0;
}

TEST_F(SerialPort, FlushDiscardsUnreadInput)
{
    ASSERT_TRUE(peer.send({1, 2, 3}));
    EXPECT_EQ(serial_wait_for_data(1000), 0);
    EXPECT_EQ(serial_flush(), 0);
    EXPECT_EQ(serial_wait_for_data(20), -1);
}

} // namespace
