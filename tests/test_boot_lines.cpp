// The --boot and --run sequences: the parser, the order and timing of the
// steps around synchronisation through recorded modem and GPIO lines, and the
// failures of the kestrel binary against the simulator.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include "boot-lines.h"
#include "bootsim.h"
#include "error.h"
#include "fake-lines.h"
#include "images.h"
#include "kestrel-stages.h"
#include "kestrel.h"
#include "process.h"
#include "pty-peer.h"
#include "serial-linux.h"

namespace
{

// The steps of a parsed sequence written back, comma-separated.
std::string steps_of(const boot_seq_t &seq)
{
    std::string s;
    for (int i = 0; i < seq.count; ++i) {
        char buf[128];
        format_step(&seq.steps[i], buf, sizeof buf);
        if (i != 0)
            s += ',';
        s += buf;
    }
    return s;
}

// The pending error as local_perror prints it, and the module reset.
std::string reported()
{
    errno = 0;
    testing::internal::CaptureStderr();
    local_perror(nullptr);
    return testing::internal::GetCapturedStderr();
}

struct ParseCase {
    const char *name;
    std::string text;
    std::string result; // the steps written back, or the error line
};

void PrintTo(const ParseCase &c, std::ostream *os)
{
    *os << c.name;
}

const std::string chip63(63, 'c');
std::string bad(const std::string &detail)
{
    return "Invalid option value for option --boot: " + detail + " (4)\n";
}

const std::vector<ParseCase> parse_cases = {
    {"ModemLines", "dtr=0,dtr=1,rts=0,rts=1", "dtr=0,dtr=1,rts=0,rts=1"},
    {"TimeLimits", "break=1,break=60000,wait=0,wait=60000",
     "break=1,break=60000,wait=0,wait=60000"},
    {"LeadingZerosAreDecimal", "wait=010,gpio=c:007=1", "wait=10,gpio=c:7=1"},
    {"GpioChipForms", "gpio=gpiochip0:17=0,gpio=/dev/gpiochip1:0=1,gpio=2:65535=1",
     "gpio=gpiochip0:17=0,gpio=/dev/gpiochip1:0=1,gpio=2:65535=1"},
    {"ChipUpToTheLastColon", "gpio=a:b=c:5=0", "gpio=a:b=c:5=0"},
    {"ChipOf63Characters", "gpio=" + chip63 + ":1=1", "gpio=" + chip63 + ":1=1"},
    {"EmptySequence", "", bad("empty sequence")},
    {"EmptyLastStep", "dtr=1,", bad("step 2 is empty")},
    {"UnknownStep", "dtr=1,reset=1",
     bad("step 2 'reset=1': unknown step (dtr, rts, break, wait or gpio)")},
    {"SpaceIsNotAllowed", "dtr=1, rts=1",
     bad("step 2 ' rts=1': unknown step (dtr, rts, break, wait or gpio)")},
    {"NoValue", "dtr", bad("step 1 'dtr': missing value")},
    {"LevelTwo", "dtr=2", bad("step 1 'dtr=2': the level must be 0 or 1")},
    {"BreakOfNoTime", "break=0", bad("step 1 'break=0': milliseconds must be 1 to 60000")},
    {"WaitTooLong", "wait=60001", bad("step 1 'wait=60001': milliseconds must be 0 to 60000")},
    {"WaitBeyondThirtyTwoBits", "wait=99999999999999999999",
     bad("step 1 'wait=99999999999999999999': milliseconds must be 0 to 60000")},
    {"NegativeWait", "wait=-1", bad("step 1 'wait=-1': milliseconds must be a decimal number")},
    {"GpioWithoutLine", "gpio=gpiochip0",
     bad("step 1 'gpio=gpiochip0': expected gpio=CHIP:LINE=0 or gpio=CHIP:LINE=1")},
    {"GpioWithoutChip", "gpio=:1=1",
     bad("step 1 'gpio=:1=1': expected gpio=CHIP:LINE=0 or gpio=CHIP:LINE=1")},
    {"GpioWithoutOffset", "gpio=c:=1",
     bad("step 1 'gpio=c:=1': expected gpio=CHIP:LINE=0 or gpio=CHIP:LINE=1")},
    {"GpioWithoutLevel", "gpio=c:1",
     bad("step 1 'gpio=c:1': expected gpio=CHIP:LINE=0 or gpio=CHIP:LINE=1")},
    {"GpioOffsetTooLarge", "gpio=c:65536=1",
     bad("step 1 'gpio=c:65536=1': the line offset must be 0 to 65535")},
    {"GpioOffsetNotANumber", "gpio=c:x=1",
     bad("step 1 'gpio=c:x=1': the line offset must be a decimal number")},
    {"GpioLevelTwo", "gpio=c:1=2", bad("step 1 'gpio=c:1=2': the level must be 0 or 1")},
    {"ChipOf64Characters", "gpio=" + chip63 + "c:1=1",
     bad("step 1 'gpio=" + chip63 + "c:1=1': chip longer than 63 characters")},
    {"FirstBadStepIsNamed", "wait=5,foo,wait=x",
     bad("step 2 'foo': unknown step (dtr, rts, break, wait or gpio)")},
};

class ParseSequence : public testing::TestWithParam<ParseCase>
{
};

TEST_P(ParseSequence, StepsOrTheFirstBadOne)
{
    const ParseCase &c = GetParam();
    boot_seq_t seq{-1, nullptr};
    const int r = parse_sequence(c.text.c_str(), "--boot", &seq);
    if (r == 0) {
        EXPECT_EQ(steps_of(seq), c.result);
        free(seq.steps);
    } else {
        EXPECT_EQ(r, -1);
        EXPECT_EQ(reported(), c.result);
        EXPECT_EQ(seq.count, -1) << "a refused sequence leaves the record alone";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ParseSequence, testing::ValuesIn(parse_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- The steps on recorded lines ---------------------------------------------

boot_seq_t parsed(const char *text)
{
    boot_seq_t seq{};
    EXPECT_EQ(parse_sequence(text, "--boot", &seq), 0) << text;
    return seq;
}

// Counts the openings of a device from now on.
class OpenCounter
{
  public:
    explicit OpenCounter(const std::string &path) : fd(inotify_init1(IN_NONBLOCK))
    {
        inotify_add_watch(fd, path.c_str(), IN_OPEN);
    }
    ~OpenCounter() { close(fd); }
    int count()
    {
        alignas(inotify_event) char buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) {
            for (char *p = buf; p < buf + n;
                 p += sizeof(inotify_event) + reinterpret_cast<inotify_event *>(p)->len)
                ++opens;
        }
        return opens;
    }

  private:
    int fd;
    int opens = 0;
};

class Lines : public testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(peer.ok());
        setvbuf(stdout, nullptr, _IONBF, 0);
        fakelines::reset();
        fakelines::add_chip("gpiochip0", "board", 32);
        snprintf(cfg.device, sizeof cfg.device, "%s", peer.slave_name().c_str());
    }
    void TearDown() override
    {
        serial_close();
        fakelines::reset();
    }

    ptypeer::PtyPeer peer;
};

TEST_F(Lines, BootStepsRunInOrderAndTimeBeforeTheFirstSynchronisationByte)
{
    fakelines::watch_port(peer.slave_name());
    OpenCounter opens(peer.slave_name());
    // Serial ports start with HUPCL; a pseudo-terminal is given it here.
    termios ti{};
    ASSERT_EQ(tcgetattr(peer.master_fd(), &ti), 0);
    ti.c_cflag |= HUPCL;
    ASSERT_EQ(tcsetattr(peer.master_fd(), TCSANOW, &ti), 0);
    double first_byte = -1;
    peer.then_expect(1)
        .then_call([&](ptypeer::PtyPeer &) { first_byte = fakelines::now(); })
        .then_send({0x00})
        .then_expect(1)
        .then_send({0xE6})
        .start();

    const boot_seq_t boot =
        parsed("rts=1,gpio=gpiochip0:17=0,dtr=1,wait=40,dtr=0,break=25,gpio=0:17=1,wait=10");
    testing::internal::CaptureStdout();
    EXPECT_EQ(boot_sequence(&boot, cfg.device), 0);
    EXPECT_EQ(adjust_baud_rate(cfg.device), 0);
    peer.join();
    const double synchronised = fakelines::now();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\rRetry  0\rBaud rate has been adjusted\n");
    EXPECT_TRUE(peer.script_ok());
    EXPECT_EQ(peer.received(), (std::vector<uint8_t>{0x00, 0x55}));

    // The number form names the same chip: its line is set, not requested again.
    EXPECT_EQ(fakelines::whats(),
              (std::vector<std::string>{"rts=1", "request gpiochip0:17=0 by kestrel", "dtr=1",
                                        "dtr=0", "break on", "break off", "set gpiochip0:17=1"}));
    EXPECT_GE(fakelines::time_of("dtr=0") - fakelines::time_of("dtr=1"), 40);
    EXPECT_GE(fakelines::time_of("break off") - fakelines::time_of("break on"), 25);
    EXPECT_GE(first_byte - fakelines::time_of("set gpiochip0:17=1"), 10);

    // The synchronisation's close and reopen kept the port that holds the
    // lines: one opening, no HUPCL, so the levels never dropped.
    EXPECT_EQ(opens.count(), 1);
    ASSERT_EQ(tcgetattr(peer.master_fd(), &ti), 0);
    EXPECT_EQ(ti.c_cflag & HUPCL, 0u);

    // The run sequence drives the same lines on the open port; nothing is
    // ever released.
    const boot_seq_t run = parsed("gpio=board:17=0,wait=5,gpio=/dev/gpiochip0:17=1,dtr=1,rts=0");
    testing::internal::CaptureStdout();
    EXPECT_EQ(run_sequence(&run), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    const auto w = fakelines::whats();
    EXPECT_EQ(
        std::vector<std::string>(w.begin() + 7, w.end()),
        (std::vector<std::string>{"set gpiochip0:17=0", "set gpiochip0:17=1", "dtr=1", "rts=0"}));
    EXPECT_GE(fakelines::time_of("set gpiochip0:17=1") - synchronised, 5);
    EXPECT_EQ(serial_close(), 0);
    EXPECT_EQ(opens.count(), 1);
    free(boot.steps);
    free(run.steps);
}

// A step that cannot be carried out ends the sequence there, with nothing sent.
TEST_F(Lines, AFailingStepEndsTheSequenceBeforeAnyByte)
{
    fakelines::watch_port(peer.slave_name());
    fakelines::hold_line_elsewhere("gpiochip0", 31);
    const struct {
        const char *seq, *message;
        std::vector<std::string> events;
    } cases[] = {
        {"dtr=1,gpio=board:32=1,rts=1",
         "step 2 'gpio=board:32=1': GPIO chip 'board' has no line 32",
         {"dtr=1"}},
        {"gpio=gpiochip0:31=0,dtr=0",
         "step 1 'gpio=gpiochip0:31=0': line 31 of GPIO chip 'gpiochip0' cannot be requested: "
         "Device or resource busy",
         {}},
    };
    for (const auto &c : cases) {
        fakelines::reset();
        fakelines::watch_port(peer.slave_name());
        const boot_seq_t seq = parsed(c.seq);
        testing::internal::CaptureStdout();
        EXPECT_EQ(boot_sequence(&seq, cfg.device), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "Failed to run the boot sequence: " + std::string(c.message) + "\n");
        EXPECT_EQ(fakelines::whats(), c.events);
        free(seq.steps);
        serial_close(); // as main does after a failed stage; the next case opens afresh
    }
    EXPECT_TRUE(peer.drain(50).empty());
}

// ---- The program against the simulator ------------------------------------------

struct RunCase {
    const char *name;
    std::vector<std::string> args; // after -s and -i
    int status;                    // 253: nothing reaches the line; 255: the image does not fit
    std::string tail;              // the end of standard output; DEV stands for the device
};

void PrintTo(const RunCase &c, std::ostream *os)
{
    *os << c.name;
}

class Program : public testing::TestWithParam<RunCase>
{
};

TEST_P(Program, EndsAsTheSequencesSay)
{
    const RunCase &c = GetParam();
    testimg::TempDir dir;
    bootsim::Sim sim;
    ASSERT_TRUE(sim.start());
    std::vector<std::string> args = {"-s", sim.slave_path(), "-i",
                                     dir.write("fw.bin", std::string(256, 'Z')) +
                                         (c.status == 255 ? ",0x7FF80" : ",0x1000")};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const testproc::Result r = testproc::kestrel(args, 60000);
    sim.stop();
    std::string tail = c.tail;
    if (tail.find("DEV") != std::string::npos)
        tail.replace(tail.find("DEV"), 3, sim.slave_path());
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_EQ(r.err, "");
    ASSERT_GE(r.out.size(), tail.size()) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    EXPECT_EQ(r.out.find("sequence") != std::string::npos,
              tail.find("sequence") != std::string::npos);
    if (c.status == 253)
        EXPECT_EQ(sim.stats().bytes_rx, 0u);
    else
        EXPECT_EQ(sim.programmed_units().empty(), c.status == 255);
}

const std::string no_chip = "kestrel-test-no-such-chip";
const std::string not_found = "no GPIO chip '" + no_chip + "' (No such file or directory)";

INSTANTIATE_TEST_SUITE_P(
    Cases, Program,
    testing::Values(
        RunCase{"ModemLinesOnAPseudoTerminal",
                {"--boot", "dtr=1"},
                253,
                "Baud rate 9600 has been set\nFailed to run the boot sequence: step 1 'dtr=1': "
                "DEV has no modem lines (Inappropriate ioctl for device)\n"
                "Failed to adjust baud rate\n"},
        RunCase{"ChipThatDoesNotExist",
                {"--boot=wait=1,gpio=" + no_chip + ":0=1"},
                253,
                "Baud rate 9600 has been set\nFailed to run the boot sequence: step 2 'gpio=" +
                    no_chip + ":0=1': " + not_found + "\nFailed to adjust baud rate\n"},
        RunCase{"RunSequenceFailsAfterTheUpgrade",
                {"--run", "wait=1,gpio=" + no_chip + ":3=0", "-v"},
                245,
                "\rVerifying: 100%\nFailed to run the run sequence: step 2 'gpio=" + no_chip +
                    ":3=0': " + not_found + "; the flash upgrade itself is complete\n"},
        RunCase{"NoRunSequenceAfterAFailure",
                {"--run", "gpio=" + no_chip + ":3=0"},
                255,
                "Error: address 0x80080 is invalid, image is out of range\n"}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
