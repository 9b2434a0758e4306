// The simulated boot program, driven with hand-written bytes over its
// pseudo-terminal: framing, state machine, bit-rate switch, flash semantics,
// faults, sessions and pacing.
#include "bootsim.h"
#include "sim-client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <memory>
#include <set>

#include <poll.h>
#include <unistd.h>

using bootsim::Device;
using bootsim::Fault;
using bootsim::FaultSpec;
using bootsim::Sim;
using simclient::Bytes;
using simclient::Client;
using simclient::frame;
using simclient::frame_nosize;

namespace
{

const Bytes kAck{0x06};

class SimTest : public ::testing::Test
{
  protected:
    void start(const Device &dev = Device{}, const std::vector<FaultSpec> &faults = {},
               bool pace = false)
    {
        sim = std::make_unique<Sim>(dev);
        for (const auto &f : faults)
            sim->add_fault(f);
        sim->set_pace(pace);
        ASSERT_TRUE(sim->start());
        client = std::make_unique<Client>(sim->slave_path());
        ASSERT_TRUE(client->is_open());
    }
    void start_synced(const Device &dev = Device{}, const std::vector<FaultSpec> &faults = {})
    {
        start(dev, faults);
        ASSERT_TRUE(simclient::sync(*client));
    }
    void start_select(const Device &dev = Device{}, const std::vector<FaultSpec> &faults = {})
    {
        start(dev, faults);
        ASSERT_TRUE(simclient::to_select_state(*client));
    }
    Bytes x(const Bytes &b, size_t n) { return client->exchange(b, n, 300 * TEST_TIME_SCALE); }
    // Status and error byte of the status inquiry.
    Bytes status()
    {
        Bytes r = x({0x4F}, 5);
        return r.size() == 5 ? Bytes{r[2], r[3]} : Bytes{};
    }
    Bytes read_cmd(uint32_t addr, uint32_t len, uint8_t area = 0x01)
    {
        return frame(0x52, {area, uint8_t(addr >> 24), uint8_t(addr >> 16), uint8_t(addr >> 8),
                            uint8_t(addr), uint8_t(len >> 24), uint8_t(len >> 16),
                            uint8_t(len >> 8), uint8_t(len)});
    }
    Bytes program_cmd(uint32_t addr, const Bytes &data)
    {
        Bytes d(4 + data.size());
        for (int i = 0; i < 4; i++)
            d[size_t(i)] = uint8_t(addr >> (24 - 8 * i));
        std::copy(data.begin(), data.end(), d.begin() + 4);
        return frame_nosize(0x50, d);
    }

    std::unique_ptr<Sim> sim;
    std::unique_ptr<Client> client;
};

// ---- Framing ------------------------------------------------------------

struct Exchange {
    const char *name;
    Bytes sent;
    Bytes answer;
};

TEST_F(SimTest, InquiriesAnswerWithTheirHandWrittenReplies)
{
    const Exchange cases[] = {
        {"unit", {0x27}, {0x37, 0x02, 0x00, 0x80, 0x47}},
        {"status", {0x4F}, {0x5F, 0x02, 0x11, 0x00, 0x8E}},
        {"user MAT", {0x25}, {0x35, 0x09, 0x01, 0, 0, 0, 0, 0x00, 0x07, 0xFF, 0xFF, 0xBC}},
        {"devices",
         {0x20},
         {0x30, 0x0D, 0x01, 0x0B, '3', 'K', '6', '4', 'H', '8', 'S', '-', 'S', 'I', 'M', 0xE6}},
        {"clock modes", {0x21}, {0x31, 0x02, 0x01, 0x00, 0xCC}},
        {"ratios", {0x22}, {0x32, 0x03, 0x01, 0x01, 0x04, 0xC5}},
        {"frequencies", {0x23}, {0x33, 0x05, 0x01, 0x03, 0x20, 0x0D, 0xAC, 0xEB}},
    };
    start_synced();
    for (const auto &c : cases)
        EXPECT_EQ(x(c.sent, c.answer.size()), c.answer) << c.name;
    EXPECT_EQ(status(), (Bytes{0x11, 0x00})) << "nothing more was sent";
}

TEST_F(SimTest, EraseBlockReplyListsTheDefaultLayout)
{
    start_synced();
    Bytes r = x({0x26}, 1 + 2 + 1 + 16 * 8 + 1);
    ASSERT_EQ(r.size(), 133u);
    EXPECT_EQ(Bytes(r.begin(), r.begin() + 4), (Bytes{0x36, 0x00, 0x81, 16}));
    uint8_t sum = 0;
    for (uint8_t b : r)
        sum = uint8_t(sum + b);
    EXPECT_EQ(sum, 0);
    auto be32 = [&](size_t at) {
        return uint32_t(r[at]) << 24 | uint32_t(r[at + 1]) << 16 | uint32_t(r[at + 2]) << 8 |
               r[at + 3];
    };
    // 8 x 4 KiB, 32 KiB, 7 x 64 KiB, end to end.
    EXPECT_EQ(be32(4 + 8 * 7 + 4), 0x7FFFu);
    EXPECT_EQ(be32(4 + 8 * 8), 0x8000u);
    EXPECT_EQ(be32(4 + 8 * 8 + 4), 0xFFFFu);
    EXPECT_EQ(be32(4 + 8 * 15 + 4), 0x7FFFFu);
}

TEST_F(SimTest, SelectionFramesAreAcknowledged)
{
    start_synced();
    EXPECT_EQ(x({0x10, 0x04, '3', 'K', '6', '4', 0x04}, 1), kAck);
    EXPECT_EQ(x({0x11, 0x01, 0x00, 0xEE}, 1), kAck);
    EXPECT_EQ(x({0x3F, 0x06, 0x04, 0x80, 0x0B, 0x85, 0x01, 0x04, 0xA2}, 1), kAck);
    EXPECT_EQ(sim->current_rate(), 115200u);
}

TEST_F(SimTest, MalformedFramesAreRefused)
{
    const Exchange cases[] = {
        {"bad checksum", {0x11, 0x01, 0x00, 0xEF}, {0x91, bootsim::kErrChecksum}},
        {"unknown command", {0x77}, {bootsim::kErrCommand, 0x77}},
        {"device code of 3 bytes", frame(0x10, {'3', 'K', '6'}), {0x90, bootsim::kErrLength}},
        {"unknown device", frame(0x10, {'3', 'K', '6', '5'}), {0x90, bootsim::kErrDevice}},
    };
    start_synced();
    for (const auto &c : cases) {
        EXPECT_EQ(x(c.sent, c.answer.size()), c.answer) << c.name;
        EXPECT_EQ(status(), (Bytes{0x11, c.answer[1]})) << c.name;
    }
}

TEST_F(SimTest, FramesAreRecordedExactlyAsReceivedAfterSynchronisation)
{
    start_synced();
    x({0x27}, 5);
    x({0x11, 0x01, 0x00, 0xEF}, 2);
    EXPECT_EQ(sim->frames(), (std::vector<Bytes>{{0x27}, {0x11, 0x01, 0x00, 0xEF}}));
}

// ---- Synchronisation ----------------------------------------------------

TEST_F(SimTest, SynchronisationNeedsZeroThenCheckAt9600)
{
    start();
    EXPECT_EQ(x({0x55}, 1), (Bytes{0xFF})) << "0x55 without 0x00";
    EXPECT_EQ(x({0x27}, 1), Bytes{}) << "no commands before synchronisation";
    ASSERT_TRUE(client->configure(B19200));
    EXPECT_EQ(x({0x00}, 1), Bytes{}) << "not at 9600";
    ASSERT_TRUE(client->configure(B9600, false));
    EXPECT_EQ(x({0x00}, 1), Bytes{}) << "not raw";
    ASSERT_TRUE(client->configure(B9600));
    EXPECT_TRUE(simclient::sync(*client));
    EXPECT_TRUE(sim->frames().empty());
}

// ---- State machine ------------------------------------------------------

TEST_F(SimTest, CommandsOutOfOrderAreRefused)
{
    const Exchange cases[] = {
        {"clock mode before device", frame(0x11, {0x00}), {0x80, 0x11}},
        {"new rate before clock mode", frame(0x3F, {4, 0x80, 0x0B, 0x85, 1, 4}), {0x80, 0x3F}},
        {"confirmation without new rate", {0x06}, {0x80, 0x06}},
        {"state transition", {0x40}, {0x80, 0x40}},
        {"erasure selection", {0x48}, {0x80, 0x48}},
        {"block erasure", frame(0x58, {0x00}), {0x80, 0x58}},
        {"programming selection", {0x43}, {0x80, 0x43}},
        {"end of programming", {0x50, 0xFF, 0xFF, 0xFF, 0xFF, 0xB4}, {0x80, 0x50}},
        {"memory read", frame(0x52, {1, 0, 0, 0, 0, 0, 0, 0, 4}), {0x80, 0x52}},
    };
    start_synced();
    for (const auto &c : cases)
        EXPECT_EQ(x(c.sent, c.answer.size()), c.answer) << c.name;
    EXPECT_EQ(status(), (Bytes{0x11, 0x52}));
}

TEST_F(SimTest, StatusFollowsTheStates)
{
    start_synced();
    EXPECT_EQ(status(), (Bytes{0x11, 0x00}));
    ASSERT_EQ(x(frame(0x10, {'3', 'K', '6', '4'}), 1), kAck);
    EXPECT_EQ(status(), (Bytes{0x12, 0x00}));
    EXPECT_EQ(x(frame(0x10, {'3', 'K', '6', '4'}), 2), (Bytes{0x80, 0x10})) << "selected twice";
    ASSERT_EQ(x(frame(0x11, {0x00}), 1), kAck);
    EXPECT_EQ(status(), (Bytes{0x13, 0x00}));
    ASSERT_EQ(x(frame(0x3F, {0x04, 0x80, 0x0B, 0x85, 0x01, 0x04}), 1), kAck);
    ASSERT_TRUE(client->configure(B115200));
    ASSERT_EQ(x({0x06}, 1), kAck);
    EXPECT_EQ(status(), (Bytes{0x1F, 0x00}));
    EXPECT_EQ(x({0x25}, 2), (Bytes{0x80, 0x25})) << "no inquiries after the switch";
    ASSERT_EQ(x({0x40}, 1), kAck);
    EXPECT_EQ(status(), (Bytes{0x3F, 0x00}));
    ASSERT_EQ(x({0x48}, 1), kAck);
    EXPECT_EQ(status(), (Bytes{0x5F, 0x00}));
    ASSERT_EQ(x({0x58, 0x01, 0xFF, 0xA8}, 1), kAck);
    EXPECT_EQ(status(), (Bytes{0x3F, 0x00}));
    ASSERT_EQ(x({0x43}, 1), kAck);
    EXPECT_EQ(status(), (Bytes{0x4F, 0x00}));
    ASSERT_EQ(x({0x50, 0xFF, 0xFF, 0xFF, 0xFF, 0xB4}, 1), kAck);
    EXPECT_EQ(status(), (Bytes{0x3F, 0x00}));
}

TEST_F(SimTest, SelectionValuesAreChecked)
{
    Device dev;
    dev.devices = 2;
    dev.clock_modes = {0x00, 0x01};
    dev.strict_freq = true;
    start_synced(dev);
    // The second device is a copy with another code, and it can be selected.
    Bytes r = x({0x20}, 2 + 1 + 2 * 12 + 1);
    ASSERT_EQ(r.size(), 28u);
    EXPECT_EQ(std::string(r.begin() + 16, r.begin() + 20), "3K6a");
    EXPECT_EQ(x(frame(0x10, {'3', 'K', '6', 'a'}), 1), kAck);
    EXPECT_EQ(x(frame(0x11, {0x02}), 2), (Bytes{0x91, bootsim::kErrClockMode}));
    EXPECT_EQ(x(frame(0x11, {0x01}), 1), kAck);
    const Exchange refused[] = {
        {"rate 0", frame(0x3F, {0, 0, 0x0B, 0x85, 1, 4}), {0xBF, bootsim::kErrBitRate}},
        {"rate 12300", frame(0x3F, {0, 123, 0x0B, 0x85, 1, 4}), {0xBF, bootsim::kErrBitRate}},
        {"ratio 2", frame(0x3F, {0x04, 0x80, 0x0B, 0x85, 1, 2}), {0xBF, bootsim::kErrRatio}},
        {"two ratios", frame(0x3F, {0x04, 0x80, 0x0B, 0x85, 2, 4}), {0xBF, bootsim::kErrRatio}},
        {"1000000 baud, 7.8 % off at 117.96 MHz",
         frame(0x3F, {0x27, 0x10, 0x0B, 0x85, 1, 4}),
         {0xBF, bootsim::kErrBitRate}},
        {"frequency 990 kHz",
         frame(0x3F, {0x04, 0x80, 0x00, 0x63, 1, 4}),
         {0xBF, bootsim::kErrFrequency}},
    };
    for (const auto &c : refused)
        EXPECT_EQ(x(c.sent, c.answer.size()), c.answer) << c.name;
    EXPECT_EQ(x(frame(0x3F, {0x00, 0x30, 0x0B, 0x85, 1, 4}), 1), kAck);
    EXPECT_EQ(sim->current_rate(), 4800u);
}

// ---- Bit-rate switch ----------------------------------------------------

TEST_F(SimTest, ConfirmationIsAnsweredOnlyOnARawLineAtTheNewRate)
{
    start_synced();
    ASSERT_EQ(x(frame(0x10, {'3', 'K', '6', '4'}), 1), kAck);
    ASSERT_EQ(x(frame(0x11, {0x00}), 1), kAck);
    ASSERT_EQ(x(frame(0x3F, {0x12, 0x00, 0x0B, 0x85, 0x01, 0x04}), 1), kAck);
    EXPECT_EQ(x({0x06}, 1), Bytes{}) << "still at 9600";
    ASSERT_TRUE(client->configure(B460800, false));
    EXPECT_EQ(x({0x06}, 1), Bytes{}) << "right rate, not raw";
    ASSERT_TRUE(client->configure(B230400));
    EXPECT_EQ(x({0x06}, 1), Bytes{}) << "wrong rate";
    ASSERT_TRUE(client->configure(B460800));
    EXPECT_EQ(x({0x06}, 1), kAck);
    EXPECT_EQ(sim->current_rate(), 460800u);
}

// ---- Flash --------------------------------------------------------------

TEST_F(SimTest, InitialFlashIsSeededDataOrErased)
{
    Device dev;
    Sim a(dev), b(dev);
    dev.seed = 2;
    Sim c(dev);
    dev.erased_fill = true;
    Sim d(dev);
    auto fa = a.initial_flash();
    ASSERT_EQ(fa.size(), 512u * 1024);
    EXPECT_EQ(std::count(fa.begin(), fa.end(), 0xFF), 0);
    EXPECT_EQ(fa, b.initial_flash());
    EXPECT_NE(fa, c.initial_flash());
    auto fd = d.initial_flash();
    EXPECT_EQ(std::count(fd.begin(), fd.end(), 0xFF), long(fd.size()));
    EXPECT_EQ(a.flash(), fa);
}

TEST_F(SimTest, ErasureSetsExactlyTheBlockToErased)
{
    Device dev;
    dev.keep_content = true;
    start_select(dev);
    ASSERT_EQ(x({0x48}, 1), kAck);
    EXPECT_EQ(x({0x58, 0x01, 0x01, 0xA6}, 1), kAck);
    EXPECT_EQ(x(frame(0x58, {16}), 2), (Bytes{0xD8, bootsim::kErrBlock}));
    EXPECT_EQ(x({0x58, 0x01, 0xFF, 0xA8}, 1), kAck);
    auto before = sim->initial_flash(), after = sim->flash();
    for (size_t a = 0; a < after.size(); a++) {
        bool in_block = a >= 0x1000 && a <= 0x1FFF;
        ASSERT_EQ(after[a], in_block ? 0xFF : before[a]) << a;
    }
    EXPECT_EQ(sim->erased_blocks(), std::set<unsigned>{1});
}

TEST_F(SimTest, ProgrammingNeedsAnErasedUnitAndReadsBack)
{
    Device dev;
    dev.unit = 16;
    dev.keep_content = true;
    start_select(dev);
    Bytes data(16);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = uint8_t(0x30 + i);
    ASSERT_EQ(x({0x43}, 1), kAck);
    EXPECT_EQ(x(program_cmd(0x20, data), 2), (Bytes{0xD0, bootsim::kErrProgram})) << "not erased";
    ASSERT_EQ(x({0x50, 0xFF, 0xFF, 0xFF, 0xFF, 0xB4}, 1), kAck);
    ASSERT_EQ(x({0x48}, 1), kAck);
    ASSERT_EQ(x(frame(0x58, {0}), 1), kAck);
    ASSERT_EQ(x(frame(0x58, {0xFF}), 1), kAck);
    ASSERT_EQ(x({0x43}, 1), kAck);
    EXPECT_EQ(x(program_cmd(0x20, data), 1), kAck);
    EXPECT_EQ(x(program_cmd(0x20, Bytes(16, 0xFF)), 2), (Bytes{0xD0, bootsim::kErrProgram}))
        << "programmed twice without erasure";
    EXPECT_EQ(x(program_cmd(0x28, data), 2), (Bytes{0xD0, bootsim::kErrAddress})) << "unaligned";
    EXPECT_EQ(x(program_cmd(0x80000, data), 2), (Bytes{0xD0, bootsim::kErrAddress}))
        << "past the flash";
    ASSERT_EQ(x({0x50, 0xFF, 0xFF, 0xFF, 0xFF, 0xB4}, 1), kAck);
    EXPECT_EQ(sim->programmed_units(), std::set<uint32_t>{0x20});

    Bytes expect{0x52, 0, 0, 0, 0x12, 0xFF, 0xFF};
    expect.insert(expect.end(), data.begin(), data.end());
    uint8_t sum = 0;
    for (uint8_t b : expect)
        sum = uint8_t(sum + b);
    expect.push_back(uint8_t(-sum));
    EXPECT_EQ(x(read_cmd(0x1E, 0x12), expect.size()), expect);
    EXPECT_EQ(x(read_cmd(0x7FFFF, 2), 2), (Bytes{0xD2, bootsim::kErrAddress}));
    EXPECT_EQ(x(read_cmd(0, 0), 2), (Bytes{0xD2, bootsim::kErrLength}));
    EXPECT_EQ(x(read_cmd(0, 4, 0x00), 2), (Bytes{0xD2, bootsim::kErrAddress}));
    Bytes last = x(read_cmd(0x7FFFF, 1), 7);
    ASSERT_EQ(last.size(), 7u);
    EXPECT_EQ(last[5], sim->initial_flash()[0x7FFFF]);
}

TEST_F(SimTest, ProgrammingOnlyClearsBits)
{
    // Block 0 ends in the middle of unit 0: after erasing only block 0 the
    // unit is not all erased and is refused; block 1 erased too makes it
    // programmable, and the result is the old content AND the data.
    Device dev;
    dev.unit = 16;
    dev.erased_fill = true;
    dev.erase_blocks = {{0, 7}, {8, 0x7FFFF}};
    start_select(dev);
    ASSERT_EQ(x({0x43}, 1), kAck);
    ASSERT_EQ(x(program_cmd(0, Bytes(16, 0x0F)), 1), kAck);
    ASSERT_EQ(x({0x50, 0xFF, 0xFF, 0xFF, 0xFF, 0xB4}, 1), kAck);
    ASSERT_EQ(x({0x48}, 1), kAck);
    ASSERT_EQ(x(frame(0x58, {0}), 1), kAck);
    ASSERT_EQ(x(frame(0x58, {0xFF}), 1), kAck);
    ASSERT_EQ(x({0x43}, 1), kAck);
    EXPECT_EQ(x(program_cmd(0, Bytes(16, 0xF3)), 2), (Bytes{0xD0, bootsim::kErrProgram}));
    ASSERT_EQ(x({0x50, 0xFF, 0xFF, 0xFF, 0xFF, 0xB4}, 1), kAck);
    ASSERT_EQ(x({0x48}, 1), kAck);
    ASSERT_EQ(x(frame(0x58, {1}), 1), kAck);
    ASSERT_EQ(x(frame(0x58, {0xFF}), 1), kAck);
    ASSERT_EQ(x({0x43}, 1), kAck);
    EXPECT_EQ(x(program_cmd(0, Bytes(16, 0xF3)), 1), kAck);
    auto f = sim->flash();
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 16), Bytes(16, 0xF3));
}

TEST_F(SimTest, NonsenseLayoutIsReportedAsItStands)
{
    Device dev;
    dev.user_mat = {};
    dev.unit = 0;
    for (uint32_t i = 0; i < 33; i++)
        dev.erase_blocks.push_back({i * 0x100000, i * 0x100000 + 0xFFFFF});
    start_synced(dev);
    EXPECT_EQ(x({0x25}, 4), (Bytes{0x35, 0x01, 0x00, 0xCA}));
    EXPECT_EQ(x({0x27}, 5), (Bytes{0x37, 0x02, 0x00, 0x00, 0xC7}));
    Bytes r = x({0x26}, 1 + 2 + 1 + 33 * 8 + 1);
    ASSERT_EQ(r.size(), 269u);
    EXPECT_EQ(Bytes(r.begin(), r.begin() + 4), (Bytes{0x36, 0x01, 0x09, 33}));
    EXPECT_TRUE(sim->flash().empty());
}

// ---- Faults -------------------------------------------------------------

struct FaultCase {
    const char *name;
    FaultSpec fault;
    Bytes sent;
    Bytes answer;
};

TEST_F(SimTest, FaultsChangeTheAnswerAsSpecified)
{
    const FaultCase cases[] = {
        {"silence", {0x27, 1, Fault::Silence, 0}, {0x27}, {}},
        {"refuse", {0x27, 1, Fault::Refuse, 0x33}, {0x27}, {0xA7, 0x33}},
        {"bad checksum", {0x27, 1, Fault::BadChecksum, 0}, {0x27}, {0x37, 0x02, 0x00, 0x80, 0x48}},
        {"bad ack", {0x10, 1, Fault::BadChecksum, 0}, frame(0x10, {'3', 'K', '6', '4'}), {0xF9}},
        {"truncate to half", {0x27, 1, Fault::Truncate, 0}, {0x27}, {0x37, 0x02}},
        {"truncate to 3", {0x27, 1, Fault::Truncate, 3}, {0x27}, {0x37, 0x02, 0x00}},
        {"wrong size", {0x27, 1, Fault::WrongSize, 0}, {0x27}, {0x37, 0x03, 0x00, 0x80, 0x46}},
        {"oversize", {0x27, 1, Fault::OversizeSize, 0}, {0x27}, {0x37, 0xFF}},
        {"garble", {0x27, 1, Fault::Garble, 0x99}, {0x27}, {0x99, 0x02, 0x00, 0x80, 0x47}},
        {"status", {0x4F, 1, Fault::Status, 0x42}, {0x4F}, {0x5F, 0x02, 0x42, 0x00, 0x5D}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        start_synced(Device{}, {c.fault});
        EXPECT_EQ(x(c.sent, c.answer.size()), c.answer);
        // Nothing more follows, and the next status inquiry is answered whole.
        Bytes st = x({0x4F}, 5);
        ASSERT_EQ(st.size(), 5u);
        EXPECT_EQ(st[0], 0x5F);
        client.reset();
        sim.reset();
    }
}

TEST_F(SimTest, ReadFaultsChangeTheData)
{
    Device dev;
    dev.erased_fill = true;
    start_select(dev, {{0x52, 2, Fault::ReadDifferent, 5},
                       {0x52, 3, Fault::ReadShort, 0},
                       {0x52, 4, Fault::OversizeSize, 0},
                       {0x52, 5, Fault::WrongSize, 0}});
    const Bytes good{0x52, 0, 0, 0, 4, 0xFF, 0xFF, 0xFF, 0xFF, 0xAE};
    EXPECT_EQ(x(read_cmd(0, 4), 10), good);
    EXPECT_EQ(x(read_cmd(0, 4), 10), (Bytes{0x52, 0, 0, 0, 4, 0xFF, 0x00, 0xFF, 0xFF, 0xAD}))
        << "byte 5 mod 4 inverted";
    EXPECT_EQ(x(read_cmd(0, 4), 9), (Bytes{0x52, 0, 0, 0, 3, 0xFF, 0xFF, 0xFF, 0xAE}));
    EXPECT_EQ(x(read_cmd(0, 4), 5), (Bytes{0x52, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(x(read_cmd(0, 4), 10), (Bytes{0x52, 0, 0, 0, 5, 0xFF, 0xFF, 0xFF, 0xFF, 0xAD}));
    EXPECT_EQ(x(read_cmd(0, 4), 10), good);
}

TEST_F(SimTest, FaultHitsOnlyItsOccurrenceOrEveryTime)
{
    start_synced(Device{}, {{0x27, 2, Fault::Garble, 0x01}, {0x21, 0, Fault::Silence, 0}});
    const Bytes unit{0x37, 0x02, 0x00, 0x80, 0x47};
    EXPECT_EQ(x({0x27}, 5), unit);
    EXPECT_EQ(x({0x27}, 5), (Bytes{0x01, 0x02, 0x00, 0x80, 0x47}));
    EXPECT_EQ(x({0x27}, 5), unit);
    EXPECT_EQ(x({0x21}, 1), Bytes{});
    ASSERT_TRUE(client->send({0x21}));
    EXPECT_EQ(status(), (Bytes{0x11, 0x00})) << "the second 0x21 is not answered either";
}

TEST_F(SimTest, FaultOnSynchronisationDoesNotLetItAdvance)
{
    start(Device{}, {{0x55, 1, Fault::Garble, 0x12}});
    EXPECT_EQ(x({0x00}, 1), (Bytes{0x00}));
    EXPECT_EQ(x({0x55}, 1), (Bytes{0x12}));
    EXPECT_EQ(x({0x27}, 1), Bytes{}) << "not synchronised";
    EXPECT_TRUE(simclient::sync(*client));
    EXPECT_EQ(x({0x27}, 5).size(), 5u);
}

TEST_F(SimTest, HangUpEndsTheLineAndTheSession)
{
    start_synced(Device{}, {{0x27, 1, Fault::HangUp, 0}});
    ASSERT_TRUE(client->send({0x27}));
    pollfd p = {client->fd(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    uint8_t b;
    EXPECT_LE(::read(client->fd(), &b, 1), 0);
    client->close();
    EXPECT_TRUE(sim->wait_session_over(2000));
}

TEST_F(SimTest, TransitionErasesTheWholeUserMatAndTheSumCheckTotalsIt)
{
    Device dev;
    dev.user_mat = {{0, 0x0FFF}, {0x1000, 0x1FFF}};
    dev.erase_blocks = {{0, 0x1FFF}};
    dev.max_read = 256;
    start(dev);
    ASSERT_TRUE(simclient::sync(*client));
    EXPECT_EQ(x({0x4B}, 2), (Bytes{bootsim::kErrCommand, 0x4B})) << "not before 0x40";
    client.reset();
    ASSERT_TRUE(sim->wait_session_over(2000));
    client = std::make_unique<Client>(sim->slave_path());
    ASSERT_TRUE(simclient::to_select_state(*client));
    EXPECT_EQ(sim->flash(), Bytes(0x2000, 0xFF));
    EXPECT_TRUE(sim->erased_blocks().empty()) << "only block erasures count as erased blocks";
    // 0x2000 x 0xFF = 0x001FE000.
    EXPECT_EQ(x({0x4B}, 7), (Bytes{0x5B, 0x04, 0x00, 0x1F, 0xE0, 0x00, 0xA2}));
    ASSERT_EQ(x({0x43}, 1), kAck);
    ASSERT_EQ(x(program_cmd(0x1F80, Bytes(128, 0x01)), 1), kAck);
    ASSERT_EQ(x({0x50, 0xFF, 0xFF, 0xFF, 0xFF, 0xB4}, 1), kAck);
    // 0x1F80 x 0xFF + 0x80 x 0x01 = 0x001F6100.
    EXPECT_EQ(x({0x4B}, 7), (Bytes{0x5B, 0x04, 0x00, 0x1F, 0x61, 0x00, 0x21}));
    EXPECT_EQ(x(read_cmd(0x1E00, 384), 2), (Bytes{0xD2, bootsim::kErrLength}));
    EXPECT_EQ(x(read_cmd(0x1F00, 256), 262).size(), 262u);
}

TEST_F(SimTest, AdapterHoldsAShortAnswerForItsLatencyTimer)
{
    sim = std::make_unique<Sim>(Device{});
    sim->set_latency(60);
    ASSERT_TRUE(sim->start());
    client = std::make_unique<Client>(sim->slave_path());
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(x({0x00}, 1), (Bytes{0x00}));
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(elapsed, 0.060);
    // A whole packet is not held: 62 bytes of a 134-byte answer come at once.
    ASSERT_TRUE(simclient::to_select_state(*client));
    ASSERT_TRUE(client->send(read_cmd(0, 128)));
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(client->recv(124, 1000).size(), 124u);
    elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(elapsed, 0.060) << "two full packets go without the timer";
    EXPECT_EQ(client->recv(10, 1000).size(), 10u);
}

// ---- Sessions -----------------------------------------------------------

TEST_F(SimTest, SessionIsOverOnlyWhenTheClientClosesAfterSynchronising)
{
    Device dev;
    dev.erased_fill = true;
    dev.keep_content = true;
    start(dev);
    // A try that fails and closes, as the tool does between tries.
    EXPECT_EQ(x({0x00}, 1), (Bytes{0x00}));
    client.reset();
    EXPECT_FALSE(sim->wait_session_over(100));
    client = std::make_unique<Client>(sim->slave_path());
    ASSERT_TRUE(simclient::to_select_state(*client));
    ASSERT_EQ(x({0x43}, 1), kAck);
    ASSERT_EQ(x(program_cmd(0, Bytes(128, 0x11)), 1), kAck);
    EXPECT_FALSE(sim->session_over());
    client.reset();
    EXPECT_TRUE(sim->wait_session_over(2000));
    EXPECT_EQ(sim->current_rate(), 9600u);
    // A new session synchronises again and finds the flash as it was left.
    client = std::make_unique<Client>(sim->slave_path());
    ASSERT_TRUE(simclient::to_select_state(*client));
    Bytes r = x(read_cmd(0, 1), 7);
    ASSERT_EQ(r.size(), 7u);
    EXPECT_EQ(r[5], 0x11);
}

// ---- Pacing -------------------------------------------------------------

TEST_F(SimTest, PacedLineTakesTheWireTimeOfItsBytes)
{
    Device dev;
    dev.erase_us = 50000;
    start(dev, {}, true);
    ASSERT_TRUE(simclient::to_select_state(*client, 9600, B9600));
    ASSERT_EQ(x({0x48}, 1), kAck);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(client->exchange({0x26}, 2, 1000), (Bytes{0x80, 0x26}));
    EXPECT_EQ(client->exchange(frame(0x58, {0}), 1, 1000), kAck);
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    // 1 + 2 + 4 + 1 bytes at 9600 baud, plus 50 ms of erasure.
    EXPECT_GE(elapsed, 8 * 10.0 / 9600 + 0.05);
    auto st = sim->stats();
    EXPECT_DOUBLE_EQ(st.busy_seconds, 0.05);
    EXPECT_NEAR(st.wire_seconds, double(st.bytes_rx + st.bytes_tx) * 10 / 9600, 1e-9);
}

TEST_F(SimTest, WholeFlashProgramsAndReadsBack)
{
    Device dev;
    start_select(dev);
    ASSERT_EQ(x({0x48}, 1), kAck);
    for (uint8_t b = 0; b < 16; b++)
        ASSERT_EQ(x(frame(0x58, {b}), 1), kAck);
    ASSERT_EQ(x(frame(0x58, {0xFF}), 1), kAck);
    ASSERT_EQ(x({0x43}, 1), kAck);
    Bytes data(128);
    for (uint32_t a = 0; a < 0x80000; a += 128) {
        for (size_t i = 0; i < data.size(); i++)
            data[i] = uint8_t(a / 128 + i);
        ASSERT_EQ(x(program_cmd(a, data), 1), kAck) << a;
    }
    ASSERT_EQ(x({0x50, 0xFF, 0xFF, 0xFF, 0xFF, 0xB4}, 1), kAck);
    auto flash = sim->flash();
    for (uint32_t a = 0; a < 0x80000; a++)
        ASSERT_EQ(flash[a], uint8_t(a / 128 + a % 128)) << a;
    for (uint32_t a = 0; a < 0x80000; a += 64 * 128) {
        Bytes r = x(read_cmd(a, 128), 134);
        ASSERT_EQ(r.size(), 134u);
        EXPECT_EQ(Bytes(r.begin() + 5, r.end() - 1),
                  Bytes(flash.begin() + a, flash.begin() + a + 128));
    }
    EXPECT_EQ(sim->programmed_units().size(), 4096u);
    EXPECT_EQ(sim->erased_blocks().size(), 16u);
}

} // namespace
