// Whole upgrades: the kestrel binary against the simulated boot program over a
// pseudo-terminal, from the command line to the exit status and the flash.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bootsim.h"
#include "elf-image.h"
#include "images.h"
#include "process.h"
#include "sim-client.h"

namespace
{

using Bytes = std::vector<uint8_t>;
using testimg::Region;

constexpr uint32_t kFlash = 512 * 1024;
constexpr uint32_t kUnit = 128;

// Data in block 0, across the boundary of blocks 1 and 2, inside block 8 (32
// KiB) and at the very end of the flash (block 15).
std::vector<Region> sample_regions()
{
    return {{0x00000, testimg::pattern(256, 1)},
            {0x01F80, testimg::pattern(256, 2)},
            {0x09010, testimg::pattern(1000, 3)},
            {0x7FF00, testimg::pattern(256, 4)}};
}
const std::set<unsigned> kSampleBlocks = {0, 1, 2, 8, 15};

// The flash copy the tool builds: 0xFF but where the regions put data.
Bytes image_copy(const std::vector<Region> &regions)
{
    Bytes copy(kFlash, 0xFF);
    for (const Region &r : regions)
        std::copy(r.data.begin(), r.data.end(), copy.begin() + r.address);
    return copy;
}

std::set<uint32_t> pages_of(const std::vector<Region> &regions)
{
    std::set<uint32_t> pages;
    for (const Region &r : regions)
        for (uint32_t a = r.address; a < r.address + r.data.size(); ++a)
            pages.insert(a / kUnit);
    return pages;
}

std::string progress(const char *what, const std::set<uint32_t> &pages, uint32_t used, bool quiet)
{
    std::string s;
    if (quiet)
        return "\n";
    uint32_t bytes = 0;
    char buf[64];
    for (size_t i = 0; i < pages.size(); ++i) {
        bytes += kUnit;
        snprintf(buf, sizeof buf, "\r%s: %u%%", what, bytes * 100 / used);
        s += buf;
    }
    return s + "\n";
}

// The image file of the regions in a format: "s-record", "intel-hex" or "elf".
std::string write_image(const testimg::TempDir &dir, const std::string &format,
                        const std::vector<Region> &regions)
{
    if (format == "intel-hex")
        return dir.write("fw.hex", testimg::ihex(regions));
    if (format == "elf") {
        std::vector<testelf::Segment> segments;
        for (const Region &r : regions)
            segments.push_back(
                {PT_LOAD, r.address, r.address, r.data, static_cast<uint32_t>(r.data.size())});
        const std::string path = dir.path() + "/fw.elf";
        return testelf::write(path, segments) ? path : "";
    }
    return dir.write("fw.mot", testimg::srec(regions));
}

// Everything a successful run prints.
std::string success_output(const std::string &device, const std::string &rate,
                           const std::string &image, const std::vector<Region> &regions,
                           bool verify, bool quiet, const std::string &format = "s-record")
{
    uint32_t used = 0;
    for (const Region &r : regions)
        used += static_cast<uint32_t>(r.data.size());
    std::string s = std::string("Baud rate 9600 has been set\n") + (quiet ? "" : "\rRetry  0\r") +
                    "Baud rate has been adjusted\n"
                    "Found 1 device: ascii code \"3K64\", name \"H8S-SIM\"\n"
                    "Device \"3K64\" selected\n"
                    "Baud rate " +
                    rate +
                    " has been set\n"
                    "New baud rate has been acknowledged by H8S\n"
                    "Entering programming state... ok\n"
                    "Parsing " +
                    image + " " + format + "... ok\n";
    s += "\nProgramming parameters:\n\tDevice: " + device + "\n\tBaud rate: " + rate +
         " baud\n\tFrequency: 29490000 Hz\n\tMemory size: 524288 bytes\n"
         "\tProgramming unit size: 128 bytes\n\tBytes to program: " +
         std::to_string(used) + " bytes\n\n";
    s += "Erasing: ";
    for (int i = 1; i <= 16 && !quiet; ++i)
        s += "\rErasing: " + std::to_string(i * 100 / 16) + "%";
    s += "\n";
    s += progress("Upgrading", pages_of(regions), used, quiet);
    if (verify)
        s += progress("Verifying", pages_of(regions), used, quiet);
    return s;
}

class Upgrade : public ::testing::Test
{
  protected:
    void start(bootsim::Device dev = bootsim::Device{})
    {
        sim = std::make_unique<bootsim::Sim>(dev);
        for (const auto &f : faults)
            sim->add_fault(f);
        ASSERT_TRUE(sim->start());
    }
    testproc::Result run(std::vector<std::string> args, int timeout_ms = 120000)
    {
        // As a service starts it: a session leader without a controlling terminal.
        if (as_service) {
            std::vector<std::string> words = testproc::target_command(KESTREL_BIN);
            words.insert(words.begin(), "-w");
            args.insert(args.begin(), words.begin(), words.end());
        }
        auto r = as_service ? testproc::run("/usr/bin/setsid", args, timeout_ms)
                            : testproc::kestrel(args, timeout_ms);
        EXPECT_FALSE(r.timed_out) << r.out;
        EXPECT_EQ(r.signal, 0) << r.out << r.err;
        return r;
    }
    std::string device(const std::string &rate = "")
    {
        return rate.empty() ? sim->slave_path() : sim->slave_path() + ":" + rate;
    }

    testimg::TempDir dir;
    std::vector<bootsim::FaultSpec> faults;
    std::unique_ptr<bootsim::Sim> sim;
    bool as_service = false;
};

struct RateCase {
    const char *rate;
    bool verify;
    bool quiet = false;
    const char *format = "s-record";
};

class FullUpgrade : public Upgrade, public ::testing::WithParamInterface<RateCase>
{
};

TEST_P(FullUpgrade, ProgramsExactlyTheImageAndPrintsEveryStage)
{
    const RateCase &c = GetParam();
    const auto regions = sample_regions();
    const std::string image = write_image(dir, c.format, regions);
    bootsim::Device dev;
    dev.keep_content = true; // the flash shows which blocks kestrel erased
    start(dev);
    std::vector<std::string> args = {"-s", device(c.rate), "-i", image};
    if (c.verify)
        args.push_back("-v");
    if (c.quiet)
        args.push_back("--quiet");
    auto r = run(args);
    sim->stop();

    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, success_output(sim->slave_path(), c.rate, image, regions, c.verify, c.quiet,
                                    c.format));
    EXPECT_EQ(sim->erased_blocks(), kSampleBlocks);

    std::set<uint32_t> units;
    for (uint32_t p : pages_of(regions))
        units.insert(p * kUnit);
    EXPECT_EQ(sim->programmed_units(), units);

    // Erased blocks hold 0xFF, programmed pages the image (0xFF where it has no
    // data), every other block what it held before.
    const auto blocks = bootsim::erase_blocks_of(bootsim::Device{});
    Bytes want = sim->initial_flash();
    for (unsigned b : kSampleBlocks)
        std::fill(want.begin() + blocks[b].start, want.begin() + blocks[b].end + 1, 0xFF);
    const Bytes copy = image_copy(regions);
    for (uint32_t u : units)
        std::copy(copy.begin() + u, copy.begin() + u + kUnit, want.begin() + u);
    EXPECT_TRUE(sim->flash() == want);
}

INSTANTIATE_TEST_SUITE_P(Rates, FullUpgrade,
                         ::testing::Values(RateCase{"9600", false}, RateCase{"115200", true},
                                           RateCase{"460800", false}, RateCase{"460800", true},
                                           RateCase{"115200", true, true},
                                           RateCase{"115200", true, false, "intel-hex"},
                                           RateCase{"460800", true, false, "elf"}),
                         [](const auto &info) {
                             std::string name = std::string("At") + info.param.rate +
                                                (info.param.verify ? "Verified" : "") +
                                                (info.param.quiet ? "Quiet" : "");
                             for (char c : std::string(info.param.format))
                                 if (isalpha(static_cast<unsigned char>(c)))
                                     name += c;
                             return name;
                         });

TEST_F(Upgrade, BinaryAndSrecordImagesOverlapInCommandLineOrder)
{
    const Bytes bin = testimg::pattern(300, 9);
    const std::string binpath = dir.write("fw.bin", std::string(bin.begin(), bin.end()));
    const std::vector<Region> srec = {{0x100, testimg::pattern(128, 10)}};
    const std::string mot = dir.write("fw.mot", testimg::srec(srec));
    start();
    auto r = run({"-s", device("115200"), "-i", binpath + ",0xC0", "-i", mot, "-v"});
    sim->stop();
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Reading " + binpath + " binary image at 192... ok\nParsing " + mot +
                         " s-record... ok\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\tBytes to program: 428 bytes\n"), std::string::npos);
    Bytes want(kFlash, 0xFF);
    std::copy(bin.begin(), bin.end(), want.begin() + 0xC0);
    std::copy(srec[0].data.begin(), srec[0].data.end(), want.begin() + 0x100);
    const Bytes flash = sim->flash();
    EXPECT_TRUE(std::equal(flash.begin(), flash.begin() + 0x200, want.begin()));
    EXPECT_EQ(sim->programmed_units(), (std::set<uint32_t>{0x80, 0x100, 0x180}));
}

// ---- One failure per stage -----------------------------------------------------

struct StageFailure {
    const char *name;
    std::vector<bootsim::FaultSpec> faults;
    int status;
    const char *tail;                    // how the output ends
    std::vector<std::string> extra = {}; // options after -v
    bool as_service = false;
};

class StageFails : public Upgrade, public ::testing::WithParamInterface<StageFailure>
{
};

TEST_P(StageFails, EndsWithTheStageSummaryAndStatus)
{
    const StageFailure &c = GetParam();
    faults = c.faults;
    as_service = c.as_service;
    const std::string image = dir.write("fw.mot", testimg::srec(sample_regions()));
    start();
    std::vector<std::string> args = {"-s", device("115200"), "-i", image, "-v"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    auto r = run(args);
    sim->stop();
    EXPECT_EQ(r.status, c.status) << r.out;
    const std::string tail = c.tail;
    ASSERT_GE(r.out.size(), tail.size()) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << r.out;
    EXPECT_EQ(r.err, "");
}

using bootsim::Fault;
INSTANTIATE_TEST_SUITE_P(
    Stages, StageFails,
    ::testing::Values(
        StageFailure{"LayoutRefused",
                     {{0x25, 1, Fault::Refuse, 0x80}},
                     252,
                     "Command 25 with waiting response 35 failed with response A5, error 80\n"
                     "Failed to retrieve controller information\n"},
        StageFailure{"DeviceSelectionRefused",
                     {{0x10, 1, Fault::Refuse, 0x21}},
                     251,
                     "Command 10 with waiting response 06 failed with response 90, error 21\n"
                     "Failed to prepare the controller\n"},
        StageFailure{"ConfirmationUnanswered",
                     {{0x06, 1, Fault::Silence}},
                     251,
                     "Baud rate 115200 has been set\nFailed to prepare the controller\n"},
        StageFailure{"TransitionRefused",
                     {{0x40, 1, Fault::Refuse, 0x80}},
                     251,
                     "Entering programming state...Command 40 with waiting response 06 failed with "
                     "response C0, error 80\nFailed to switch to erase/program state\n"},
        StageFailure{"BlockErasureRefused",
                     {{0x58, 2, Fault::Refuse, 0x29}},
                     250,
                     "Command 58 with waiting response 06 failed with response D8, error 29\n"
                     "Failed to erase block 1\nFailed to erasing the flash memory\n"},
        StageFailure{"ProgrammingRefused",
                     {{0x50, 3, Fault::Refuse, 0x53}},
                     249,
                     "Command 50 with waiting response 06 failed with response D0, error 53\n"
                     "Failed to flash 128 bytes chunk at 8064\n"
                     "Error while writing to the flash memory\n"},
        // The device wrote the unit wrongly before refusing it: its own error,
        // which --retries does not recover either.
        StageFailure{"ProgrammingRefusedWithRetries",
                     {{0x50, 3, Fault::ProgramWrongRefused, 5}},
                     249,
                     "Command 50 with waiting response 06 failed with response D0, error 53\n"
                     "Failed to flash 128 bytes chunk at 8064\n"
                     "Error while writing to the flash memory\n",
                     {"--retries", "10"}},
        StageFailure{
            "VerificationMismatch",
            {{0x52, 4, Fault::ReadDifferent, 5}},
            248,
            "\rError: verification failed at 8192\nError while verifying the flash memory\n"},
        StageFailure{"ShortRead",
                     {{0x52, 1, Fault::ReadShort}},
                     248,
                     "Failed to read the memory at 0\nError while verifying the flash memory\n"},
        StageFailure{"SumCheckRefused",
                     {{0x4B, 1, Fault::Refuse, 0x80}},
                     248,
                     "Command 4B with waiting response 5B failed with response CB, error 80\n"
                     "Error while verifying the flash memory\n",
                     {"--sum-check"}},
        StageFailure{"ReadSizeNotAMultipleOfTheUnit",
                     {},
                     252,
                     "Invalid flash layout for this run: read size 192 is not a multiple of the "
                     "programming unit 128\nFailed to retrieve controller information\n",
                     {"--read-size", "192"}},
        StageFailure{
            "LineHangsUpWhileProgramming",
            {{0x50, 2, Fault::HangUp}},
            249,
            "Failed to flash 128 bytes chunk at 128\nError while writing to the flash memory\n"},
        // The port must not become the controlling terminal, or the hang-up kills the run.
        StageFailure{
            "LineHangsUpUnderAServiceManager",
            {{0x50, 2, Fault::HangUp}},
            249,
            "Failed to flash 128 bytes chunk at 128\nError while writing to the flash memory\n",
            {},
            true}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- Sum check, read size, automatic bit rate -------------------------------

TEST_F(Upgrade, SumCheckPassesAndOnlyTheImageRemains)
{
    const auto regions = sample_regions();
    const std::string image = dir.write("fw.mot", testimg::srec(regions));
    start();
    // qemu-user cannot set speeds above 460800 (see test_serial): under it, a
    // clock of 103.2 MHz, where 460800 is the fastest rate within 2 %.
    const bool emulated = std::string_view(TARGET_EMULATOR).size() > 0;
    const std::string rate = emulated ? "460800" : "921600";
    auto r =
        run({"-s", device("auto"), "-f", emulated ? "2580" : "2949", "-i", image, "--sum-check"});
    sim->stop();
    EXPECT_EQ(r.status, 0) << r.out;
    const Bytes copy = image_copy(regions);
    uint32_t sum = 0;
    for (uint8_t b : copy)
        sum += b;
    char line[64];
    snprintf(line, sizeof line, "\nSum check ok: %08X\n", sum);
    EXPECT_EQ(r.out.substr(r.out.size() - strlen(line)), line) << r.out;
    EXPECT_NE(r.out.find("Baud rate " + rate + " has been set\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\tBaud rate: " + rate + " baud\n"), std::string::npos) << r.out;
    EXPECT_TRUE(sim->flash() == copy) << "entering the programming state erased the rest";
}

TEST_F(Upgrade, SumCheckFindsAByteInAUnitKestrelNeverTouched)
{
    const auto regions = sample_regions();
    const std::string image = dir.write("fw.mot", testimg::srec(regions));
    bootsim::Device dev;
    dev.erased_fill = true;
    dev.keep_content = true; // a boot program that does not erase on 0x40
    start(dev);
    {
        // One byte 0x00 at 0x40000 (block 12, no image data there) before the upgrade.
        simclient::Client c(sim->slave_path());
        ASSERT_TRUE(simclient::to_select_state(c));
        Bytes unit(4 + kUnit, 0xFF);
        std::fill(unit.begin(), unit.begin() + 5, 0x00);
        unit[1] = 0x04;
        ASSERT_EQ(c.exchange({0x43}, 1), Bytes{0x06});
        ASSERT_EQ(c.exchange(simclient::frame_nosize(0x50, unit), 1), Bytes{0x06});
    }
    ASSERT_TRUE(sim->wait_session_over(2000));
    auto r = run({"-s", device("115200"), "-i", image, "-v", "--sum-check"});
    sim->stop();
    EXPECT_EQ(r.status, 248) << r.out;
    uint32_t sum = 0;
    for (uint8_t b : image_copy(regions))
        sum += b;
    char tail[160];
    snprintf(tail, sizeof tail,
             "\nError: sum check failed: device %08X, expected %08X\n"
             "Error while verifying the flash memory\n",
             sum - 0xFF, sum);
    EXPECT_EQ(r.out.substr(r.out.size() - strlen(tail)), tail) << r.out;
}

TEST_F(Upgrade, LargeReadsFallBackToUnitsWhenTheDeviceRefusesThem)
{
    const auto regions = sample_regions();
    const std::string image = dir.write("fw.mot", testimg::srec(regions));
    bootsim::Device dev;
    dev.max_read = 256;
    start(dev);
    auto r = run({"-s", device("115200"), "-i", image, "-v", "--read-size", "1024"});
    sim->stop();
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Device refused a read of 1024 bytes, reading one unit at a time\n"),
              std::string::npos)
        << r.out;
    std::vector<uint32_t> lengths;
    for (const Bytes &f : sim->frames())
        if (f[0] == 0x52)
            lengths.push_back(static_cast<uint32_t>(f[7]) << 24 | f[8] << 16 | f[9] << 8 | f[10]);
    // Two runs of two units, the refused run of eight, its units, the last two units.
    std::vector<uint32_t> want = {256, 256, 1024};
    want.insert(want.end(), 8 + 2, 128);
    EXPECT_EQ(lengths, want);
}

// ---- A noisy line ------------------------------------------------------------

std::string check_events(const std::string &path, const char *mode = "events");
std::string read_file(const std::string &path);

// Seeded noise in both directions, under both receiver models: every fault
// recovered, the flash exactly the image, nothing programmed twice.
TEST_F(Upgrade, NoisyLineWithRetriesEndsWithTheExactImage)
{
    const auto regions = sample_regions();
    const std::string image = dir.write("fw.mot", testimg::srec(regions));
    const std::string events = dir.path() + "/run.jsonl";
    for (int idle_reset_ms : {0, 5}) {
        SCOPED_TRACE(idle_reset_ms);
        bootsim::Device dev;
        dev.noise_ber = 1e-4;
        dev.noise_seed = 17;
        dev.rx_idle_reset_ms = idle_reset_ms;
        start(dev);
        auto r = run({"-s", device("115200"), "-i", image, "-v", "--read-size", "1024",
                      "--sum-check", "--retries", "10", "--events", events});
        sim->stop();
        EXPECT_EQ(r.status, 0) << r.out;
        // Every recovery is in the record too, in the stage it happened in.
        EXPECT_EQ(check_events(events), "stages=sync,layout,select,enter,load,erase,program,verify,"
                                        "sum_check;failed=None;status=0\n");
        EXPECT_NE(read_file(events).find("{\"event\":\"recovery\","), std::string::npos);
        EXPECT_TRUE(sim->flash() == image_copy(regions));
        const bootsim::Stats st = sim->stats();
        EXPECT_GT(st.bits_flipped, 0u);
        EXPECT_EQ(st.programmed_twice, 0u);
        EXPECT_NE(r.out.find("\rRecovering "), std::string::npos) << r.out;
    }
}

// A unit the line changed without the frame's checksum showing it is
// acknowledged like any other: -v finds it, or, without -v, the failed sum
// check has the whole flash read back; its block is repaired either way.
TEST_F(Upgrade, UnseenWrongUnitIsFoundAndItsBlockRepaired)
{
    const auto regions = sample_regions();
    const std::string image = dir.write("fw.mot", testimg::srec(regions));
    const std::pair<const char *, std::string> checks[] = {{"-v", "verify"},
                                                           {"--sum-check", "sum_check"}};
    for (const auto &[check, stage] : checks) {
        SCOPED_TRACE(check);
        faults = {{0x50, 2, Fault::ProgramUnseen, 7}};
        start();
        auto r = run({"-s", device("115200"), "-i", image, check, "--retries", "3"});
        sim->stop();
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_TRUE(sim->flash() == image_copy(regions));
        EXPECT_NE(r.out.find("\rRecovering " + stage +
                             ": command 52, flash differs from the image, try 1 of 3\n"),
                  std::string::npos)
            << r.out;
    }
}

// The trace holds every byte both ways, in order, one line per write and read.
TEST_F(Upgrade, TraceLogsEveryByteOnTheLine)
{
    const std::string image = dir.write("fw.bin", std::string(kUnit, 'Z'));
    const std::string trace = dir.path() + "/trace.txt";
    start();
    auto r = run({"-s", device("115200"), "-i", image + ",0", "--trace", trace});
    sim->stop();
    ASSERT_EQ(r.status, 0) << r.out;
    std::ifstream in(trace);
    std::string line;
    Bytes written, read;
    long long last_us = -1;
    while (std::getline(in, line)) {
        long long us = -1;
        char dir_char = 0;
        int at = 0;
        ASSERT_EQ(sscanf(line.c_str(), "%lld %c%n", &us, &dir_char, &at), 2) << line;
        EXPECT_GE(us, last_us) << line;
        last_us = us;
        ASSERT_TRUE(dir_char == '>' || dir_char == '<') << line;
        Bytes &to = dir_char == '>' ? written : read;
        const size_t before = to.size();
        unsigned byte = 0;
        int n = 0;
        for (const char *p = line.c_str() + at; sscanf(p, " %2X%n", &byte, &n) == 1; p += n)
            to.push_back(static_cast<uint8_t>(byte));
        EXPECT_GT(to.size(), before) << line;
    }
    // Synchronisation, then every frame the device received, in order.
    Bytes frames = {0x00, 0x55};
    for (const Bytes &f : sim->frames())
        frames.insert(frames.end(), f.begin(), f.end());
    EXPECT_EQ(written, frames);
    // The two synchronisation answers first, the status after programming last.
    ASSERT_GE(read.size(), 7u);
    EXPECT_EQ(Bytes(read.begin(), read.begin() + 2), (Bytes{0x00, 0xE6}));
    EXPECT_EQ(Bytes(read.end() - 5, read.end() - 1), (Bytes{0x5F, 0x02, 0x3F, 0x00}));
}

TEST_F(Upgrade, WrongSecondSynchronisationAnswerIsRetriedAfterAPause)
{
    faults = {{0x55, 1, Fault::Garble, 0xFF}};
    const std::string image = dir.write("fw.mot", testimg::srec({{0, testimg::pattern(16, 1)}}));
    start();
    auto r = run({"-s", device(), "-i", image});
    sim->stop();
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.substr(0, 76), "Baud rate 9600 has been set\n\rRetry  0\r\rRetry  1\r"
                                   "Baud rate has been adjusted\n");
    EXPECT_GE(r.seconds, 1.0) << "a wrong answer to 0x55 pauses 1 s before the next try";
}

TEST_F(Upgrade, UnopenableDeviceFailsAtOnce)
{
    const std::string image = dir.write("fw.mot", testimg::srec({{0, testimg::pattern(16, 1)}}));
    auto r = run({"-s", dir.path() + "/no-such-tty", "-i", image});
    EXPECT_EQ(r.status, 253);
    EXPECT_EQ(r.out, "Baud rate 9600 has been set\n\rRetry  0\rFailed to open port " + dir.path() +
                         "/no-such-tty\nFailed to adjust baud rate\n");
}

// Numbers that a host with a 32-bit long used to print otherwise.
TEST_F(Upgrade, NumbersAreTheSameOnEveryHost)
{
    const std::string mot = dir.write("fw.mot", testimg::srec({{0, testimg::pattern(16, 1)}}));
    const std::string bin = dir.write("fw.bin", std::string(16, 'b'));
    const struct {
        std::vector<std::string> args;
        std::string printed;
        int status;
    } cases[] = {
        {{"-f", "99999999999", "-i", mot}, "\tFrequency: 4294957296 Hz\n", 0},
        {{"-i", bin + ",-1"},
         "Reading " + bin +
             " binary image at 4294967295...\n"
             "Error: address 0x10000000F is invalid, image is out of range\n",
         255},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[1]);
        start();
        std::vector<std::string> args = {"-s", device()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        auto r = run(args);
        sim->stop();
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_NE(r.out.find(c.printed), std::string::npos) << r.out;
    }
}

// Another program holds the port's lock: no try at all, nothing on the line,
// and the programs that have the port open named.
TEST_F(Upgrade, BusyPortIsGivenUpAtOnce)
{
    const std::string image = dir.write("fw.mot", testimg::srec({{0, testimg::pattern(16, 1)}}));
    start();
    const int holder = open(sim->slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    auto r = run({"-s", device(), "-i", image});
    // A boot sequence that drives the port opens it first and meets the lock there.
    auto boot = run({"-s", device(), "-i", image, "--boot", "dtr=1"});
    close(holder);
    sim->stop();
    // The holder is this test's process, named as /proc names it.
    std::ifstream comm("/proc/self/comm");
    std::string name;
    std::getline(comm, name);
    const std::string busy = "Port " + sim->slave_path() + " is in use by another program\n" +
                             "\tHeld by " + name + " (pid " + std::to_string(getpid()) + ")\n" +
                             "Failed to adjust baud rate\n";
    EXPECT_EQ(r.status, 253);
    EXPECT_EQ(r.out, "Baud rate 9600 has been set\n\rRetry  0\r" + busy);
    EXPECT_EQ(boot.status, 253);
    EXPECT_EQ(boot.out, "Baud rate 9600 has been set\n" + busy);
    EXPECT_EQ(sim->stats().bytes_rx, 0u);
}

TEST_F(Upgrade, HostRateMissingFromItsTableFailsAfterTheDeviceAcknowledged)
{
    const std::string image = dir.write("fw.mot", testimg::srec({{0, testimg::pattern(16, 1)}}));
    start();
    auto r = run({"-s", device("4800"), "-i", image});
    sim->stop();
    EXPECT_EQ(r.status, 251);
    EXPECT_EQ(r.out.substr(r.out.size() - 33), "Failed to prepare the controller\n");
    const auto frames = sim->frames();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back(), (Bytes{0x3F, 0x06, 0x00, 0x30, 0x0B, 0x85, 0x01, 0x04, 0xF6}))
        << "the device took the new rate; nothing was sent after it";
}

// Images that cannot be loaded: the loader's message ends the output, with 255.
struct ImageFailure {
    const char *name;
    const char *file;
    void (*make)(const std::string &path);
    const char *loader; // what the announcement says after the path
    const char *line;   // the loader's message; %s: the path
};

class ImageFails : public Upgrade, public ::testing::WithParamInterface<ImageFailure>
{
};

TEST_P(ImageFails, IsReportedByItsLoaderOnly)
{
    const ImageFailure &c = GetParam();
    const std::string path = dir.path() + "/" + c.file;
    if (c.make != nullptr)
        c.make(path);
    start();
    auto r = run({"-s", device(), "-i", path}, 20000);
    sim->stop();
    EXPECT_EQ(r.status, 255);
    char line[512];
    snprintf(line, sizeof line, c.line, path.c_str());
    EXPECT_EQ(r.out.substr(r.out.find("Entering")),
              "Entering programming state... ok\nParsing " + path + c.loader + line);
    EXPECT_TRUE(sim->erased_blocks().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Images, ImageFails,
    ::testing::Values(
        ImageFailure{"Missing", "gone.mot", nullptr, " s-record...", "File \"%s\" not found\n"},
        ImageFailure{"FifoWithoutWriter", "fw.mot",
                     [](const std::string &p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); },
                     " s-record...", "Error: \"%s\" is not a regular file\n"},
        ImageFailure{"Directory", "x.mot",
                     [](const std::string &p) { ASSERT_EQ(mkdir(p.c_str(), 0700), 0); },
                     " s-record...", "Error: \"%s\" is not a regular file\n"},
        ImageFailure{"IntelHexCutShort", "fw.hex",
                     [](const std::string &p) { std::ofstream(p) << ":0400100001020304E2\n"; },
                     " intel-hex...", "Error: %s:2: no end-of-file record\n"},
        ImageFailure{"ElfForAnotherMachine", "fw.elf",
                     [](const std::string &p) {
                         ASSERT_TRUE(testelf::write(p, {}, {ELFCLASS32, ELFDATA2MSB, ET_EXEC, 42}));
                     },
                     " elf...", "Error: %s: not an ELF file for the H8/300, H8/300H or H8S\n"}),
    [](const auto &info) { return std::string(info.param.name); });

struct LayoutFailure {
    const char *name;
    bootsim::Device dev;
    const char *line;
};

bootsim::Device with(void (*f)(bootsim::Device &))
{
    bootsim::Device d;
    f(d);
    return d;
}

class BadLayout : public Upgrade, public ::testing::WithParamInterface<LayoutFailure>
{
};

TEST_P(BadLayout, IsRefusedBeforeAnythingIsErased)
{
    const std::string image = dir.write("fw.mot", testimg::srec({{0, testimg::pattern(16, 1)}}));
    start(GetParam().dev);
    auto r = run({"-s", device(), "-i", image});
    sim->stop();
    EXPECT_EQ(r.status, 252);
    EXPECT_EQ(r.out.substr(r.out.find("adjusted\n") + 9),
              std::string(GetParam().line) + "Failed to retrieve controller information\n");
    EXPECT_TRUE(sim->erased_blocks().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Devices, BadLayout,
    ::testing::Values(
        LayoutFailure{"UnitZero", with([](bootsim::Device &d) { d.unit = 0; }),
                      "Invalid flash layout: programming unit of 0 bytes\n"},
        LayoutFailure{"NoUserMatArea", with([](bootsim::Device &d) { d.user_mat.clear(); }),
                      "Invalid flash layout: no user MAT area\n"},
        LayoutFailure{"ThirtyTwoPlusBlocks", with([](bootsim::Device &d) {
                          for (uint32_t i = 0; i < 33; ++i)
                              d.erase_blocks.push_back({i * 0x1000, i * 0x1000 + 0xFFF});
                      }),
                      "Buffer is too small\n"}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- The run's record (--events), blank units, signals ----------------------

// The checker's verdict on a record: "stages=...;failed=...;status=N", or
// "invalid: ..." with the first violation.
std::string check_events(const std::string &path, const char *mode)
{
    auto r = testproc::run("/usr/bin/python3",
                           {std::string(SOURCE_DIR) + "/tests/check-events.py", mode, path});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    return r.out;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The image's name holds a quote, a control character and a byte that is not
// UTF-8: the record stays valid JSON and standard output stays as without it.
TEST_F(Upgrade, EventsRecordAWholeRunWithoutChangingTheOutput)
{
    const auto regions = sample_regions();
    const std::string image = dir.write("f\"w\x01\xff.mot", testimg::srec(regions));
    const std::string events = dir.path() + "/run.jsonl";
    start();
    auto r = run({"-s", device("115200"), "-i", image, "-v", "--events", events});
    sim->stop();
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, success_output(sim->slave_path(), "115200", image, regions, true, false));
    EXPECT_EQ(check_events(events),
              "stages=sync,layout,select,enter,load,erase,program,verify;failed=None;status=0\n");
    const std::string record = read_file(events);
    EXPECT_NE(record.find("\"name\":\"" + dir.path() +
                          "/f\\\"w\\u0001\\ufffd.mot\",\"format\":"
                          "\"srec\",\"start\":null,\"size\":"),
              std::string::npos)
        << record;
    EXPECT_NE(record.find("{\"event\":\"device\",\"t\":"), std::string::npos);
    EXPECT_NE(record.find("\"code\":\"3K64\",\"name\":\"H8S-SIM\",\"flash_size\":524288,\"unit\":"
                          "128,\"blocks\":16,\"baudrate\":115200}"),
              std::string::npos)
        << record;
    EXPECT_NE(record.find("\"status\":0,\"failed_stage\":null,\"erased_blocks\":5,"
                          "\"programmed_units\":" +
                          std::to_string(pages_of(regions).size()) +
                          ",\"skipped_units\":0,\"bytes_loaded\":1768,\"sum\":null,"),
              std::string::npos)
        << record;
}

TEST_F(Upgrade, EventsEndWithTheFailedStageWhenProgrammingFails)
{
    faults = {{0x50, 3, Fault::Refuse, 0x53}};
    const std::string image = dir.write("fw.mot", testimg::srec(sample_regions()));
    const std::string events = dir.path() + "/run.jsonl";
    start();
    auto r = run({"-s", device("115200"), "-i", image, "--sum-check", "--events", events});
    sim->stop();
    EXPECT_EQ(r.status, 249) << r.out;
    EXPECT_EQ(check_events(events),
              "stages=sync,layout,select,enter,load,erase,program;failed=program;status=249\n");
    EXPECT_NE(read_file(events).find("\"programmed_units\":2,"), std::string::npos);
}

// SIGTERM while kestrel waits for an answer that never comes: it ends at once
// (not after the 15 s time-out) with status 244, and the record is complete.
TEST_F(Upgrade, SigtermEndsTheRunAtOnceWithItsOwnStatus)
{
    faults = {{0x50, 3, Fault::Silence}};
    const std::string image = dir.write("fw.mot", testimg::srec(sample_regions()));
    const std::string events = dir.path() + "/run.jsonl";
    start();
    bool sent = false;
    auto r = testproc::kestrel(
        {"-s", device("115200"), "-i", image, "--events", events}, 60000, [&](pid_t pid) {
            if (!sent && read_file(events).find("\"done\":2,\"total\":14}") != std::string::npos) {
                kill(pid, SIGTERM);
                sent = true;
            }
        });
    sim->stop();
    ASSERT_TRUE(sent);
    EXPECT_EQ(r.status, 244) << r.out;
    EXPECT_LT(r.seconds, 10.0) << "waited out the time-out";
    const std::string tail = "Interrupted by signal 15\n";
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << r.out;
    EXPECT_EQ(check_events(events),
              "stages=sync,layout,select,enter,load,erase,program;failed=program;status=244\n");
}

// A short program padded to the whole flash with 0xFF, as objcopy --pad-to
// makes it, with a blank unit inside the code and a patch in block 12.
TEST_F(Upgrade, SkipBlankSendsOnlyUnitsHoldingDataAndStillVerifiesAll)
{
    Bytes padded(kFlash, 0xFF);
    const Bytes code = testimg::pattern(20 * 1024, 7);
    std::copy(code.begin(), code.end(), padded.begin());
    std::fill(padded.begin() + 0x1000, padded.begin() + 0x1080, 0xFF);
    const Bytes patch = testimg::pattern(256, 8);
    std::copy(patch.begin(), patch.end(), padded.begin() + 0x40000);
    const std::string image = dir.write("fw.bin", std::string(padded.begin(), padded.end()));
    const std::string events = dir.path() + "/run.jsonl";
    start();
    auto r =
        run({"-s", device("115200"), "-i", image + ",0", "-v", "--skip-blank", "--events", events});
    sim->stop();
    ASSERT_EQ(r.status, 0) << r.out;

    const uint32_t sent = 20 * 1024 / kUnit - 1 + 2; // the code, less its blank unit, the patch
    size_t programs = 0;
    size_t reads = 0;
    for (const Bytes &f : sim->frames()) {
        programs += f[0] == 0x50 ? 1 : 0;
        reads += f[0] == 0x52 ? 1 : 0;
    }
    EXPECT_EQ(programs, sent + 1) << "and the end of programming";
    EXPECT_EQ(reads, kFlash / kUnit) << "-v reads the blank units too";
    EXPECT_EQ(sim->erased_blocks(), (std::set<unsigned>{0, 1, 2, 3, 4, 12}));
    EXPECT_TRUE(sim->flash() == padded);
    const std::string skipped = std::to_string(kFlash / kUnit - sent);
    EXPECT_NE(r.out.find("\tBytes to program: 524288 bytes\n\tBlank units skipped: " + skipped +
                         "\n\nErasing: "),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\rUpgrading: 0%\rUpgrading: 1%"), std::string::npos);
    EXPECT_NE(r.out.find("\rUpgrading: 100%\n"), std::string::npos);
    EXPECT_EQ(check_events(events),
              "stages=sync,layout,select,enter,load,erase,program,verify;failed=None;status=0\n");
    EXPECT_NE(read_file(events).find("\"erased_blocks\":6,\"programmed_units\":" +
                                     std::to_string(sent) + ",\"skipped_units\":" + skipped + ","),
              std::string::npos);
}

} // namespace

// ---- The journal (--journal, --resume, --if-changed) ------------------------

namespace
{

// Upgrades recorded in a journal, on a port reached through a link that a
// restarted simulator takes over, as a board's port keeps its name.
class Journal : public Upgrade
{
  protected:
    void SetUp() override { start(); }
    void start(bootsim::Device dev = bootsim::Device{})
    {
        Upgrade::start(dev);
        unlink(port.c_str());
        ASSERT_EQ(symlink(sim->slave_path().c_str(), port.c_str()), 0);
    }
    // The board restarted after a power cut: a new simulator in boot mode
    // whose flash is the old one's, without the old one's faults.
    void restart()
    {
        bootsim::Device dev;
        dev.content = sim->flash();
        sim->stop();
        faults.clear();
        start(dev);
    }
    std::vector<std::string> upgrade(const std::string &image, std::vector<std::string> more = {})
    {
        std::vector<std::string> args = {"-q",  "-s",        port + ":115200", "-i",
                                         image, "--journal", journal};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }
    testproc::Result resume() { return run({"-q", "--journal", journal, "--resume"}); }
    // The record's "state" line: "pending", "done", or "" without a record.
    std::string state() const
    {
        const std::string rec = read_file(journal + "/record");
        const size_t at = rec.find("\nstate ");
        return at == std::string::npos ? "" : rec.substr(at + 7, rec.find('\n', at + 1) - at - 7);
    }
    // Files in the journal other than the record and the copies it names.
    std::vector<std::string> strays() const
    {
        const std::string rec = read_file(journal + "/record");
        std::vector<std::string> found;
        if (DIR *d = opendir(journal.c_str())) {
            while (const dirent64 *e = readdir64(d)) { // 32-bit hosts too
                const std::string n = e->d_name;
                if (n != "." && n != ".." && n != "record" &&
                    rec.find("\nimage " + n.substr(0, 64) + " " + n.substr(65)) ==
                        std::string::npos)
                    found.push_back(n);
            }
            closedir(d);
        }
        return found;
    }

    const std::string port = dir.path() + "/ttyH8S";
    const std::string journal = dir.path() + "/journal";
};

struct KillPoint {
    const char *name;
    bootsim::FaultSpec hold; // keeps kestrel in the stage until it is killed
    const char *seen;        // in the run's record once the stage is under way
};

class JournalKillPoint : public Journal, public ::testing::WithParamInterface<KillPoint>
{
};

// SIGKILL with the device held in a stage, the board restarted: --resume
// completes the upgrade from the journal alone (the image file is gone).
TEST_P(JournalKillPoint, ResumeAfterTheRestartLeavesTheExactFlash)
{
    const KillPoint &k = GetParam();
    const auto regions = sample_regions();
    const std::string image = dir.write("fw.mot", testimg::srec(regions));
    const std::string events = dir.path() + "/run.jsonl";
    faults = {k.hold};
    start();
    bool killed = false;
    // --retries: the setup stages, held by silence, last seconds, not half of one.
    auto args = upgrade(image, {"-v", "--retries", "3", "--events", events});
    auto r = testproc::kestrel(args, 60000, [&](pid_t pid) {
        if (!killed && read_file(events).find(k.seen) != std::string::npos)
            killed = kill(pid, SIGKILL) == 0;
    });
    ASSERT_TRUE(killed) << r.out;
    EXPECT_EQ(r.signal, SIGKILL);
    EXPECT_EQ(state(), "pending");
    unlink(image.c_str());

    restart();
    r = resume();
    sim->stop();
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.rfind("Resuming the upgrade recorded at ", 0), 0u) << r.out;
    EXPECT_TRUE(sim->flash() == image_copy(regions));
    EXPECT_EQ(state(), "done");
    EXPECT_EQ(strays(), std::vector<std::string>{});
    EXPECT_EQ(resume().out, "Nothing to resume\n");
}

INSTANTIATE_TEST_SUITE_P(
    Stages, JournalKillPoint,
    ::testing::Values(
        KillPoint{"Sync", {0x00, 0, Fault::Silence}, "\"stage\":\"sync\",\"state\":\"begin\""},
        KillPoint{"Layout", {0x25, 0, Fault::Silence}, "\"stage\":\"layout\",\"state\":\"begin\""},
        KillPoint{"Select", {0x20, 0, Fault::Silence}, "\"stage\":\"select\",\"state\":\"begin\""},
        KillPoint{"Enter", {0x40, 1, Fault::Silence}, "\"stage\":\"enter\",\"state\":\"begin\""},
        KillPoint{"Erase", {0x58, 3, Fault::Silence}, "\"stage\":\"erase\",\"percent\""},
        KillPoint{"Program", {0x50, 3, Fault::Silence}, "\"stage\":\"program\",\"percent\""},
        KillPoint{"Verify", {0x52, 3, Fault::Silence}, "\"stage\":\"verify\",\"percent\""}),
    [](const auto &info) { return std::string(info.param.name); });

// Starts kestrel and kills it usec microseconds later.
void kill_after(const std::vector<std::string> &args, useconds_t usec)
{
    std::vector<std::string> words = testproc::target_command(KESTREL_BIN);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    usleep(usec);
    kill(pid, SIGKILL);
    int wst = 0;
    waitpid(pid, &wst, 0);
}

// SIGKILL at seeded random instants while the journal is written (over an
// earlier success): the journal is always readable, holds the old record or
// the whole new one, and --resume leaves one of the two flashes.
TEST_F(Journal, KillWhileTheJournalIsWrittenLeavesTheOldOrTheNewRecord)
{
    const std::vector<Region> old_regions = {{0x00000, testimg::pattern(4096, 1)}};
    std::vector<Region> new_regions;
    std::vector<std::string> args = {"-q", "-s", port + ":115200", "--journal", journal};
    for (uint32_t i = 0; i < 4; ++i) {
        new_regions.push_back({i * 0x20000, testimg::pattern(96 * 1024, 10 + i)});
        const Bytes &d = new_regions.back().data;
        const std::string f =
            dir.write("part" + std::to_string(i) + ".bin", std::string(d.begin(), d.end()));
        args.insert(args.end(), {"-i", f + "," + std::to_string(i * 0x20000)});
    }
    ASSERT_EQ(run(upgrade(dir.write("old.mot", testimg::srec(old_regions)))).status, 0);
    // How long writing the journal takes: a run that ends at the first
    // exchange (no device answers) does little else.
    std::vector<std::string> no_device = args;
    no_device[2] = dir.path() + "/no-such-port";
    const double span = run(no_device).seconds;
    ASSERT_EQ(state(), "done");

    uint32_t x = 12345;
    for (int trial = 0; trial < 8; ++trial) {
        x = x * 1103515245u + 12345u;
        const auto usec = static_cast<useconds_t>((x >> 8) % static_cast<uint32_t>(span * 1e6 + 1));
        kill_after(args, usec);
        ASSERT_TRUE(state() == "pending" || state() == "done") << "after " << usec << " us";
        restart();
        auto r = resume();
        ASSERT_EQ(r.status, 0) << "after " << usec << " us: " << r.out;
        const bool resumed = r.out.rfind("Resuming the upgrade recorded at ", 0) == 0;
        EXPECT_TRUE(resumed || r.out == "Nothing to resume\n") << r.out;
        EXPECT_TRUE(sim->flash() == image_copy(resumed ? new_regions : old_regions))
            << "after " << usec << " us";
        EXPECT_EQ(state(), "done");
        EXPECT_EQ(strays(), std::vector<std::string>{});
        // The next trial starts from the old firmware again.
        ASSERT_EQ(run(upgrade(dir.path() + "/old.mot")).status, 0);
    }
}

TEST_F(Journal, CorruptedCopyIsRefusedAndNothingIsSent)
{
    faults = {{0x50, 2, Fault::Refuse, 0x53}};
    start();
    const std::string image = dir.write("fw.mot", testimg::srec(sample_regions()));
    ASSERT_EQ(run(upgrade(image)).status, 249);
    ASSERT_EQ(state(), "pending");
    DIR *d = opendir(journal.c_str());
    ASSERT_NE(d, nullptr);
    std::string copy;
    while (const dirent64 *e = readdir64(d))
        if (strlen(e->d_name) == 68)
            copy = journal + "/" + e->d_name;
    closedir(d);
    ASSERT_FALSE(copy.empty());
    std::string content = read_file(copy);
    content[100] ^= 0x01;
    std::ofstream(copy, std::ios::binary | std::ios::trunc) << content;

    restart();
    auto r = resume();
    sim->stop();
    EXPECT_EQ(r.status, 243);
    EXPECT_NE(r.out.find("does not match its SHA-256; nothing was sent\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(sim->stats().bytes_rx, 0u);
    EXPECT_EQ(state(), "pending");
}

struct IfChangedCase {
    const char *name;
    bool rewrite_image;               // the image file gets other content
    std::vector<std::string> options; // of the second run
    bool skipped;
};

class JournalIfChanged : public Journal, public ::testing::WithParamInterface<IfChangedCase>
{
};

TEST_P(JournalIfChanged, SkipsOnlyWhatTheLastSuccessRecordHolds)
{
    const IfChangedCase &c = GetParam();
    const std::string image = dir.write("fw.mot", testimg::srec(sample_regions()));
    ASSERT_EQ(run(upgrade(image, {"-v"})).status, 0);
    sim->stop();
    start(); // fresh counters, random flash
    const auto regions = c.rewrite_image ? std::vector<Region>{{0x2000, testimg::pattern(300, 9)}}
                                         : sample_regions();
    dir.write("fw.mot", testimg::srec(regions));
    std::vector<std::string> more = c.options;
    more.push_back("--if-changed");
    auto r = run(upgrade(image, more));
    sim->stop();
    EXPECT_EQ(r.status, 0) << r.out;
    if (c.skipped) {
        EXPECT_EQ(r.out.rfind("Firmware unchanged since ", 0), 0u) << r.out;
        EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << r.out;
        EXPECT_EQ(sim->stats().bytes_rx, 0u);
    } else {
        EXPECT_EQ(r.out.find("Firmware unchanged"), std::string::npos) << r.out;
        EXPECT_TRUE(sim->flash() == image_copy(regions));
    }
    EXPECT_EQ(state(), "done");
}

INSTANTIATE_TEST_SUITE_P(Cases, JournalIfChanged,
                         ::testing::Values(IfChangedCase{"Unchanged", false, {"-v"}, true},
                                           IfChangedCase{"OtherImage", true, {"-v"}, false},
                                           IfChangedCase{"OtherOptions", false, {}, false}),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
