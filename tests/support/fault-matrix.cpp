#include "fault-matrix.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string_view>

#include "images.h"
#include "process.h"

namespace faultmatrix
{

namespace
{

using Bytes = std::vector<uint8_t>;
using bootsim::Fault;

// The tool's waits: the answers to the synchronisation bytes, the pause after
// a wrong one, the read time-out before and from the programming/erasing
// state transition on.
constexpr int kSyncAnswerMs = 1000;
constexpr int kSyncPauseMs = 1000;
constexpr int kSetupTimeoutMs = 500;
constexpr int kFlashTimeoutMs = 15000;
// With --retries: the longest deadline of an answer's first byte at 115200 baud.
constexpr int kDeadlineMs = 1000;
// On top of the derived waits before a run counts as hung: start-up, a
// loaded machine, the sanitizer build.
constexpr int kMarginMs = 20000;
// A recovered fault ends the run within its waits and this much more (a
// loaded machine, the sanitizer build; times TEST_TIME_SCALE under an
// emulator), well below a 15-s time-out natively.
constexpr int kRecoveredSlackMs = 10000;

constexpr uint8_t kStatusCmd = 0x4F;
constexpr uint8_t kEraseCmd = 0x58;
constexpr uint8_t kTransitionCmd = 0x40;
constexpr uint8_t kProgramCmd = 0x50;
constexpr uint8_t kReadCmd = 0x52;
constexpr uint8_t kSumCmd = 0x4B; // sent only with --sum-check
constexpr uint8_t kSyncCheck = 0x55;

struct StageInfo {
    int status;
    const char *summary;
};

// Indexed by Stage.
constexpr std::array<StageInfo, 7> kStages = {{
    {253, "Failed to adjust baud rate"},
    {252, "Failed to retrieve controller information"},
    {251, "Failed to prepare the controller"},
    {251, "Failed to switch to erase/program state"},
    {250, "Failed to erasing the flash memory"},
    {249, "Error while writing to the flash memory"},
    {248, "Error while verifying the flash memory"},
}};

// Every command of a verified run, in the order it is sent.
constexpr Row kRows[] = {
    // name, command, occurrence, stage, response, size width, snug, state, line, representative
    {"Cmd00", 0x00, 1, Stage::Sync, 0x00, 0, false, 0, "", false},
    {"Cmd55", 0x55, 1, Stage::Sync, 0xE6, 0, false, 0, "", false},
    {"Cmd25", 0x25, 1, Stage::Layout, 0x35, 1, false, 0, "", false},
    {"Cmd26", 0x26, 1, Stage::Layout, 0x36, 2, false, 0, "", false},
    {"Cmd27", 0x27, 1, Stage::Layout, 0x37, 1, false, 0, "", false},
    {"Cmd4F_AfterLayout", 0x4F, 1, Stage::Layout, 0x5F, 1, true, 0x11, "Status check failed\n",
     false},
    {"Cmd20", 0x20, 1, Stage::Prepare, 0x30, 1, false, 0, "", false},
    {"Cmd10", 0x10, 1, Stage::Prepare, 0x06, 0, false, 0, "", false},
    {"Cmd21", 0x21, 1, Stage::Prepare, 0x31, 1, false, 0, "", false},
    {"Cmd11", 0x11, 1, Stage::Prepare, 0x06, 0, false, 0, "", false},
    {"Cmd22", 0x22, 1, Stage::Prepare, 0x32, 1, false, 0, "", false},
    {"Cmd23", 0x23, 1, Stage::Prepare, 0x33, 1, false, 0, "", false},
    {"Cmd3F", 0x3F, 1, Stage::Prepare, 0x06, 0, false, 0, "", false},
    {"Cmd06", 0x06, 1, Stage::Prepare, 0x06, 0, false, 0, "", false},
    {"Cmd4F_AfterBitRate", 0x4F, 2, Stage::Prepare, 0x5F, 1, true, 0x1F, "Status check failed\n",
     false},
    {"Cmd40", 0x40, 1, Stage::Transition, 0x06, 0, false, 0, "", true},
    {"Cmd4F_AfterTransition", 0x4F, 3, Stage::Transition, 0x5F, 1, true, 0x3F,
     "Status check failed\nSwitching to erase state failed\n", false},
    {"Cmd48", 0x48, 1, Stage::Erase, 0x06, 0, false, 0, "Transfer of erasure program failed\n",
     false},
    {"Cmd58_Block2", 0x58, 2, Stage::Erase, 0x06, 0, false, 0, "Failed to erase block %u\n", true},
    {"Cmd58_End", 0x58, kEnd, Stage::Erase, 0x06, 0, false, 0, "Failed to exit erasing mode\n",
     false},
    {"Cmd4F_AfterErasure", 0x4F, 4, Stage::Erase, 0x5F, 1, true, 0x3F, "Status check failed\n",
     false},
    {"Cmd43", 0x43, 1, Stage::Program, 0x06, 0, false, 0,
     "Failed to tranfer the \"user MAT programming\" program\n", false},
    {"Cmd50_Unit2", 0x50, 2, Stage::Program, 0x06, 0, false, 0,
     "Failed to flash 128 bytes chunk at %u\n", false},
    {"Cmd50_Unit3", 0x50, 3, Stage::Program, 0x06, 0, false, 0,
     "Failed to flash 128 bytes chunk at %u\n", true},
    {"Cmd50_End", 0x50, kEnd, Stage::Program, 0x06, 0, false, 0,
     "Failed to exit programming mode\n", false},
    {"Cmd4F_AfterProgramming", 0x4F, 5, Stage::Program, 0x5F, 1, true, 0x3F,
     "Status check failed\n", false},
    {"Cmd52_Unit2", 0x52, 2, Stage::Verify, 0x52, 4, true, 0, "Failed to read the memory at %u\n",
     true},
    {"Cmd4F_AfterVerification", 0x4F, 6, Stage::Verify, 0x5F, 1, true, 0x3F,
     "Status check failed\n", false},
    {"Cmd4B", 0x4B, 1, Stage::Verify, 0x5B, 1, true, 0, "", false},
};

struct Kind {
    Fault fault;
    const char *name;
    bool processed; // the device carries the command out before the answer goes wrong
    uint8_t value;
};

constexpr Kind kKinds[] = {
    {Fault::Silence, "Silence", false, 0},
    {Fault::Refuse, "Refuse", false, 0x80},
    {Fault::BadChecksum, "BadChecksum", true, 0},
    {Fault::Truncate, "Truncate", true, 0},
    {Fault::WrongSize, "WrongSize", true, 0},
    {Fault::OversizeSize, "OversizeSize", true, 0},
    {Fault::HangUp, "HangUp", false, 0},
    {Fault::Garble, "Garble", true, 0x15}, // no command expects 0x15
    {Fault::Status, "Status", true, 0x77},
    {Fault::ReadDifferent, "ReadDifferent", true, 5},
    {Fault::ReadShort, "ReadShort", true, 0},
    {Fault::ProgramWrong, "ProgramWrong", true, 5}, // only with --retries
    // Refusals the frame as sent cannot have earned: with --retries, line faults.
    {Fault::Refuse, "RefuseAddress", false, 0x2A},
    {Fault::Refuse, "RefuseProgram", false, 0x53}, // the unit stays blank
    {Fault::LoseByte, "LoseByte", false, 0},       // only with --retries
    {Fault::Late, "Late", true, 30},               // 3 s late; only with --retries
};

// Kinds that only --retries can end right (no stage failure to expect without it).
bool retries_only(Fault f)
{
    return f == Fault::ProgramWrong || f == Fault::LoseByte || f == Fault::Late;
}

const Kind &kind_of(Fault f)
{
    return *std::find_if(std::begin(kKinds), std::end(kKinds),
                         [f](const Kind &k) { return k.fault == f; });
}

bool applies(const Row &row, const Kind &k)
{
    // The refusals a frame cannot earn, a lost byte and a late answer: at the
    // representative unit and read.
    const bool unit = row.command == kProgramCmd && row.occurrence != kEnd && row.representative;
    const bool read = row.command == kReadCmd && row.representative;
    if (k.value == 0x2A && k.fault == Fault::Refuse)
        return unit || read;
    if (k.value == 0x53 && k.fault == Fault::Refuse)
        return unit;
    const Fault f = k.fault;
    switch (f) {
    case Fault::LoseByte: // the short deadlines after the transition (erasure keeps 15 s)
        return unit || read;
    case Fault::Late:
        return unit;
    case Fault::WrongSize:
    case Fault::OversizeSize:
        return row.size_width > 0;
    case Fault::Status:
        return row.command == kStatusCmd;
    case Fault::ReadDifferent:
    case Fault::ReadShort:
        return row.command == kReadCmd;
    case Fault::ProgramWrong:
        return row.command == kProgramCmd && row.occurrence != kEnd;
    default:
        return true;
    }
}

// Cut a one-byte answer to nothing; an answer with data after its size field
// and one data byte, so that the size arrives and the data do not.
uint8_t fault_value(const Row &row, const Kind &k)
{
    if (k.fault == Fault::Truncate)
        return static_cast<uint8_t>(row.size_width > 0 ? row.size_width + 2 : 0);
    return k.value;
}

// How long the tool must wait before it gives the command up.
int wait_ms(const Row &row, Fault f)
{
    const bool silent = f == Fault::Silence || f == Fault::Truncate;
    if (row.stage == Stage::Sync) {
        // No answer to 0x00: the next try at once; anything else wrong: a pause.
        const bool wrong = f == Fault::Refuse || f == Fault::BadChecksum || f == Fault::Garble;
        return (silent ? kSyncAnswerMs : 0) +
               (row.command == kSyncCheck || wrong ? kSyncPauseMs : 0);
    }
    bool waits = silent;
    if (f == Fault::BadChecksum || f == Fault::Garble)
        waits = row.size_width == 0; // a wrong code: the tool waits for its error byte
    if (f == Fault::WrongSize)
        waits = !row.snug; // the announced extra byte never comes
    if (!waits)
        return 0;
    return row.stage >= Stage::Transition ? kFlashTimeoutMs : kSetupTimeoutMs;
}

// With --retries: the faults that are line faults, at the commands whose
// faults are recovered (after synchronisation).
bool recoverable(const Row &row, Fault f)
{
    if (row.stage == Stage::Sync)
        return false;
    return f != Fault::HangUp && f != Fault::Status;
}

// With --retries only an answer that never begins waits, for its deadline or
// the full time-out; the rest of a begun one waits a tenth of a second per byte.
int retry_wait_ms(const Row &row, Fault f)
{
    const bool silent = f == Fault::Silence || f == Fault::ProgramWrong ||
                        (f == Fault::Truncate && row.size_width == 0);
    if (!silent)
        return 0;
    if (row.stage < Stage::Transition)
        return kSetupTimeoutMs;
    // From the transition on an answer that has not begun within its
    // exchange's deadline is recovered; erasures, the transition itself and
    // the sum check wait the whole time-out.
    const bool long_work =
        row.command == kTransitionCmd || row.command == kEraseCmd || row.command == kSumCmd;
    return long_work ? kFlashTimeoutMs : kDeadlineMs;
}

// ---- The image ------------------------------------------------------------------

struct Image {
    std::vector<testimg::Region> regions;
    Bytes copy;                   // the flash copy the tool builds
    std::vector<unsigned> blocks; // erase blocks holding data, ascending
    std::vector<uint32_t> units;  // units holding data, ascending
};

// Two units in block 0, one unit on each side of the boundary of blocks 1 and
// 2, one unit inside block 8.
const Image &image()
{
    static const Image img = [] {
        const bootsim::Device dev;
        Image m;
        m.regions = {{0x0000, testimg::pattern(200, 1)},
                     {0x1F80, testimg::pattern(256, 2)},
                     {0x9010, testimg::pattern(100, 3)}};
        m.copy.assign(bootsim::flash_size_of(dev), 0xFF);
        std::set<uint32_t> units;
        for (const auto &r : m.regions) {
            std::copy(r.data.begin(), r.data.end(), m.copy.begin() + r.address);
            for (uint32_t a = r.address; a < r.address + r.data.size(); ++a)
                units.insert(a / dev.unit * dev.unit);
        }
        m.units.assign(units.begin(), units.end());
        const auto blocks = bootsim::erase_blocks_of(dev);
        for (unsigned b = 0; b < blocks.size(); ++b)
            if (std::any_of(units.begin(), units.end(),
                            [&](uint32_t u) { return u >= blocks[b].start && u <= blocks[b].end; }))
                m.blocks.push_back(b);
        return m;
    }();
    return img;
}

int occurrence(const Row &row)
{
    if (row.occurrence != kEnd)
        return row.occurrence;
    const Image &img = image();
    return static_cast<int>(row.command == kEraseCmd ? img.blocks.size() : img.units.size()) + 1;
}

// ---- Expectations --------------------------------------------------------------

std::string hex2(unsigned v)
{
    char buf[4];
    snprintf(buf, sizeof buf, "%02X", v & 0xFF);
    return buf;
}

// A regular expression that matches s literally.
std::string lit(std::string_view s)
{
    std::string r;
    for (char ch : s) {
        if (std::string_view("^$\\.*+?()[]{}|").find(ch) != std::string_view::npos)
            r += '\\';
        r += ch;
    }
    return r;
}

std::string refusal(const Row &row, unsigned code, const std::string &error_re)
{
    return lit("Command " + hex2(row.command) + " with waiting response " + hex2(row.response) +
               " failed with response " + hex2(code) + ", error ") +
           error_re + "\n";
}

// What the command exchange prints for the fault, as a regular expression.
std::string report(const Row &row, Fault f, uint8_t value)
{
    const bool one_byte = row.size_width == 0;
    switch (f) {
    case Fault::Refuse:
        return refusal(row, 0x80 | row.command, hex2(value));
    case Fault::BadChecksum: // a one-byte answer has its code inverted
        if (one_byte)
            return refusal(row, ~row.response & 0xFFu, "00");
        return lit("Invalid checksum: 01, cb = ") + "[0-9]+" +
               lit(", " + hex2(row.response) + "\n");
    case Fault::Garble: // the error byte is the first byte of the size field, if any
        return refusal(row, value, one_byte ? "00" : "[0-9A-F]{2}");
    case Fault::Truncate:
        return one_byte ? "" : lit("Cannot receive the command\n");
    case Fault::WrongSize:
        return lit(row.snug ? "Buffer is too small\n" : "Cannot receive the command\n");
    case Fault::OversizeSize:
        return lit("Buffer is too small\n");
    default: // silence, a hang-up, a short or different read: nothing
        return "";
    }
}

std::string fill(std::string line, uint32_t value)
{
    const size_t at = line.find("%u");
    if (at != std::string::npos)
        line.replace(at, 2, std::to_string(value));
    return line;
}

// How many of `total` blocks or units the stage got through before the row's
// fault stopped it; frame_cmd sends one of them per frame.
size_t reached(const Row &row, Stage stage, uint8_t frame_cmd, size_t total, bool processed)
{
    if (row.stage != stage)
        return row.stage < stage ? 0 : total;
    if (row.command == frame_cmd && row.occurrence != kEnd)
        return static_cast<size_t>(row.occurrence - 1) + (processed ? 1 : 0);
    if (row.command == frame_cmd || row.command == kStatusCmd || row.command == kSumCmd)
        return total; // the end frame, or the status inquiry or sum check after the last one
    return 0;         // the selection before the first
}

struct Expect {
    int status = 0;
    std::string tail;    // regular expression the output ends with
    std::string head;    // text the output starts with
    std::string warning; // text the output holds
    size_t erased = 0, programmed = 0, reads = 0;
};

Expect expect(const Case &c, const std::string &device)
{
    const Row &row = *c.row;
    const Image &img = image();
    Expect e;
    e.erased = img.blocks.size();
    e.programmed = e.reads = img.units.size();
    if (c.retries) {
        e.warning = "\rRecovering ";
        e.tail = lit("Sum check ok: ") + "[0-9A-F]{8}\n";
        return e;
    }
    if (row.stage == Stage::Sync) {
        if (c.kind != Fault::HangUp) {
            // One failed try, then the run goes on as usual.
            e.head = "Baud rate 9600 has been set\n\rRetry  0\r\rRetry  1\r"
                     "Baud rate has been adjusted\n";
            return e;
        }
        // The device is gone: the next try cannot open it.
        e.status = kStages[0].status;
        e.tail =
            lit("\rRetry  1\rFailed to open port " + device + "\n" + kStages[0].summary + "\n");
        e.erased = e.programmed = e.reads = 0;
        return e;
    }
    if (c.kind == Fault::Status) {
        e.warning = "Wrong status code: " + hex2(c.value) + ", should be " + hex2(row.state) + "\n";
        return e;
    }

    const StageInfo &stage = kStages[static_cast<size_t>(row.stage)];
    const int occ = occurrence(row);
    uint32_t target = 0;
    if (row.command == kEraseCmd && occ <= static_cast<int>(img.blocks.size()))
        target = img.blocks[static_cast<size_t>(occ - 1)];
    if ((row.command == kProgramCmd || row.command == kReadCmd) &&
        occ <= static_cast<int>(img.units.size()))
        target = img.units[static_cast<size_t>(occ - 1)];
    const std::string line =
        c.kind == Fault::ReadDifferent ? "\rError: verification failed at %u\n" : row.line;

    const bool processed = kind_of(c.kind).processed;
    e.status = stage.status;
    e.tail = report(row, c.kind, c.value) + lit(fill(line, target)) +
             lit(std::string(stage.summary) + "\n");
    e.erased = reached(row, Stage::Erase, kEraseCmd, img.blocks.size(), processed);
    e.programmed = reached(row, Stage::Program, kProgramCmd, img.units.size(), processed);
    // A memory read is sent whatever becomes of its answer.
    e.reads = reached(row, Stage::Verify, kReadCmd, img.units.size(), true);
    return e;
}

} // namespace

std::vector<Case> cases(Set set)
{
    std::vector<Case> v;
    for (const Row &row : kRows) {
        for (const Kind &k : kKinds) {
            if (!applies(row, k))
                continue;
            Case c{&row, k.fault, std::string(row.name) + "_" + k.name, wait_ms(row, k.fault),
                   fault_value(row, k)};
            const bool slow = c.wait_ms >= kFlashTimeoutMs;
            const bool in_default = !slow || (row.representative && k.fault == Fault::Silence);
            // A wrong unit whose answer is lost has no outcome to check without --retries.
            if (!retries_only(k.fault) && in_default == (set == Set::Default))
                v.push_back(c);
            if (!recoverable(row, k.fault))
                continue;
            // The lost acknowledgement of a programming frame, in its three
            // outcomes, runs by default; the other recovered silences are slow.
            const int late_ms = k.fault == Fault::Late ? k.value * 100 : 0;
            Case r{&row,    k.fault, c.name + "_Retries", retry_wait_ms(row, k.fault) + late_ms,
                   c.value, true};
            const bool lost_ack = row.command == kProgramCmd && row.representative &&
                                  (k.fault == Fault::Silence || k.fault == Fault::Truncate);
            const bool r_default = r.wait_ms < kFlashTimeoutMs || lost_ack || retries_only(k.fault);
            if (r_default == (set == Set::Default))
                v.push_back(r);
        }
    }
    return v;
}

void run_case(const Case &c)
{
    const Row &row = *c.row;
    const Image &img = image();
    testimg::TempDir dir;
    const std::string path = dir.write("fw.mot", testimg::srec(img.regions));
    bootsim::Device dev;
    // The flash shows which blocks the tool erased. With --retries the run
    // also checks the sum of the whole flash, which needs it erased first.
    dev.keep_content = !c.retries;
    bootsim::Sim sim{dev};
    sim.add_fault({row.command, occurrence(row), c.kind, c.value});
    ASSERT_TRUE(sim.start());
    std::vector<std::string> args = {"-s", sim.slave_path() + ":115200", "-i", path, "-v"};
    if (row.command == kSumCmd || c.retries)
        args.push_back("--sum-check");
    const std::string events = dir.path() + "/run.jsonl";
    if (c.retries)
        args.insert(args.end(), {"--retries", "3", "--events", events});
    const auto r = testproc::kestrel(args, c.wait_ms + kMarginMs);
    sim.stop();
    const Expect e = expect(c, sim.slave_path());

    EXPECT_FALSE(r.timed_out) << "still running after " << r.seconds << " s\n" << r.out;
    EXPECT_EQ(r.signal, 0) << r.out;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, e.status) << r.out;
    if (!e.tail.empty()) {
        EXPECT_TRUE(std::regex_search(r.out, std::regex(e.tail + "$")))
            << "output:\n"
            << r.out << "\nshould end with (regular expression):\n"
            << e.tail;
    }
    if (!e.head.empty()) {
        EXPECT_EQ(r.out.substr(0, e.head.size()), e.head);
    }
    if (!e.warning.empty()) {
        EXPECT_NE(r.out.find(e.warning), std::string::npos) << r.out;
    }

    // How far the device got.
    const auto frames = sim.frames();
    const size_t reads = static_cast<size_t>(std::count_if(
        frames.begin(), frames.end(), [](const Bytes &f) { return f[0] == kReadCmd; }));
    const std::set<unsigned> erased(img.blocks.begin(),
                                    img.blocks.begin() + static_cast<long>(e.erased));
    const std::set<uint32_t> programmed(img.units.begin(),
                                        img.units.begin() + static_cast<long>(e.programmed));
    EXPECT_EQ(sim.erased_blocks(), erased);
    EXPECT_EQ(sim.programmed_units(), programmed);
    if (!c.retries) {
        EXPECT_EQ(reads, e.reads); // recovery reads back as it needs
    } else {
        // The record holds the recoveries and stays well formed through repairs.
        const auto v =
            testproc::run("/usr/bin/python3",
                          {std::string(SOURCE_DIR) + "/tests/check-events.py", "events", events});
        EXPECT_EQ(v.status, 0) << v.out << v.err;
        std::ifstream in(events);
        const std::string record{std::istreambuf_iterator<char>(in),
                                 std::istreambuf_iterator<char>()};
        EXPECT_NE(record.find("{\"event\":\"recovery\","), std::string::npos) << record;
    }
    if (r.status == 0) {
        EXPECT_EQ(sim.programmed_units().size(), img.units.size()) << "success, yet not programmed";
        EXPECT_GE(reads, img.units.size()) << "success, yet not verified";
    }
    if (c.retries) {
        // A recovered fault costs what its wait says, not a forgotten time-out.
        EXPECT_LT(r.seconds, (c.wait_ms + kRecoveredSlackMs * TEST_TIME_SCALE) / 1000.0) << r.out;
        EXPECT_EQ(sim.stats().programmed_twice, 0u) << r.out;
    }
    if (c.kind == Fault::Late) {
        // A device that was only slow: no block erased again.
        const size_t erasures = static_cast<size_t>(std::count_if(
            frames.begin(), frames.end(), [](const Bytes &f) { return f[0] == kEraseCmd; }));
        EXPECT_EQ(erasures, img.blocks.size() + 1) << "and the end of erasure";
    }

    // Erased blocks hold 0xFF but where a unit was programmed; every other
    // byte is what the flash held before.
    const auto blocks = bootsim::erase_blocks_of(bootsim::Device{});
    Bytes want = sim.initial_flash();
    if (c.retries)
        std::fill(want.begin(), want.end(), 0xFF);
    for (unsigned b : erased)
        std::fill(want.begin() + blocks[b].start, want.begin() + blocks[b].end + 1, 0xFF);
    const uint32_t unit = bootsim::Device{}.unit;
    for (uint32_t u : programmed)
        std::copy(img.copy.begin() + u, img.copy.begin() + u + unit, want.begin() + u);
    const Bytes flash = sim.flash();
    ASSERT_EQ(flash.size(), want.size());
    const auto diff = std::mismatch(flash.begin(), flash.end(), want.begin());
    EXPECT_TRUE(diff.first == flash.end())
        << "flash differs first at " << (diff.first - flash.begin());
}

} // namespace faultmatrix
