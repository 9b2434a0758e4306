// The protocol stages against a scripted line: the exact frames they send, the
// replies they accept or refuse, and what they print.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "error.h"
#include "fake-serial.h"
#include "kestrel-proto.h"
#include "kestrel-stages.h"
#include "kestrel-sumcheck.h"
#include "kestrel.h"
#include "serial-linux.h"

namespace
{

using Bytes = std::vector<uint8_t>;

// A device reply: code, size field of `width` bytes (MSB first), data, checksum.
Bytes reply(uint8_t code, int width, const Bytes &data)
{
    Bytes r{code};
    for (int i = width - 1; i >= 0; --i)
        r.push_back(static_cast<uint8_t>(data.size() >> (8 * i)));
    r.insert(r.end(), data.begin(), data.end());
    uint8_t sum = 0;
    for (uint8_t b : r)
        sum = static_cast<uint8_t>(sum + b);
    r.push_back(static_cast<uint8_t>(-sum));
    return r;
}

Bytes be32(uint32_t v)
{
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes r;
    for (const Bytes &p : parts)
        r.insert(r.end(), p.begin(), p.end());
    return r;
}

const Bytes ACK{0x06};
Bytes status(uint8_t s)
{
    return reply(0x5F, 1, {s, 0x00});
}

// Areas or blocks as the layout replies carry them: count, then start/end pairs.
Bytes ranges(const std::vector<std::pair<uint32_t, uint32_t>> &r)
{
    Bytes d{static_cast<uint8_t>(r.size())};
    for (auto [s, e] : r)
        d = cat({d, be32(s), be32(e)});
    return d;
}

class Stages : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        setvbuf(stdout, nullptr, _IONBF, 0);
        fakeserial::reset();
        serial_close();
        serial_open("/dev/fake");
        saved = cfg;
        memset(&cfg, 0, sizeof cfg);
        snprintf(cfg.baudrate, sizeof cfg.baudrate, "%s", "115200");
        cfg.freq = 2949u * 10000u;
    }
    void TearDown() override
    {
        serial_close();
        free(mem_);
        free(flags_);
        cfg = saved;
    }

    // A flash of `size` bytes and `unit`-byte pages, with the given erase blocks.
    void layout(uint32_t size, uint16_t unit, const std::vector<uint32_t> &block_sizes = {})
    {
        cfg.size = size;
        cfg.unit = unit;
        mem_ = static_cast<uint8_t *>(malloc(size));
        memset(mem_, 0xFF, size);
        flags_ = static_cast<uint8_t *>(calloc(flags_bytes(size, unit), 1));
        cfg.mem = mem_;
        cfg.flags = flags_;
        cfg.blocks = static_cast<uint8_t>(block_sizes.size());
        for (size_t i = 0; i < block_sizes.size(); ++i)
            cfg.block_sizes[i] = block_sizes[i];
    }

    void feed(const Bytes &b) { fakeserial::feed(b.data(), b.size()); }

    template <typename F> std::string output_of(F f, int *result)
    {
        ::testing::internal::CaptureStdout();
        *result = f();
        return ::testing::internal::GetCapturedStdout();
    }

    h8s_config_t saved{};
    uint8_t *mem_ = nullptr;
    uint8_t *flags_ = nullptr;
};

// ---- Flash layout inquiry ----------------------------------------------------

TEST_F(Stages, LayoutInquiryFillsTheRecordAndAllocatesTheCopy)
{
    feed(reply(0x35, 1, ranges({{0, 0x3FFF}, {0x10000, 0x3FFFF}})));
    feed(reply(0x36, 2, ranges({{0, 0xFFF}, {0x1000, 0x1FFF}, {0x2000, 0x3FFFF}})));
    feed(reply(0x37, 1, {0x00, 0x80}));
    feed(status(0x11));
    int r;
    std::string out = output_of(get_info, &r);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(cfg.size, 0x40000u) << "the last area's end decides";
    EXPECT_EQ(cfg.blocks, 3);
    EXPECT_EQ(cfg.block_sizes[0], 0xFFFu) << "end minus start, no + 1";
    EXPECT_EQ(cfg.block_sizes[1], 0xFFFu);
    EXPECT_EQ(cfg.block_sizes[2], 0x3DFFFu);
    EXPECT_EQ(cfg.unit, 128);
    EXPECT_EQ(cfg.areas, 2) << "the areas are kept for the sum check";
    EXPECT_EQ(cfg.area_first[1], 0x10000u);
    EXPECT_EQ(cfg.area_last[1], 0x3FFFFu);
    ASSERT_NE(cfg.mem, nullptr);
    ASSERT_NE(cfg.flags, nullptr);
    for (uint32_t a = 0; a < cfg.size; ++a)
        ASSERT_EQ(cfg.mem[a], 0xFF) << a;
    for (uint32_t i = 0; i < 256; ++i)
        ASSERT_EQ(cfg.flags[i], 0) << i;
    EXPECT_EQ(fakeserial::written(), (Bytes{0x25, 0x26, 0x27, 0x4F}));
    mem_ = cfg.mem;
    flags_ = cfg.flags;
}

TEST_F(Stages, LayoutWithWrongStatusWarnsAndSucceeds)
{
    feed(reply(0x35, 1, ranges({{0, 0xFFFF}})));
    feed(reply(0x36, 2, ranges({})));
    feed(reply(0x37, 1, {0x00, 0x80}));
    feed(status(0x1F));
    int r;
    std::string out = output_of(get_info, &r);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(out, "Wrong status code: 1F, should be 11\n");
    EXPECT_EQ(cfg.blocks, 0);
    mem_ = cfg.mem;
    flags_ = cfg.flags;
}

struct LayoutCase {
    const char *name;
    Bytes mat, blocks, unit;
    const char *message;
    uint32_t read_size = 0; // --read-size
};

class LayoutRefused : public Stages, public ::testing::WithParamInterface<LayoutCase>
{
};

TEST_P(LayoutRefused, FailsWithMinusFourAndItsOwnLine)
{
    const LayoutCase &c = GetParam();
    cfg.read_size = c.read_size;
    feed(c.mat);
    feed(c.blocks);
    feed(c.unit);
    feed(status(0x11));
    int r;
    std::string out = output_of(get_info, &r);
    EXPECT_EQ(r, -4);
    EXPECT_EQ(out, c.message);
    EXPECT_TRUE(cfg.mem == nullptr || cfg.blocks <= 32);
    free(cfg.mem);
    free(cfg.flags);
}

const Bytes kMat = reply(0x35, 1, ranges({{0, 0xFFFF}}));
const Bytes kBlocks = reply(0x36, 2, ranges({{0, 0xFFFF}}));
const Bytes kUnit = reply(0x37, 1, {0x00, 0x80});

INSTANTIATE_TEST_SUITE_P(
    Replies, LayoutRefused,
    ::testing::Values(
        LayoutCase{"MatWithoutData", reply(0x35, 1, {}), kBlocks, kUnit,
                   "Invalid flash layout: no user MAT area\n"},
        LayoutCase{"MatWithNoArea", reply(0x35, 1, {0x00}), kBlocks, kUnit,
                   "Invalid flash layout: no user MAT area\n"},
        LayoutCase{"MatShorterThanItsAreas", reply(0x35, 1, {0x02, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF}),
                   kBlocks, kUnit, "Invalid flash layout: 2 user MAT areas in 9 bytes\n"},
        LayoutCase{"BlocksWithoutData", kMat, reply(0x36, 2, {}), kUnit, ""},
        LayoutCase{"BlocksShorterThanTheirCount", kMat,
                   reply(0x36, 2, {0x02, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF}), kUnit,
                   "Invalid flash layout: 2 erase blocks in 9 bytes\n"},
        LayoutCase{"MoreThan32Blocks", kMat, reply(0x36, 2, Bytes{33}), kUnit,
                   "Invalid flash layout: 33 erase blocks, at most 32 supported\n"},
        LayoutCase{"UnitWithoutData", kMat, kBlocks, reply(0x37, 1, {}),
                   "Invalid flash layout: no programming unit\n"},
        LayoutCase{"UnitZero", kMat, kBlocks, reply(0x37, 1, {0x00, 0x00}),
                   "Invalid flash layout: programming unit of 0 bytes\n"},
        LayoutCase{
            "SizeNotMultipleOfUnit", reply(0x35, 1, ranges({{0, 0xFFFE}})), kBlocks, kUnit,
            "Invalid flash layout: flash size 65535 is not a multiple of the programming unit "
            "128\n"},
        LayoutCase{"SizeBeyondTheAddressSpace", reply(0x35, 1, ranges({{0, 0x01000000}})), kBlocks,
                   kUnit,
                   "Invalid flash layout: flash size 16777217 is larger than the address space\n"},
        LayoutCase{"ReadSizeNotAMultipleOfTheUnit", kMat, kBlocks, kUnit,
                   "Invalid flash layout for this run: read size 192 is not a multiple of the "
                   "programming unit 128\n",
                   192},
        LayoutCase{"SizeWrapsToZero", reply(0x35, 1, ranges({{0, 0xFFFFFFFF}})), kBlocks, kUnit,
                   "Invalid flash layout: flash size 0 is not a multiple of the programming unit "
                   "128\n"}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- Device selection and new bit rate -----------------------------------------

// The replies of a whole selection sequence; `devices` is the 0x20 data.
void feed_selection(const Bytes &devices, const Bytes &freqs, bool confirm = true)
{
    auto f = [](const Bytes &b) { fakeserial::feed(b.data(), b.size()); };
    f(reply(0x30, 1, devices));
    f(ACK);
    f(reply(0x31, 1, {0x01, 0x00}));
    f(ACK);
    f(reply(0x32, 1, {0x01, 0x01, 0x04}));
    f(reply(0x33, 1, freqs));
    f(ACK);
    if (confirm) {
        f(ACK);
        f(status(0x1F));
    }
}

Bytes device_record(int count, const char *code, const char *name, uint8_t chars)
{
    const size_t name_len = strlen(name);
    Bytes d(2 + 4 + name_len);
    d[0] = static_cast<uint8_t>(count);
    d[1] = chars;
    std::copy_n(code, 4, d.begin() + 2);
    std::copy_n(name, name_len, d.begin() + 6);
    return d;
}

TEST_F(Stages, PrepareSendsTheSelectionFramesAndSwitchesTheRate)
{
    feed_selection(device_record(1, "AB12", "H8S-SIM", 11), {0x01, 0x03, 0x20, 0x0D, 0xAC});
    int r;
    std::string out = output_of(prepare, &r);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(out, "Found 1 device: ascii code \"AB12\", name \"H8S-SIM\"\n"
                   "Device \"AB12\" selected\n"
                   "Baud rate 115200 has been set\n"
                   "New baud rate has been acknowledged by H8S\n");
    // 0x10 0x04 'A' 'B' '1' '2' sums to 0xFA: checksum 0x06.
    const Bytes want = cat({{0x20},
                            {0x10, 0x04, 'A', 'B', '1', '2', 0x06},
                            {0x21},
                            {0x11, 0x01, 0x00, 0xEE},
                            {0x22},
                            {0x23},
                            {0x3F, 0x06, 0x04, 0x80, 0x0B, 0x85, 0x01, 0x04, 0xA2},
                            {0x06},
                            {0x4F}});
    EXPECT_EQ(fakeserial::written(), want);
    EXPECT_EQ(fakeserial::current_rate(), "115200");
    EXPECT_EQ(fakeserial::current_timeout(), 500);
}

TEST_F(Stages, DeviceNameIsCutToItsCharacterCountAndTheFirstDeviceIsSelected)
{
    // 12 characters: a name of 8, though more text follows in the reply.
    Bytes devices = device_record(2, "DEV1", "ABCDEFGHIJKL", 12);
    Bytes second = {12, 'D', 'E', 'V', '2', 'X', 'X', 'X', 'X', 'X', 'X', 'X', 'X'};
    devices.insert(devices.end(), second.begin(), second.end());
    feed_selection(devices, {0x01, 0x00, 0x64, 0x0D, 0xAC});
    int r;
    std::string out = output_of(prepare, &r);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(out.substr(0, out.find('\n') + 1),
              "Found 2 device: ascii code \"DEV1\", name \"ABCDEFGH\"\n");
    const Bytes &w = fakeserial::written();
    ASSERT_GE(w.size(), 7u);
    EXPECT_EQ(Bytes(w.begin() + 1, w.begin() + 7), (Bytes{0x10, 0x04, 'D', 'E', 'V', '1'}));
}

struct FreqCase {
    const char *name;
    uint32_t freq; // Hz
    Bytes ranges;
    bool warns;
};

class FrequencyTest : public Stages, public ::testing::WithParamInterface<FreqCase>
{
};

TEST_P(FrequencyTest, OnlyTheLastRangeCountsWithTheTruncatedQuotient)
{
    const FreqCase &c = GetParam();
    cfg.freq = c.freq;
    snprintf(cfg.baudrate, sizeof cfg.baudrate, "%s", "9600");
    feed_selection(device_record(1, "AB12", "N", 5), c.ranges);
    int r;
    std::string out = output_of(prepare, &r);
    EXPECT_EQ(r, 0);
    char warning[64];
    snprintf(warning, sizeof warning, "Warning: invalid frequency %gHz\n",
             static_cast<double>(c.freq));
    EXPECT_EQ(out.find(warning) != std::string::npos, c.warns) << out;
    // The frequency field carries freq / 10000 whatever the range said; 9600 baud sends 00 60.
    const Bytes &w = fakeserial::written();
    const Bytes head{0x3F, 0x06};
    auto at = std::search(w.begin(), w.end(), head.begin(), head.end());
    ASSERT_NE(at, w.end());
    EXPECT_EQ(Bytes(at + 2, at + 6), (Bytes{0x00, 0x60, static_cast<uint8_t>((c.freq / 10000) >> 8),
                                            static_cast<uint8_t>(c.freq / 10000)}));
}

const Bytes kTwoRanges = {0x02, 0x00, 100, 0x00, 200, 0x00, 200, 0x01, 0x5E}; // 100-200, 200-350

INSTANTIATE_TEST_SUITE_P(
    Ranges, FrequencyTest,
    ::testing::Values(FreqCase{"LowEdgeOfLastRange", 200u * 10000u, kTwoRanges, false},
                      FreqCase{"HighEdgeOfLastRange", 350u * 10000u, kTwoRanges, false},
                      FreqCase{"TruncatedQuotientStaysInside", 350u * 10000u + 9999u, kTwoRanges,
                               false},
                      FreqCase{"AboveLastRange", 351u * 10000u, kTwoRanges, true},
                      FreqCase{"InsideFirstRangeOnly", 150u * 10000u, kTwoRanges, true},
                      FreqCase{"EmptyListWarns", 10000u, {0x00}, true}),
    [](const auto &info) { return std::string(info.param.name); });

struct PrepareFailCase {
    const char *name;
    int steps_ok; // replies fed before the failing one
    Bytes bad;    // the failing reply (empty: silence)
    int result;
};

class PrepareFails : public Stages, public ::testing::WithParamInterface<PrepareFailCase>
{
};

TEST_P(PrepareFails, EachStepHasItsOwnResult)
{
    const PrepareFailCase &c = GetParam();
    const Bytes replies[] = {reply(0x30, 1, device_record(1, "AB12", "N", 5)),
                             ACK,
                             reply(0x31, 1, {0x01, 0x00}),
                             ACK,
                             reply(0x32, 1, {0x01, 0x01, 0x04}),
                             reply(0x33, 1, {0x01, 0x03, 0x20, 0x0D, 0xAC}),
                             ACK,
                             ACK,
                             status(0x1F)};
    for (int i = 0; i < c.steps_ok; ++i)
        feed(replies[i]);
    feed(c.bad);
    int r;
    output_of(prepare, &r);
    EXPECT_EQ(r, c.result);
}

const Bytes kRefusal = {0x90, 0x11};

INSTANTIATE_TEST_SUITE_P(
    Steps, PrepareFails,
    ::testing::Values(PrepareFailCase{"DeviceInquiry", 0, kRefusal, -2},
                      PrepareFailCase{"NoDevice", 0, reply(0x30, 1, {0x00}), -2},
                      PrepareFailCase{"CharacterCountBelowFour", 0,
                                      reply(0x30, 1, {0x01, 0x03, 'A', 'B', 'C'}), -2},
                      PrepareFailCase{"RecordLongerThanReply", 0,
                                      reply(0x30, 1, {0x01, 0x20, 'A', 'B', 'C', 'D'}), -2},
                      PrepareFailCase{"DeviceSelection", 1, kRefusal, -2},
                      PrepareFailCase{"ClockModeInquiry", 2, kRefusal, -3},
                      PrepareFailCase{"ClockModeSelection", 3, kRefusal, -3},
                      PrepareFailCase{"RatioInquiry", 4, kRefusal, -4},
                      PrepareFailCase{"RatioReplyWithoutRatio", 4, reply(0x32, 1, {0x01, 0x01}),
                                      -4},
                      PrepareFailCase{"FrequencyInquiry", 5, kRefusal, -4},
                      PrepareFailCase{"FrequencyReplyShorterThanEntries", 5,
                                      reply(0x33, 1, {0x02, 0, 1, 0, 2}), -4},
                      PrepareFailCase{"NewBitRate", 6, kRefusal, -5},
                      PrepareFailCase{"Confirmation", 7, Bytes{}, -6},
                      PrepareFailCase{"StatusInquiry", 8, Bytes{}, -1}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Stages, HostRateMissingFromTheTableFailsAfterTheDeviceAcknowledged)
{
    snprintf(cfg.baudrate, sizeof cfg.baudrate, "%s", "4800");
    feed_selection(device_record(1, "AB12", "N", 5), {0x01, 0x03, 0x20, 0x0D, 0xAC}, false);
    int r;
    output_of(prepare, &r);
    EXPECT_EQ(r, -5);
    const Bytes &w = fakeserial::written();
    EXPECT_EQ(Bytes(w.end() - 9, w.end()),
              (Bytes{0x3F, 0x06, 0x00, 0x30, 0x0B, 0x85, 0x01, 0x04, 0xF6}));
}

struct AutoCase {
    const char *name;
    uint32_t freq;               // 10 kHz units
    std::vector<Bytes> answers;  // the device's answers to the 0x3F frames
    std::vector<uint32_t> tried; // the rates sent, in order
    int result;
    const char *chosen; // cfg.baudrate afterwards
};

class AutoRate : public Stages, public ::testing::WithParamInterface<AutoCase>
{
};

TEST_P(AutoRate, TriesTheFastestRateWithinTwoPercentAndStepsDownOnlyWhenRefused)
{
    const AutoCase &c = GetParam();
    cfg.freq = c.freq * 10000;
    snprintf(cfg.baudrate, sizeof cfg.baudrate, "%s", "auto");
    feed(reply(0x30, 1, device_record(1, "AB12", "N", 5)));
    feed(ACK);
    feed(reply(0x31, 1, {0x01, 0x00}));
    feed(ACK);
    feed(reply(0x32, 1, {0x01, 0x01, 0x04}));
    feed(reply(0x33, 1, {0x01, 0x00, 0x01, 0xFF, 0xFF}));
    for (const Bytes &a : c.answers)
        feed(a);
    if (c.result == 0) {
        feed(ACK);
        feed(status(0x1F));
    }
    int r;
    std::string out = output_of(prepare, &r);
    EXPECT_EQ(r, c.result) << out;
    if (c.tried.empty()) {
        EXPECT_EQ(out.substr(out.find("selected\n") + 9),
                  "No bit rate is within 2% at a clock of 40000 Hz\n");
    }
    EXPECT_STREQ(cfg.baudrate, c.chosen);
    Bytes want;
    for (uint32_t rate : c.tried) {
        Bytes f = {0x3F,
                   0x06,
                   static_cast<uint8_t>(rate / 100 >> 8),
                   static_cast<uint8_t>(rate / 100),
                   static_cast<uint8_t>(c.freq >> 8),
                   static_cast<uint8_t>(c.freq),
                   0x01,
                   0x04};
        uint8_t sum = 0;
        for (uint8_t b : f)
            sum = static_cast<uint8_t>(sum + b);
        f.push_back(static_cast<uint8_t>(-sum));
        want = cat({want, f});
    }
    Bytes sent;
    const Bytes &w = fakeserial::written();
    for (size_t i = 0; i + 9 <= w.size(); ++i)
        if (w[i] == 0x3F && w[i + 1] == 0x06)
            sent = cat({sent, Bytes(w.begin() + static_cast<long>(i),
                                    w.begin() + static_cast<long>(i) + 9)});
    EXPECT_EQ(sent, want);
    if (r == 0) {
        EXPECT_EQ(fakeserial::current_rate(), c.chosen);
        EXPECT_NE(out.find(std::string("Baud rate ") + c.chosen + " has been set\n"),
                  std::string::npos)
            << out;
    }
}

const Bytes kRateRefused = {0xBF, 0x24};

INSTANTIATE_TEST_SUITE_P(
    Clocks, AutoRate,
    ::testing::Values(
        // 117.96 MHz: 921600 is exact (N = 3), 1000000 is 7.8 % off.
        AutoCase{"At2949Picks921600", 2949, {ACK}, {921600}, 0, "921600"},
        // 80 MHz: 1000000, 921600 and 576000 are more than 2 % off, 500000 is exact.
        AutoCase{"At2000PicksTheFastestWithinTwoPercent", 2000, {ACK}, {500000}, 0, "500000"},
        // Between 921600 and 460800 nothing is within 2 % at 117.96 MHz.
        AutoCase{"RefusedFirstChoiceStepsDown",
                 2949,
                 {kRateRefused, ACK},
                 {921600, 460800},
                 0,
                 "460800"},
        AutoCase{"SilenceEndsTheRun", 2949, {}, {921600}, -5, "auto"},
        AutoCase{"NoRateWithinTwoPercent", 1, {}, {}, -5, "auto"}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- Erasure -----------------------------------------------------------------------

TEST_F(Stages, EnteringTheStateSetsTheLongTimeout)
{
    feed(ACK);
    feed(status(0x3F));
    int r;
    std::string out = output_of(enter_erase_program_state, &r);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(out, "Entering programming state... ok\n");
    EXPECT_EQ(fakeserial::current_timeout(), 15000);
    EXPECT_EQ(fakeserial::written(), (Bytes{0x40, 0x4F}));
}

TEST_F(Stages, FailedTransitionLeavesTheLineOpen)
{
    feed({0x16, 0x51});
    int r;
    std::string out = output_of(enter_erase_program_state, &r);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(out, "Entering programming state...Command 40 with waiting response 06 failed with "
                   "response 16, error 51\n");
}

TEST_F(Stages, ErasesOnlyTheBlockHoldingData)
{
    layout(3 * 1024, 128, {1023, 1023, 1023});
    mark_page(8); // the first page of block 1
    feed(ACK);
    feed(ACK);
    feed(ACK);
    feed(status(0x3F));
    int r;
    std::string out = output_of(erase_flash, &r);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(out, "Erasing: \rErasing: 33%\rErasing: 66%\rErasing: 100%\n");
    EXPECT_EQ(fakeserial::written(),
              (Bytes{0x48, 0x58, 0x01, 0x01, 0xA6, 0x58, 0x01, 0xFF, 0xA8, 0x4F}));
}

struct EraseCase {
    const char *name;
    std::vector<uint32_t> blocks;
    std::vector<uint32_t> pages; // pages marked (unit 128, 64 KiB flash)
    Bytes erased;                // block numbers erased
};

class EraseSelection : public Stages, public ::testing::WithParamInterface<EraseCase>
{
};

TEST_P(EraseSelection, ErasesExactlyTheBlocksWithMarkedPages)
{
    const EraseCase &c = GetParam();
    layout(64 * 1024, 128, c.blocks);
    for (uint32_t p : c.pages)
        mark_page(p);
    for (size_t i = 0; i < c.erased.size() + 2; ++i)
        feed(ACK);
    feed(status(0x3F));
    int r;
    output_of(erase_flash, &r);
    EXPECT_EQ(r, 0);
    Bytes want{0x48};
    for (uint8_t b : c.erased)
        want = cat({want, {0x58, 0x01, b, static_cast<uint8_t>(0x100 - 0x59 - b)}});
    want = cat({want, {0x58, 0x01, 0xFF, 0xA8, 0x4F}});
    EXPECT_EQ(fakeserial::written(), want);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, EraseSelection,
    ::testing::Values(
        EraseCase{"NothingMarked", {0x3FFF, 0x3FFF}, {}, {}}, EraseCase{"NoBlocks", {}, {3}, {}},
        EraseCase{"DataEndingOnTheLastByteOfABlock", {0x3FFF, 0x3FFF}, {127}, {0}},
        EraseCase{"FirstPageOfABlock", {0x3FFF, 0x3FFF, 0x3FFF}, {128}, {1}},
        EraseCase{"PageStraddlingTwoBlocks", {0x103F, 0x0FFF}, {32}, {0, 1}},
        EraseCase{
            "BlocksBeyondTheFlashAreNotTested", {0xFFFF, 0xFFFFF, 0xFFFFFFFF, 0xFFFF}, {511}, {0}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Stages, SevenBlocksPrintTruncatedPercentages)
{
    layout(7 * 1024, 128, {1023, 1023, 1023, 1023, 1023, 1023, 1023});
    feed(ACK);
    feed(ACK);
    feed(status(0x3F));
    int r;
    std::string out = output_of(erase_flash, &r);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(out, "Erasing: \rErasing: 14%\rErasing: 28%\rErasing: 42%\rErasing: 57%"
                   "\rErasing: 71%\rErasing: 85%\rErasing: 100%\n");
}

TEST_F(Stages, FailedBlockErasureDoesNotEndErasure)
{
    layout(2 * 1024, 128, {1023, 1023});
    mark_page(9);
    feed(ACK);
    feed({0xD8, 0x29});
    int r;
    std::string out = output_of(erase_flash, &r);
    EXPECT_EQ(r, -4);
    EXPECT_EQ(out,
              "Erasing: \rErasing: 50%Command 58 with waiting response 06 failed with response "
              "D8, error 29\nFailed to erase block 1\n");
    EXPECT_EQ(fakeserial::written().back(), 0xA6) << "no end-of-erasure frame after the failure";
}

// ---- Programming and verification -----------------------------------------------

TEST_F(Stages, ProgramsMarkedPagesInOrderWithPercentOfUsedBytes)
{
    layout(4096, 128);
    for (uint32_t p = 0; p < 8; ++p)
        mark_page(p * 2 + 1);
    for (uint32_t a = 0; a < 4096; ++a)
        cfg.mem[a] = static_cast<uint8_t>(a * 7);
    cfg.used = 1000;
    for (int i = 0; i < 10; ++i)
        feed(ACK);
    feed(status(0x3F));
    int r;
    std::string out = output_of(program_flash, &r);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(out, "\rUpgrading: 12%\rUpgrading: 25%\rUpgrading: 38%\rUpgrading: 51%"
                   "\rUpgrading: 64%\rUpgrading: 76%\rUpgrading: 89%\rUpgrading: 102%\n");
    const Bytes &w = fakeserial::written();
    ASSERT_EQ(w.size(), 1 + 8 * 134 + 6 + 1u);
    EXPECT_EQ(w[0], 0x43);
    // Page 1: 50 00 00 00 80, its 128 bytes, and a checksum that zeroes the frame.
    EXPECT_EQ(Bytes(w.begin() + 1, w.begin() + 6), (Bytes{0x50, 0x00, 0x00, 0x00, 0x80}));
    EXPECT_TRUE(std::equal(w.begin() + 6, w.begin() + 134, cfg.mem + 128));
    uint8_t sum = 0;
    for (auto it = w.begin() + 1; it != w.begin() + 135; ++it)
        sum = static_cast<uint8_t>(sum + *it);
    EXPECT_EQ(sum, 0);
    EXPECT_EQ(Bytes(w.begin() + 1 + 7 * 134, w.begin() + 6 + 7 * 134),
              (Bytes{0x50, 0x00, 0x00, 0x07, 0x80}));
    EXPECT_EQ(Bytes(w.end() - 7, w.end()), (Bytes{0x50, 0xFF, 0xFF, 0xFF, 0xFF, 0xB4, 0x4F}));
}

TEST_F(Stages, NothingMarkedSendsOnlySelectionEndAndStatus)
{
    layout(1024, 128);
    feed(ACK);
    feed(ACK);
    feed(status(0x3F));
    int r;
    std::string out = output_of(program_flash, &r);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(out, "\n");
    EXPECT_EQ(fakeserial::written(), (Bytes{0x43, 0x50, 0xFF, 0xFF, 0xFF, 0xFF, 0xB4, 0x4F}));
}

TEST_F(Stages, PartialLastPageIsNeverProgrammed)
{
    layout(1000, 128); // pages 0..6 whole, page 7 partial
    mark_page(7);
    feed(ACK);
    feed(ACK);
    feed(status(0x3F));
    int r;
    output_of(program_flash, &r);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(fakeserial::written(), (Bytes{0x43, 0x50, 0xFF, 0xFF, 0xFF, 0xFF, 0xB4, 0x4F}));
}

TEST_F(Stages, FailedProgrammingFrameIsReportedAtItsAddress)
{
    layout(1024, 128);
    mark_page(0);
    mark_page(3);
    cfg.used = 256;
    feed(ACK);
    feed(ACK);
    feed({0xD0, 0x2A});
    int r;
    std::string out = output_of(program_flash, &r);
    EXPECT_EQ(r, -2);
    EXPECT_EQ(out, "\rUpgrading: 50%Command 50 with waiting response 06 failed with response D0, "
                   "error 2A\nFailed to flash 128 bytes chunk at 384\n");
}

// A memory-read answer for one page of the flash copy, optionally altered.
Bytes read_answer(const uint8_t *data, size_t n)
{
    return reply(0x52, 4, Bytes(data, data + n));
}

TEST_F(Stages, VerificationReadsMarkedPagesAndSucceeds)
{
    layout(1024, 128);
    mark_page(2);
    mark_page(5);
    cfg.used = 256;
    feed(read_answer(cfg.mem + 256, 128));
    feed(read_answer(cfg.mem + 640, 128));
    feed(status(0x3F));
    int r;
    std::string out = output_of(verify_flash, &r);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(out, "\rVerifying: 50%\rVerifying: 100%\n");
    const Bytes &w = fakeserial::written();
    EXPECT_EQ(Bytes(w.begin(), w.begin() + 12),
              (Bytes{0x52, 0x09, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x80, 0x23}));
}

TEST_F(Stages, DifferenceIsReportedAtThePageStart)
{
    layout(1024, 128);
    mark_page(3);
    cfg.used = 128;
    Bytes page(cfg.mem + 384, cfg.mem + 512);
    page[127] ^= 0x01;
    feed(read_answer(page.data(), page.size()));
    int r;
    std::string out = output_of(verify_flash, &r);
    EXPECT_EQ(r, -3);
    EXPECT_EQ(out, "\rError: verification failed at 384\n");
}

TEST_F(Stages, ShortOrFailedReadIsAFailedRead)
{
    for (size_t n : {size_t{0}, size_t{127}}) {
        fakeserial::reset();
        serial_open("/dev/fake");
        free(mem_);
        free(flags_);
        layout(1024, 128);
        mark_page(2);
        cfg.used = 128;
        feed(read_answer(cfg.mem + 256, n));
        int r;
        std::string out = output_of(verify_flash, &r);
        EXPECT_EQ(r, -2) << n;
        EXPECT_EQ(out, "Failed to read the memory at 256\n") << n;
    }
}

TEST_F(Stages, OversizedReadAnswerIsRefusedBeforeItsData)
{
    layout(1024, 128);
    mark_page(0);
    cfg.used = 128;
    feed({0x52, 0x00, 0x00, 0x00, 0x81});
    int r;
    std::string out = output_of(verify_flash, &r);
    EXPECT_EQ(r, -2);
    EXPECT_EQ(out, "Buffer is too small\nFailed to read the memory at 0\n");
}

// A memory-read request frame for len bytes at address.
Bytes read_request(uint32_t address, uint32_t len)
{
    Bytes f = cat({{0x52, 0x09, 0x01}, be32(address), be32(len)});
    uint8_t sum = 0;
    for (uint8_t b : f)
        sum = static_cast<uint8_t>(sum + b);
    f.push_back(static_cast<uint8_t>(-sum));
    return f;
}

struct ReadCase {
    const char *name;
    std::vector<uint32_t> pages; // marked, unit 128, 4 KiB flash
    uint32_t read_size;
    std::vector<std::pair<uint32_t, uint32_t>> reads; // address, length
};

class ReadSize : public Stages, public ::testing::WithParamInterface<ReadCase>
{
};

TEST_P(ReadSize, ReadsEachRunInTheFewestReadsAndShowsProgressPerUnit)
{
    const ReadCase &c = GetParam();
    layout(4096, 128);
    for (uint32_t a = 0; a < 4096; ++a)
        cfg.mem[a] = static_cast<uint8_t>(a * 13 + 5);
    for (uint32_t p : c.pages)
        mark_page(p);
    cfg.used = static_cast<uint32_t>(c.pages.size()) * 128;
    cfg.read_size = c.read_size;
    Bytes want;
    for (auto [a, n] : c.reads) {
        feed(read_answer(cfg.mem + a, n));
        want = cat({want, read_request(a, n)});
    }
    feed(status(0x3F));
    int r;
    std::string out = output_of(verify_flash, &r);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(fakeserial::written(), cat({want, {0x4F}}));
    std::string progress;
    for (size_t i = 1; i <= c.pages.size(); ++i)
        progress += "\rVerifying: " + std::to_string(i * 100 / c.pages.size()) + "%";
    EXPECT_EQ(out, progress + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ReadSize,
    ::testing::Values(
        ReadCase{"OneUnitByDefault", {3, 4}, 0, {{384, 128}, {512, 128}}},
        ReadCase{"Gaps", {0, 1, 2, 5, 7, 8}, 256, {{0, 256}, {256, 128}, {640, 128}, {896, 256}}},
        ReadCase{"RunLongerThanTheReadSize",
                 {0, 1, 2, 3, 4, 5, 6, 7, 8, 9},
                 512,
                 {{0, 512}, {512, 512}, {1024, 256}}},
        ReadCase{"LastUnitsOfTheFlash", {29, 30, 31}, 1024, {{3712, 384}}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Stages, DifferenceInALargeReadIsReportedAtItsUnit)
{
    layout(4096, 128);
    for (uint32_t p = 0; p < 4; ++p)
        mark_page(p);
    cfg.used = 512;
    cfg.read_size = 512;
    Bytes data(cfg.mem, cfg.mem + 512);
    data[300] ^= 0x40;
    feed(read_answer(data.data(), data.size()));
    int r;
    std::string out = output_of(verify_flash, &r);
    EXPECT_EQ(r, -3);
    EXPECT_EQ(out, "\rVerifying: 25%\rVerifying: 50%\rError: verification failed at 256\n");
}

TEST_F(Stages, RefusedLargeReadFallsBackToOneUnitAndComparesEveryUnit)
{
    for (bool last_differs : {false, true}) {
        fakeserial::reset();
        serial_open("/dev/fake");
        free(mem_);
        free(flags_);
        layout(4096, 128);
        for (uint32_t a = 0; a < 4096; ++a)
            cfg.mem[a] = static_cast<uint8_t>(a);
        for (uint32_t p : {1u, 2u, 3u, 4u, 9u})
            mark_page(p);
        cfg.used = 640;
        cfg.read_size = 1024;
        feed({0xD2, 0x2B});
        Bytes want = read_request(128, 512);
        for (uint32_t p : {1u, 2u, 3u, 4u, 9u}) {
            Bytes unit(cfg.mem + p * 128, cfg.mem + p * 128 + 128);
            if (last_differs && p == 9)
                unit[0] ^= 1;
            feed(read_answer(unit.data(), unit.size()));
            want = cat({want, read_request(p * 128, 128)});
        }
        feed(status(0x3F));
        int r;
        std::string out = output_of(verify_flash, &r);
        EXPECT_EQ(r, last_differs ? -3 : 0);
        EXPECT_EQ(out, "Command 52 with waiting response 52 failed with response D2, error 2B\n"
                       "Device refused a read of 512 bytes, reading one unit at a time\n"
                       "\rVerifying: 20%\rVerifying: 40%\rVerifying: 60%\rVerifying: 80%" +
                           std::string(last_differs ? "\rError: verification failed at 1152\n"
                                                    : "\rVerifying: 100%\n"));
        EXPECT_EQ(fakeserial::written(), last_differs ? want : cat({want, {0x4F}}));
    }
}

// ---- Sum check -------------------------------------------------------------------

struct SumCase {
    const char *name;
    int delta;    // added to the right sum in the answer
    Bytes answer; // when not empty: the answer instead
    int result;
    const char *tail; // what the stage prints last
};

class SumCheck : public Stages, public ::testing::WithParamInterface<SumCase>
{
};

TEST_P(SumCheck, ComparesTheDeviceSumOverTheAreasWithTheCopy)
{
    const SumCase &c = GetParam();
    layout(1024, 128);
    for (uint32_t a = 0; a < 1024; ++a)
        cfg.mem[a] = static_cast<uint8_t>(a * 7);
    // Two areas with a gap between them: the gap is not summed.
    cfg.areas = 2;
    cfg.area_first[0] = 0x000;
    cfg.area_last[0] = 0x0FF;
    cfg.area_first[1] = 0x200;
    cfg.area_last[1] = 0x3FF;
    uint32_t sum = 0;
    for (uint32_t a = 0; a < 1024; ++a)
        if (a < 0x100 || a >= 0x200)
            sum += cfg.mem[a];
    feed(c.answer.empty() ? reply(0x5B, 1, be32(sum + static_cast<uint32_t>(c.delta))) : c.answer);
    int r;
    std::string out = output_of(sum_check, &r);
    EXPECT_EQ(r, c.result);
    EXPECT_EQ(fakeserial::written(), Bytes{0x4B});
    char want[128];
    snprintf(want, sizeof want, c.tail, sum + static_cast<uint32_t>(c.delta), sum);
    EXPECT_EQ(out, want);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, SumCheck,
    ::testing::Values(
        SumCase{"Equal", 0, {}, 0, "Sum check ok: %08X\n"},
        SumCase{"Different", -1, {}, -2, "Error: sum check failed: device %08X, expected %08X\n"},
        SumCase{"Refused",
                0,
                {0xCB, 0x80},
                -1,
                "Command 4B with waiting response 5B failed with response CB, error 80\n"},
        SumCase{"ThreeBytes", 0, reply(0x5B, 1, {0, 0, 0}), -1,
                "Invalid sum check answer: 3 bytes instead of 4\n"},
        SumCase{"FiveBytes", 0, reply(0x5B, 1, {0, 0, 0, 0, 0}), -1, "Buffer is too small\n"}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- Synchronisation ------------------------------------------------------------------

TEST_F(Stages, SynchronisesAtOnceWhenTheDeviceAnswers)
{
    fakeserial::feed({0x00, 0xE6});
    int r;
    std::string out = output_of([] { return adjust_baud_rate("/dev/fake"); }, &r);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(out, "\rRetry  0\rBaud rate has been adjusted\n");
    EXPECT_EQ(fakeserial::written(), (Bytes{0x00, 0x55}));
    EXPECT_EQ(fakeserial::current_rate(), "9600");
    EXPECT_EQ(fakeserial::current_timeout(), 500);
    EXPECT_TRUE(fakeserial::is_open());
}

TEST_F(Stages, UnopenableDeviceIsNotRetried)
{
    serial_close();
    fakeserial::reset();
    fakeserial::set_open_fails(true);
    int r;
    std::string out = output_of([] { return adjust_baud_rate("/dev/none"); }, &r);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(out, "\rRetry  0\rFailed to open port /dev/none\n");
    EXPECT_EQ(fakeserial::open_count(), 0);
}

TEST_F(Stages, SilentFirstTriesAreRetriedOnAFreshPort)
{
    // Two silent tries, then the answers.
    int tries = 0;
    fakeserial::set_responder([&tries](const Bytes &w) {
        if (w.back() == 0x00 && ++tries == 3)
            fakeserial::feed({0x00});
        else if (w.back() == 0x55)
            fakeserial::feed({0xE6});
    });
    int r;
    std::string out = output_of([] { return adjust_baud_rate("/dev/fake"); }, &r);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(out, "\rRetry  0\r\rRetry  1\r\rRetry  2\rBaud rate has been adjusted\n");
    EXPECT_EQ(fakeserial::open_count(), 1 + 3) << "one open by the fixture, one per try";
}

TEST_F(Stages, UnwrittenFirstByteEndsSynchronisationWithThePortClosed)
{
    fakeserial::set_write_error(EIO);
    int r;
    std::string out = output_of([] { return adjust_baud_rate("/dev/fake"); }, &r);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(out, "\rRetry  0\r");
    EXPECT_FALSE(fakeserial::is_open());
}

} // namespace
