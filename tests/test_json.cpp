// The JSON strings of the run's record: exact escapes for chosen bytes, and
// any bytes at all read back by an independent parser (Python's json module).
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "images.h"
#include "kestrel-json.h"
#include "process.h"

namespace
{

struct Escape {
    const char *name;
    std::string raw;
    const char *json;
};

class JsonString : public ::testing::TestWithParam<Escape>
{
};

TEST_P(JsonString, IsEscapedSo)
{
    std::string out;
    json_append_string(out, GetParam().raw.data(), GetParam().raw.size());
    EXPECT_EQ(out, GetParam().json);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, JsonString,
    ::testing::Values(Escape{"Plain", "fw.mot", R"("fw.mot")"},
                      Escape{"QuoteAndBackslash", "a\"b\\c", R"("a\"b\\c")"},
                      Escape{"ControlCharacters", std::string("\b\f\n\r\t\x01\x1f\0", 8),
                             R"("\b\f\n\r\t\u0001\u001f\u0000")"},
                      Escape{"WellFormedUtf8", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80",
                             "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\""},
                      Escape{"LoneByte",
                             "a\xff"
                             "b",
                             R"("a\ufffdb")"},
                      Escape{"TruncatedSequenceIsOneReplacement", "\xe2\x82z", R"("\ufffdz")"},
                      Escape{"Overlong", "\xc0\xaf", R"("\ufffd\ufffd")"},
                      Escape{"Surrogate", "\xed\xa0\x80", R"("\ufffd\ufffd\ufffd")"},
                      Escape{"AboveUnicode", "\xf4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")"},
                      Escape{"CutAtTheEnd", "x\xf0\x9f\x98", R"("x\ufffd")"}),
    [](const auto &info) { return std::string(info.param.name); });

// Random names, biased towards the bytes that need care, each written with its
// bytes in hexadecimal; the checker decodes every string and compares it with
// the bytes as Python's "replace" decoder reads them.
TEST(JsonStrings, AnyBytesGiveValidJsonThatAnotherParserReadsBack)
{
    std::mt19937 rng(18);
    const std::vector<uint8_t> interesting = {0x00, 0x01, 0x1F, '"',  '\\', 0x7F, 0x80, 0xBF,
                                              0xC0, 0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4,
                                              0xF5, 0xFF, 0xA0, 0x9F, 0x90, 0x8F, 'a',  '/'};
    std::string lines;
    constexpr int count = 3000;
    for (int n = 0; n < count; ++n) {
        std::string raw;
        const size_t len = rng() % 24;
        for (size_t i = 0; i < len; ++i)
            raw += static_cast<char>(rng() % 2 != 0 ? interesting[rng() % interesting.size()]
                                                    : rng() % 256);
        std::string line = "{\"name\":";
        json_append_string(line, raw.data(), raw.size());
        line += ",\"hex\":\"";
        for (unsigned char c : raw) {
            char h[3];
            snprintf(h, sizeof h, "%02x", c);
            line += h;
        }
        lines += line + "\"}\n";
    }
    testimg::TempDir dir;
    const std::string path = dir.write("names.jsonl", lines);
    auto r = testproc::run("/usr/bin/python3",
                           {std::string(SOURCE_DIR) + "/tests/check-events.py", "names", path});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "names=" + std::to_string(count) + "\n");
}

} // namespace
