// The Intel HEX loader: record syntax and every fault with its line, address
// records and 64 KiB wrap, range limits, and real toolchain output against
// objcopy's reading of the same files.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "error.h"
#include "flash-copy.h"
#include "h8-program.h"
#include "images.h"
#include "kestrel-loaders.h"
#include "kestrel.h"

namespace
{

constexpr uint32_t flash_size = 0x20000;
constexpr uint16_t flash_unit = 128;
constexpr uint32_t used_before = 1000;

using bytes = std::vector<uint8_t>;
using testimg::ihex_record;

std::string rec(uint8_t type, uint16_t offset, const bytes &data)
{
    return ihex_record(type, offset, data) + "\n";
}
const std::string eof = rec(1, 0, {});

struct placed_t {
    uint32_t address;
    bytes b;
};

struct ihex_case {
    const char *name;
    std::string text;
    int ret;
    std::string printed; // after "Parsing FILE intel-hex..."; FILE stands for the path
    std::vector<placed_t> placed;
};

std::vector<ihex_case> ihex_cases()
{
    const bytes a = testimg::pattern(16, 1), b = testimg::pattern(16, 2);
    const bytes a8(a.begin(), a.begin() + 8), a8b(a.begin() + 8, a.end());
    std::string bad_sum = rec(0, 0x100, b);
    bad_sum[bad_sum.size() - 2] = bad_sum[bad_sum.size() - 2] == '0' ? '1' : '0';
    std::string lower = rec(0, 0xABC, a);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return static_cast<char>(tolower(c)); });
    const std::string ok = " ok\n";
    auto err = [](int line, const std::string &what) {
        return "Error: FILE:" + std::to_string(line) + ": " + what + "\n";
    };
    return {
        {"CrLfLfAndEmptyLines",
         "\r\n" + ihex_record(0, 0x10, a) + "\r\n\n" + rec(0, 0x300, b) + eof,
         32,
         ok,
         {{0x10, a}, {0x300, b}}},
        {"LowerCaseDigits", lower + eof, 16, ok, {{0xABC, a}}},
        {"EndRecordWithoutLineEnd", rec(0, 0x10, a) + ihex_record(1, 0, {}), 16, ok, {{0x10, a}}},
        {"WhiteSpaceAfterEnd", rec(0, 0x10, a) + eof + "\n \t\r\n\n  ", 16, ok, {{0x10, a}}},
        {"SegmentOffsetsWrapAt64KiB",
         rec(2, 0, {0x01, 0x00}) + rec(0, 0xFFF8, a) + eof,
         16,
         ok,
         {{0x10FF8, a8}, {0x1000, a8b}}},
        {"LinearRecordRunsIntoNext64KiB",
         rec(2, 0, {0x10, 0}) + rec(4, 0, {0, 0}) + rec(0, 0xFFF8, a) + eof,
         16,
         ok,
         {{0xFFF8, a}}},
        {"SegmentReplacesLinear",
         rec(4, 0, {0, 1}) + rec(2, 0, {0, 2}) + rec(0, 0, a) + eof,
         16,
         ok,
         {{0x20, a}}},
        {"FillsFlashToLastByte",
         rec(4, 0, {0, 1}) + rec(0, 0xFFF0, a) + eof,
         16,
         ok,
         {{0x1FFF0, a}}},
        {"OneByteBeyondFlash",
         rec(4, 0, {0, 1}) + rec(0, 0xFFF1, a) + eof,
         -1,
         "Error: address 0x20001 is invalid, image is out of range\n",
         {}},
        {"FarBeyondFlash",
         rec(4, 0, {0xFF, 0xFF}) + rec(0, 0xFFF8, a) + eof,
         -1,
         "Error: address 0x100000008 is invalid, image is out of range\n",
         {}},
        // Faults, each on the line it names; data placed before it stays.
        {"EmptyFile", "", -1, err(1, "no end-of-file record"), {}},
        {"NoEndRecord",
         rec(0, 0x10, a) + "\n" + rec(0, 0x300, b),
         -1,
         err(4, "no end-of-file record"),
         {{0x10, a}, {0x300, b}}},
        {"NoColon",
         rec(0, 0x10, a) + rec(0, 0x300, b).substr(1) + eof,
         -1,
         err(2, "record does not start with ':'"),
         {{0x10, a}}},
        {"BlankLineOfSpaces", " \n" + eof, -1, err(1, "record does not start with ':'"), {}},
        {"NotAHexDigit",
         ":0G0000000\n" + eof,
         -1,
         err(1, "character that is not a hexadecimal digit"),
         {}},
        {"OddDigits",
         std::string("\n").append(rec(0, 0x10, a), 0, 40).append("\n").append(eof),
         -1,
         err(2, "odd number of hexadecimal digits"),
         {}},
        {"TooShort", ":00000001\n", -1, err(1, "record too short"), {}},
        {"TooLong",
         std::string(":").append(522, '0').append("\n"),
         -1,
         err(1, "record longer than 255 data bytes"),
         {}},
        {"ByteCountMismatch",
         ":11000000" + std::string(32, '0') + "EF\n" + eof,
         -1,
         err(1, "byte count 17 does not match the record length"),
         {}},
        {"ChecksumMismatch",
         rec(0, 0x10, a) + rec(0, 0x20, a) + bad_sum + eof,
         -1,
         err(3, "checksum mismatch"),
         {{0x10, a}, {0x20, a}}},
        {"UnknownType", rec(6, 0, {}) + eof, -1, err(1, "unknown record type 06"), {}},
        {"EndRecordWithData",
         rec(1, 0, {0}),
         -1,
         err(1, "record type 01 with 1 data bytes instead of 0"),
         {}},
        {"ShortSegmentRecord",
         rec(2, 0, {0x10}) + eof,
         -1,
         err(1, "record type 02 with 1 data bytes instead of 2"),
         {}},
        {"TextAfterEnd", eof + "\n" + eof, -1, err(3, "text after the end-of-file record"), {}},
        {"CtrlZAfterEnd", eof + "\x1A", -1, err(2, "text after the end-of-file record"), {}},
    };
}

void PrintTo(const ihex_case &c, std::ostream *os)
{
    *os << c.name;
}

class IhexTest : public ::testing::Test
{
  protected:
    testimg::FlashCopy flash{flash_size, flash_unit, used_before};
    testimg::TempDir tmp;

    int load(const std::string &path, std::string &out)
    {
        testing::internal::CaptureStdout();
        int r = add_ihex_to_map(path.c_str());
        out = testing::internal::GetCapturedStdout();
        return r;
    }
};

class IhexCases : public IhexTest, public ::testing::WithParamInterface<ihex_case>
{
};

TEST_P(IhexCases, LoadsOrRefusesWithFileAndLine)
{
    const ihex_case &c = GetParam();
    const std::string path = tmp.write("fw.hex", c.text);
    std::string out, printed = c.printed;
    if (printed.find("FILE") != std::string::npos)
        printed.replace(printed.find("FILE"), 4, path);
    EXPECT_EQ(load(path, out), c.ret);
    EXPECT_EQ(out, "Parsing " + path + " intel-hex..." + printed);
    EXPECT_EQ(cfg.used, used_before + (c.ret > 0 ? static_cast<uint32_t>(c.ret) : 0));

    bytes want(flash_size, 0xFF), want_flags(flash.flags.size(), 0);
    for (const placed_t &p : c.placed) {
        std::copy(p.b.begin(), p.b.end(), want.begin() + p.address);
        for (uint32_t a = p.address; a < p.address + p.b.size(); ++a)
            want_flags[a / flash_unit / 8] |= static_cast<uint8_t>(1u << (a / flash_unit % 8));
    }
    EXPECT_EQ(flash.mem, want);
    EXPECT_EQ(flash.flags, want_flags);
}

INSTANTIATE_TEST_SUITE_P(Ihex, IhexCases, ::testing::ValuesIn(ihex_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

// Several read buffers of records, lines straddling every buffer boundary.
TEST_F(IhexTest, RecordsAcrossReadBuffers)
{
    std::vector<testimg::Region> regions = {{0x10, testimg::pattern(flash_size - 0x10, 3)}};
    std::string out;
    ASSERT_EQ(load(tmp.write("big.hex", testimg::ihex(regions, 27)), out),
              static_cast<int>(flash_size - 0x10));
    EXPECT_TRUE(
        std::equal(regions[0].data.begin(), regions[0].data.end(), flash.mem.begin() + 0x10));
}

// Toolchain output: a program whose code crosses 64 KiB and whose data lies in
// another 64 KiB, written by objcopy (segment records) and srec_cat (linear
// records); the flash copy must hold what objcopy reads from the same file.
TEST_F(IhexTest, ToolchainFilesGiveObjcopysBytes)
{
    h8prog::Program prog;
    std::string why;
    if (!h8prog::build(tmp.path(), 0xF800, 0x1F000, 3000, prog, why))
        GTEST_SKIP() << why;
    const std::string dir = tmp.path();
    ASSERT_TRUE(h8prog::run("h8300-hms-objcopy -O srec '" + prog.coff + "' " + dir + "/p.mot"));
    const std::vector<std::pair<std::string, std::string>> files = {
        {"segment records", "h8300-hms-objcopy -O ihex '" + prog.coff + "' " + dir + "/p.hex"},
        {"linear records", "srec_cat " + dir + "/p.mot -o " + dir + "/p.hex -intel"},
    };
    uint32_t data_bytes = 0;
    for (const auto &s : prog.sections)
        data_bytes += static_cast<uint32_t>(s.data.size());
    for (const auto &[what, command] : files) {
        SCOPED_TRACE(what);
        std::fill(flash.mem.begin(), flash.mem.end(), 0xFF);
        cfg.used = 0;
        ASSERT_TRUE(h8prog::run(command));
        ASSERT_TRUE(h8prog::run("objcopy -I ihex -O binary --gap-fill 0xff " + dir + "/p.hex " +
                                dir + "/p.bin"));
        const bytes reference = h8prog::read_file(dir + "/p.bin");
        std::string out;
        EXPECT_EQ(load(dir + "/p.hex", out), static_cast<int>(data_bytes)) << out;
        const uint32_t low = prog.sections.front().address;
        ASSERT_EQ(reference.size(),
                  prog.sections.back().address + prog.sections.back().data.size() - low);
        EXPECT_TRUE(std::equal(reference.begin(), reference.end(), flash.mem.begin() + low));
        EXPECT_EQ(std::count(flash.mem.begin(), flash.mem.begin() + low, 0xFF), low);
        EXPECT_EQ(cfg.used, data_bytes);
    }
}

} // namespace
