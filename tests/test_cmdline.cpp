// The program's command line, run as a process: what it prints on each
// stream and the status it exits with, up to the opening of the serial port.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "process.h"

namespace
{

const std::string usage_text =
    "TALVEN-H8S serial upgrade utility.\n"
    "Usage: kestrel [-f freq] -s device[:baudrate] -i image[,start] [-v]\n"
    "Options:\n"
    " -f: H8S frequency divided by 10000\n"
    " -s: serial device and baudrate\n"
    " -i: image file (BIN or MOT) and start address (for BIN)\n"
    " -v: verify flash content after programming\n"
    " -i: also Intel HEX (.hex, .ihex) and ELF (.elf) image files\n"
    " -s: baudrate auto picks the fastest rate the clock allows\n"
    " -q: no progress percentages or retry counters\n"
    " --sum-check: compare the device's sum of the whole flash\n"
    " --read-size: bytes per memory read when verifying\n"
    " --boot: steps that start the H8S in boot mode\n"
    " --run: steps that restart the H8S after the upgrade\n"
    " --events: JSON Lines record of the run to a file or fd:N\n"
    " --skip-blank: neither program nor erase units that are all 0xFF\n"
    " --version: print the version\n"
    " --retries: recover up to N line faults per command (1 to 100)\n"
    " --trace: log every byte on the serial line to a file\n"
    " --journal: record the upgrade in a directory that survives a power cut\n"
    " --resume: complete the upgrade the journal holds as pending\n"
    " --if-changed: no upgrade when the journal shows these images done\n"
    "\n"; // the newline puts adds

const std::string no_images = "Command line error: No images specified (16)\n";
const std::string no_interface = "Command line error: No serial interface specified (17)\n";
const std::string invalid_value = "Command line error: Invalid option value (4)\n";
const std::string start_too_wide = "Command line error: Invalid option value for option --image: "
                                   "start address does not fit in 32 bits (4)\n";

// A device path that cannot be opened: the run stops at the first stage.
const std::string no_port = "/nonexistent/tty";
const std::string failed_open = "Baud rate 9600 has been set\n"
                                "\rRetry  0\r"
                                "Failed to open port /nonexistent/tty\n"
                                "Failed to adjust baud rate\n";

std::string warn_start(const std::string &offset, const std::string &name)
{
    return "Warning: start address " + offset + " is ignored for s-record file '" + name + "'\n";
}
std::string warn_ignored(const std::string &offset, const char *format, const std::string &name)
{
    return "Warning: start address " + offset + " is ignored for " + format + " file '" + name +
           "'\n";
}
std::string warn_no_start(const std::string &name)
{
    return "Warning: no start address is defined for '" + name + "', assuming 0\n";
}

struct CmdCase {
    std::string name;
    std::vector<std::string> args;
    std::string out;
    std::string err;
    int status;
};

void PrintTo(const CmdCase &c, std::ostream *os)
{
    *os << c.name;
}

const std::string dev63(63, 'd');
const std::string rate31(31, '9');
const std::string img255 = std::string(251, 'i') + ".bin";

const std::vector<CmdCase> cmd_cases = {
    {"NoArguments", {}, usage_text, no_images, 254},
    {"ImageWithoutSerial", {"-i", "a.mot"}, usage_text, no_interface, 254},
    {"SerialWithoutImage", {"-s", "/dev/ttyS0"}, usage_text, no_images, 254},
    {"NeitherReportsTheImage", {"-v"}, usage_text, no_images, 254},
    {"UnknownOption",
     {"-x", "-s", no_port, "-i", "a.mot"},
     usage_text,
     "Command line error: Unknown option: -x (2)\n",
     254},
    {"HelpShort", {"-?"}, usage_text, "", 0},
    {"HelpLong", {"--help"}, usage_text, "", 0},
    {"HelpStopsTheParse", {"-v", "-?", "-x"}, usage_text, "", 0},
    {"ErrorBeforeHelpWins",
     {"-x", "-?"},
     usage_text,
     "Command line error: Unknown option: -x (2)\n",
     254},
    {"ParseStopsAtFirstArgument",
     {"-s", "/dev/ttyS0", "a.mot", "-i", "b.mot"},
     usage_text,
     no_images,
     254},
    {"StartAddressOfSrecordIgnored",
     {"-i", "fw.mot,0x1000"},
     warn_start("4096", "fw.mot") + usage_text,
     no_interface,
     254},
    {"BinaryWithoutStartAddress",
     {"-i", "fw.bin"},
     warn_no_start("fw.bin") + usage_text,
     no_interface,
     254},
    {"BinaryWithStartAddress", {"-i", "fw.bin,0x8000"}, usage_text, no_interface, 254},
    {"BinaryWithEmptyStartAddress",
     {"-i", "fw.bin,"},
     warn_no_start("fw.bin") + usage_text,
     no_interface,
     254},
    {"WarningsInCommandLineOrder",
     {"-i", "a.bin", "--image=b.mot,010", "-ic.MOT"},
     warn_no_start("a.bin") + warn_start("8", "b.mot") + warn_no_start("c.MOT") + usage_text,
     no_interface,
     254},
    // Start numbers: 32 bits, unsigned or negative, the same on every host.
    {"StartAddressNegative",
     {"-i", "fw.mot,-1"},
     warn_start("4294967295", "fw.mot") + usage_text,
     no_interface,
     254},
    {"StartAddressLowest",
     {"-i", "fw.mot,-2147483648"},
     warn_start("2147483648", "fw.mot") + usage_text,
     no_interface,
     254},
    {"StartAddressHighest", {"-i", "fw.bin,0xFFFFFFFF"}, usage_text, no_interface, 254},
    {"StartAddressAbove32Bits", {"-i", "fw.mot,0x100000000"}, usage_text, start_too_wide, 254},
    {"BinaryStartAddressAbove32Bits",
     {"-i", "fw.bin,0x100000000"},
     usage_text,
     start_too_wide,
     254},
    {"StartAddressBelow32Bits", {"-i", "fw.bin,-2147483649"}, usage_text, start_too_wide, 254},
    {"StartAddressBeyond64Bits",
     {"-i", "fw.bin,99999999999999999999", "-s", no_port},
     usage_text,
     start_too_wide,
     254},
    {"FormatByEndOfName",
     {"-i", "fw.hex,0x10", "-i", "b.ihex,7", "-i", "c.elf,1", "-i", "e.elf", "-i", ".hex", "-i",
      ".ihex,", "-i", ".elf", "-i", "d.HEX", "-i", "f.hex.bin"},
     warn_ignored("16", "intel-hex", "fw.hex") + warn_ignored("7", "intel-hex", "b.ihex") +
         warn_ignored("1", "elf", "c.elf") + warn_no_start(".hex") + warn_no_start(".ihex") +
         warn_no_start(".elf") + warn_no_start("d.HEX") + warn_no_start("f.hex.bin") + usage_text,
     no_interface,
     254},
    {"ReadSizeZero",
     {"-s", no_port, "-i", "a.mot", "--read-size", "0"},
     usage_text,
     "Command line error: Invalid option value for option --read-size: 0 is not from 1 to 65536 "
     "(4)\n",
     254},
    {"ReadSizeAbove64KiB",
     {"-s", no_port, "-i", "a.mot", "--read-size=65537"},
     usage_text,
     "Command line error: Invalid option value for option --read-size: 65537 is not from 1 to "
     "65536 (4)\n",
     254},
    {"ReadSizeOverflowingIsNoSystemError",
     {"-s", no_port, "-i", "a.mot", "--read-size", "99999999999999999999999"},
     usage_text,
     "Command line error: Invalid option value for option --read-size: 99999999999999999999999 is "
     "not from 1 to 65536 (4)\n",
     254},
    {"RetriesZero",
     {"-s", no_port, "-i", "a.mot", "--retries", "0"},
     usage_text,
     "Command line error: Invalid option value for option --retries: 0 is not from 1 to 100 (4)\n",
     254},
    {"RetriesAbove100",
     {"-s", no_port, "-i", "a.mot", "--retries=101"},
     usage_text,
     "Command line error: Invalid option value for option --retries: 101 is not from 1 to 100 "
     "(4)\n",
     254},
    {"TraceFileCannotBeOpened",
     {"-s", no_port, "-i", "a.mot", "--trace", "/nonexistent/dir/trace"},
     usage_text,
     "Command line error: Invalid option value for option --trace: cannot open "
     "/nonexistent/dir/trace: No such file or directory (4)\n",
     254},
    {"EventsFileCannotBeOpened",
     {"-s", no_port, "-i", "a.mot", "--events", "/nonexistent/dir/run.jsonl"},
     usage_text,
     "Command line error: Invalid option value for option --events: cannot write to "
     "/nonexistent/dir/run.jsonl: No such file or directory (4)\n",
     254},
    {"EventsDescriptorNotOpen",
     {"-s", no_port, "-i", "a.mot", "--events", "fd:99"},
     usage_text,
     "Command line error: Invalid option value for option --events: cannot write to fd:99: Bad "
     "file descriptor (4)\n",
     254},
    {"SerialWithoutDevice", {"-s", ":115200", "-i", "a.mot"}, usage_text, invalid_value, 254},
    {"ImageWithoutName", {"-i", ",100", "-s", no_port}, usage_text, invalid_value, 254},
    {"DeviceOf64Characters",
     {"-s", dev63 + "d", "-i", "a.mot"},
     usage_text,
     "Command line error: Invalid option value for option --serial: device name longer than 63 "
     "characters (4)\n",
     254},
    {"RateOf32Characters",
     {"-s", "/dev/ttyS0:" + rate31 + "9", "-i", "a.mot"},
     usage_text,
     "Command line error: Invalid option value for option --serial: baud rate longer than 31 "
     "characters (4)\n",
     254},
    {"ImageNameOf256Characters",
     {"-i", "i" + img255, "-s", no_port},
     usage_text,
     "Command line error: Invalid option value for option --image: file name longer than 255 "
     "characters (4)\n",
     254},
    {"ImageNameOf255Characters", {"-i", img255 + ",0"}, usage_text, no_interface, 254},
    {"RestOfGroupIsFrequency",
     {"-fv", "-s", no_port, "-i", "a.mot"},
     usage_text,
     "Command line error: Invalid option value for option --frequency: v (4)\n",
     254},
    {"VerifyTakesNoValue",
     {"--verify=yes", "-s", no_port, "-i", "a.mot"},
     usage_text,
     "Command line error: Option accepts no arguments: --verify=yes (5)\n",
     254},
    {"SerialWithoutValue",
     {"-i", "a.mot", "-s"},
     usage_text,
     "Command line error: Not enough arguments for an option: --serial (3)\n",
     254},
    // A malformed sequence is refused before the port is opened.
    {"MalformedBootSequence",
     {"--boot", "dtr=1,wait=70000", "-s", no_port, "-i", "a.mot"},
     usage_text,
     "Command line error: Invalid option value for option --boot: step 2 'wait=70000': "
     "milliseconds must be 0 to 60000 (4)\n",
     254},
    {"MalformedRunSequence",
     {"-s", no_port, "-i", "a.mot", "--run=gpio=gpiochip0:17"},
     usage_text,
     "Command line error: Invalid option value for option --run: step 1 'gpio=gpiochip0:17': "
     "expected gpio=CHIP:LINE=0 or gpio=CHIP:LINE=1 (4)\n",
     254},
    // Runs that get past the command line and stop at the port.
    {"PortCannotBeOpened", {"-s", no_port, "-i", "a.mot"}, failed_open, "", 253},
    {"SynchronisationAlwaysAt9600",
     {"-s", no_port + ":115200", "-vi", "a.mot"},
     failed_open,
     "",
     253},
    {"LeftoverArgumentsIgnored",
     {"-i", "a.mot", "--serial=" + no_port, "--", "-x", "junk"},
     failed_open,
     "",
     253},
    {"DeviceOf63Characters",
     {"-s", dev63 + ":" + rate31, "-i", "a.mot"},
     "Baud rate 9600 has been set\n\rRetry  0\rFailed to open port " + dev63 +
         "\nFailed to adjust baud rate\n",
     "",
     253},
};

class CommandLine : public testing::TestWithParam<CmdCase>
{
};

TEST_P(CommandLine, PrintsAndExits)
{
    const CmdCase &c = GetParam();
    testproc::Result r = testproc::kestrel(c.args, 10000);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, c.status);
}

INSTANTIATE_TEST_SUITE_P(Cases, CommandLine, testing::ValuesIn(cmd_cases),
                         [](const auto &info) { return info.param.name; });

// Both streams into one pipe: the warnings, written while standard output was
// still buffered, come out ahead of the error report.
TEST(CommandLineOrder, WarningsPrecedeTheErrorReport)
{
    std::vector<std::string> args{"-c", "exec \"$@\" -i fw.bin -x 2>&1", "sh"};
    for (const std::string &word : testproc::target_command(KESTREL_BIN))
        args.push_back(word);
    testproc::Result r = testproc::run("/bin/sh", args, 10000);
    EXPECT_EQ(r.out, warn_no_start("fw.bin") + "Command line error: Unknown option: -x (2)\n" +
                         usage_text);
    EXPECT_EQ(r.status, 254);
}

} // namespace
