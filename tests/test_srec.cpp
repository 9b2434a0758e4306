// The S-record loader: record syntax, the order of its checks, what each
// failure leaves in the flash copy, placing, page marking and range limits.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "flash-copy.h"
#include "images.h"
#include "kestrel-loaders.h"
#include "kestrel-proto.h"
#include "kestrel.h"

namespace
{

constexpr uint32_t flash_size = 0x1000;
constexpr uint16_t flash_unit = 128;
constexpr uint32_t used_before = 1000;

using bytes = std::vector<uint8_t>;

bytes data(size_t n, unsigned seed)
{
    return testimg::pattern(n, seed);
}

// A record "S<type>" of the given bytes (count, address, data) and their checksum.
std::string raw(char type, const bytes &b)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string s{'S', type};
    unsigned sum = 0;
    for (uint8_t x : b) {
        s += hex[x >> 4];
        s += hex[x & 15];
        sum += x;
    }
    uint8_t ck = static_cast<uint8_t>(~sum);
    s += hex[ck >> 4];
    s += hex[ck & 15];
    return s;
}

std::string s1(uint32_t a, const bytes &d)
{
    return testimg::record('1', 2, a, d);
}
std::string s2(uint32_t a, const bytes &d)
{
    return testimg::record('2', 3, a, d);
}
std::string s3(uint32_t a, const bytes &d)
{
    return testimg::record('3', 4, a, d);
}

std::string lower_digits(std::string s)
{
    std::transform(s.begin() + 1, s.end(), s.begin() + 1,
                   [](char c) { return static_cast<char>(tolower(c)); });
    return s;
}

struct placed_t {
    uint32_t address;
    bytes b;
};

struct srec_case {
    const char *name;
    std::string text;
    int ret;
    std::string printed; // after "Parsing <file> s-record..."
    std::vector<placed_t> placed;
    std::vector<uint32_t> pages;
};

// Fresh flash copy and page map in cfg for each test; cfg restored after.
class image_fixture : public ::testing::Test
{
  protected:
    testimg::FlashCopy flash{flash_size, flash_unit, used_before};
    bytes &mem = flash.mem;
    bytes &flags = flash.flags;
    testimg::TempDir tmp;
    const std::string dir = tmp.path();

    std::string write(const std::string &text, const char *name = "image.mot")
    {
        std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    int load(const std::string &path, std::string &out)
    {
        testing::internal::CaptureStdout();
        int r = add_srec_to_map(path.c_str());
        out = testing::internal::GetCapturedStdout();
        return r;
    }
    // The flash copy holds 0xFF but for the placed bytes, and exactly these pages are marked.
    void expect_flash(const std::vector<placed_t> &placed, const std::vector<uint32_t> &pages)
    {
        bytes want(flash_size, 0xFF);
        for (const auto &p : placed)
            std::copy(p.b.begin(), p.b.end(), want.begin() + p.address);
        EXPECT_EQ(mem, want);
        bytes want_flags(flags.size(), 0);
        for (uint32_t p : pages)
            want_flags[p / 8] |= static_cast<uint8_t>(1u << (p % 8));
        EXPECT_EQ(flags, want_flags);
    }
};

std::vector<srec_case> srec_cases()
{
    const bytes a10 = data(10, 1), b10 = data(10, 2), c32 = data(32, 3), d16 = data(16, 4);
    const bytes max252 = data(252, 5);
    const std::string end9 = "S9030000FC";
    std::string bad = s1(0x100, b10);
    bad.back() = bad.back() == '0' ? '1' : '0'; // checksum off by one
    const char *range16 = "Error: address 0x1001 is invalid, image is out of range\n";
    return {
        {"EmptyFile", "", 0, " ok\n", {}, {}},
        {"SeparatorsOnly", std::string("\r\n \t\0\n", 6), 0, " ok\n", {}, {}},
        {"ReferenceRecord",
         "S10B01234B65737472656C21D5\n",
         8,
         " ok\n",
         {{0x123, {'K', 'e', 's', 't', 'r', 'e', 'l', '!'}}},
         {2}},
        {"CrLfAndBlankLines",
         "\r\n" + testimg::record('0', 2, 0, {'h', 'd', 'r'}) + "\r\n\r\n" + s1(0x200, a10) +
             "\r\n" + end9 + "\r\n",
         10,
         " ok\n",
         {{0x200, a10}},
         {4}},
        {"SpacesAndTabsOnOneLine",
         s1(0x10, a10) + " " + s1(0x300, b10) + "\t \t" + end9 + "\n",
         20,
         " ok\n",
         {{0x10, a10}, {0x300, b10}},
         {0, 6}},
        {"NulSeparators",
         s1(0x10, a10) + std::string(1, '\0') + s1(0x300, b10) + '\0' + '\0',
         20,
         " ok\n",
         {{0x10, a10}, {0x300, b10}},
         {0, 6}},
        {"LastLineWithoutLineEnd", s1(0x10, a10) + "\n" + end9, 10, " ok\n", {{0x10, a10}}, {0}},
        {"LastDataRecordWithoutLineEnd", s1(0x10, a10), 10, " ok\n", {{0x10, a10}}, {0}},
        {"CtrlZAtEndOfFile", s1(0x10, a10) + "\n\x1A", -2, "", {{0x10, a10}}, {0}},
        {"CtrlZBeforeLineEnd", s1(0x10, a10) + "\n\x1A\n", -2, "", {{0x10, a10}}, {0}},
        {"LowerCaseS", "s" + s1(0x10, a10).substr(1) + "\n", -2, "", {}, {}},
        {"LowerCaseDigits", lower_digits(s2(0xABC, a10)) + "\n", 10, " ok\n", {{0xABC, a10}}, {21}},
        {"OddLength", s1(0x10, a10).substr(0, 25) + "\n", -2, "", {}, {}},
        {"CutOddAtEndOfFile",
         s1(0x10, a10) + "\n" + s1(0x300, b10).substr(0, 15),
         -2,
         "",
         {{0x10, a10}},
         {0}},
        {"CutEvenAtEndOfFile", s1(0x300, b10).substr(0, 16), -3, "", {}, {}},
        {"LoneS", "S\n", -2, "", {}, {}},
        {"TypeOnly", "S1\n", -3, "", {}, {}},
        {"BadChecksumKeepsEarlierData",
         s1(0x100, a10) + "\n" + bad + "\n",
         -3,
         "",
         {{0x100, a10}},
         {2}},
        {"BadChecksumOnEndRecord", "S9030000FD\n", -3, "", {}, {}},
        {"BadChecksumOnUnknownType",
         raw('4', {3, 0, 0}).replace(8, 2, "00") + "\n",
         -3,
         "",
         {},
         {}},
        {"ByteCountTooLarge", raw('1', {5, 0x00, 0x10, 0xAA}) + "\n", -4, "", {}, {}},
        {"ByteCountTooSmallForData", raw('1', {3, 0x00, 0x10, 0xAA}) + "\n", -4, "", {}, {}},
        {"ByteCountBelowAddressWidth", raw('1', {2, 0x00}) + "\n", -2, "", {}, {}},
        {"ByteCountBelowAddressWidthS9", "S901FE\n", -2, "", {}, {}},
        {"UnrecognizedTypesSkipped",
         raw('4', {3, 0, 0}) + "\n" + raw('6', {3, 0, 0}) + "\n" + raw('A', {1}) + "\n" +
             raw('a', {1}) + "\n" + raw('G', {1}) + "\n" + s1(0x10, a10) + "\n",
         10,
         "Unrecognized record type 4\nUnrecognized record type 6\nUnrecognized record type "
         "10\nUnrecognized record type 10\nUnrecognized record type 16\n ok\n",
         {{0x10, a10}},
         {0}},
        {"HeaderCountAndEndRecordsChangeNothing",
         testimg::record('0', 2, 0x10, a10) + "\n" + testimg::record('5', 2, 1, {}) + "\n" +
             testimg::record('7', 4, 0x10, {}) + "\n" + testimg::record('8', 3, 0x10, {}) + "\n" +
             testimg::record('9', 2, 0x10, {}) + "\n",
         0,
         " ok\n",
         {},
         {}},
        {"S2AndS3Placed",
         s2(0x400, a10) + "\n" + s3(0x480, b10) + "\n",
         20,
         " ok\n",
         {{0x400, a10}, {0x480, b10}},
         {8, 9}},
        {"RecordAcrossPageBoundary", s1(0x70, c32) + "\n", 32, " ok\n", {{0x70, c32}}, {0, 1}},
        {"RecordAtPageStart", s1(0x80, c32) + "\n", 32, " ok\n", {{0x80, c32}}, {1}},
        {"EmptyDataRecordMarksNothing", s1(0x80, {}) + "\n", 0, " ok\n", {}, {}},
        {"LaterRecordWinsAndBothCount",
         s1(0x100, a10) + "\n" + s1(0x104, b10) + "\n",
         20,
         " ok\n",
         {{0x100, a10}, {0x104, b10}},
         {2}},
        {"FillsFlashToLastByte", s1(0xFF0, d16) + "\n", 16, " ok\n", {{0xFF0, d16}}, {31}},
        {"OneByteBeyondFlash", s1(0xFF1, d16) + "\n", -1, range16, {}, {}},
        {"EmptyRecordAtFlashEnd",
         s1(0x1000, {}) + "\n",
         -1,
         "Error: address 0x1000 is invalid, image is out of range\n",
         {},
         {}},
        {"S2FarBeyondFlash",
         s2(0x123456, d16) + "\n",
         -1,
         "Error: address 0x123466 is invalid, image is out of range\n",
         {},
         {}},
        {"S3AddressDoesNotWrap",
         s3(0xFFFFFFF0, c32) + "\n",
         -1,
         "Error: address 0x100000010 is invalid, image is out of range\n",
         {},
         {}},
        {"LongestRecordAccepted",
         s1(0x400, max252) + "\n",
         252,
         " ok\n",
         {{0x400, max252}},
         {8, 9}},
        {"RunLongerThanLongestRecord", s1(0x400, max252) + "00\n", -2, "", {}, {}},
    };
}

class SrecCases : public image_fixture, public ::testing::WithParamInterface<srec_case>
{
};

TEST_P(SrecCases, LoadsOrRefuses)
{
    const srec_case &c = GetParam();
    std::string path = write(c.text), out;
    int r = load(path, out);
    EXPECT_EQ(r, c.ret);
    EXPECT_EQ(out, "Parsing " + path + " s-record..." + c.printed);
    EXPECT_EQ(cfg.used, used_before + (c.ret > 0 ? static_cast<uint32_t>(c.ret) : 0));
    expect_flash(c.placed, c.pages);
}

INSTANTIATE_TEST_SUITE_P(Srec, SrecCases, ::testing::ValuesIn(srec_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

using SrecLoader = image_fixture;

TEST_F(SrecLoader, MissingFileIsReported)
{
    std::string path = dir + "/absent.mot", out;
    EXPECT_EQ(load(path, out), -1);
    EXPECT_EQ(out, "Parsing " + path + " s-record...File \"" + path + "\" not found\n");
    EXPECT_EQ(cfg.used, used_before);
}

TEST_F(SrecLoader, NullNameIsReported)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(add_srec_to_map(nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Parsing (null) s-record...File \"(null)\" not found\n");
}

TEST_F(SrecLoader, DirectoryIsNotARegularFile)
{
    std::string out;
    EXPECT_EQ(load(dir, out), -1);
    EXPECT_EQ(out, "Parsing " + dir + " s-record...Error: \"" + dir + "\" is not a regular file\n");
}

// Records that straddle the reader's buffer boundaries, in a file several
// buffers long: every record is placed whole.
TEST_F(SrecLoader, RecordsAcrossReadBuffers)
{
    std::string text;
    std::vector<placed_t> placed;
    std::vector<uint32_t> pages;
    uint32_t address = 0, total = 0;
    for (unsigned i = 0; text.size() < 300 * 1024; ++i) {
        bytes d = data(1 + i % 252, i);
        if (address + d.size() > flash_size)
            address = 0; // the next pass overwrites the bytes of the last
        text += s1(address, d) + (i % 3 == 0 ? "\r\n" : "\n") + std::string(i % 7, ' ');
        placed.push_back({address, d});
        for (uint32_t p = address / flash_unit; p <= (address + d.size() - 1) / flash_unit; ++p)
            pages.push_back(p);
        address += static_cast<uint32_t>(d.size());
        total += static_cast<uint32_t>(d.size());
    }
    std::string out;
    EXPECT_EQ(load(write(text), out), static_cast<int>(total));
    EXPECT_EQ(cfg.used, used_before + total);
    expect_flash(placed, pages);
}

TEST_F(SrecLoader, OverlongRunAcrossReadBufferIsRefused)
{
    std::string text = std::string(64 * 1024 - 300, '\n') + s1(0, data(252, 9)) + "0000\n";
    std::string out;
    EXPECT_EQ(load(write(text), out), -2);
    expect_flash({}, {});
}

struct hex_case {
    unsigned char c;
    unsigned char value;
};

TEST(Letter2Char, EveryCharacterHasAValue)
{
    const hex_case cases[] = {{'0', 0},  {'9', 9},    {'A', 10}, {'F', 15}, {'a', 10},
                              {'f', 15}, {'G', 16},   {'g', 16}, {':', 3},  {'/', 255},
                              {0, 208},  {0xE9, 178}, {'Z', 35}, {'@', 9}};
    for (const auto &c : cases)
        EXPECT_EQ(letter2char(c.c), c.value) << "character " << int{c.c};
}

TEST(Letters2Char, DecodesPairsMostSignificantFirst)
{
    const unsigned char in[] = "0aFf7G";
    unsigned char out[4] = {0x11, 0x22, 0x33, 0x44};
    letters2char(in, out, 3);
    EXPECT_EQ(bytes(out, out + 4), (bytes{0x0A, 0xFF, 0x80, 0x44}));
    letters2char(in, out, 0);
    EXPECT_EQ(bytes(out, out + 4), (bytes{0x0A, 0xFF, 0x80, 0x44}));
}

} // namespace
