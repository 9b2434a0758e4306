// The S-record loader against GNU objcopy: S1, S2 and S3 records of every data
// length, shuffled over pseudo-random addresses, must give the same bytes as
// `objcopy -I srec -O binary` of the same file.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "error.h"
#include "flash-copy.h"
#include "images.h"
#include "kestrel-loaders.h"
#include "kestrel.h"

namespace
{

constexpr uint32_t flash_size = 0x80000;
constexpr uint16_t flash_unit = 128;

using bytes = std::vector<uint8_t>;

struct record_t {
    uint32_t address;
    bytes data;
};

// One record with its line end.
std::string record_text(int type, unsigned addr_len, const record_t &r)
{
    std::string s = testimg::record(static_cast<char>('0' + type), addr_len, r.address, r.data);
    s += "\r\n";
    return s;
}

struct type_case {
    int type;
    unsigned addr_len;
    uint32_t base; // lowest address the records may start at
};

class ObjcopyDiff : public ::testing::TestWithParam<type_case>
{
  protected:
    testimg::FlashCopy flash{flash_size, flash_unit};
    bytes &mem = flash.mem;
    bytes &flags = flash.flags;
    testimg::TempDir tmp;
    const std::string dir = tmp.path();

    void SetUp() override
    {
        if (system("command -v objcopy >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "objcopy is not installed";
    }
};

TEST_P(ObjcopyDiff, SameBytesAsObjcopy)
{
    const type_case &t = GetParam();
    const unsigned max_data = 255 - t.addr_len - 1;
    std::mt19937 rng(0x4B53u + static_cast<unsigned>(t.type));

    // One record of each data length, laid out apart with small random gaps.
    std::vector<record_t> records;
    uint32_t address = t.base + rng() % 0x1000;
    for (unsigned n = 0; n <= max_data; ++n) {
        record_t r{address, bytes(n)};
        for (auto &b : r.data)
            b = static_cast<uint8_t>(rng());
        records.push_back(r);
        address += n + rng() % 64;
    }
    for (size_t i = records.size() - 1; i > 0; --i)
        std::swap(records[i], records[rng() % (i + 1)]);

    std::string text = record_text(0, 2, {0, {'t', 'e', 's', 't'}});
    for (const auto &r : records)
        text += record_text(t.type, t.addr_len, r);
    text += record_text(10 - t.type, t.addr_len, {0, {}});
    std::string src = dir + "/image.mot", out = dir + "/image.bin";
    std::ofstream(src, std::ios::binary) << text;

    std::string cmd = "objcopy -I srec -O binary --gap-fill 0xff '" + src + "' '" + out + "'";
    ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
    std::ifstream in(out, std::ios::binary);
    bytes reference((std::istreambuf_iterator<char>(in)), {});

    testing::internal::CaptureStdout();
    int total = add_srec_to_map(src.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Parsing " + src + " s-record... ok\n");

    uint32_t low = UINT32_MAX, high = 0, expected_total = 0;
    bytes want_flags(flags.size(), 0);
    for (const auto &r : records) {
        // objcopy's output begins at the lowest record, even one without data.
        low = std::min(low, r.address);
        high = std::max(high, r.address + static_cast<uint32_t>(r.data.size()));
        if (r.data.empty())
            continue;
        expected_total += static_cast<uint32_t>(r.data.size());
        for (uint32_t p = r.address / flash_unit; p <= (r.address + r.data.size() - 1) / flash_unit;
             ++p)
            want_flags[p / 8] |= static_cast<uint8_t>(1u << (p % 8));
    }
    EXPECT_EQ(total, static_cast<int>(expected_total));
    EXPECT_EQ(cfg.used, expected_total);
    ASSERT_EQ(reference.size(), high - low);
    EXPECT_TRUE(std::equal(reference.begin(), reference.end(), mem.begin() + low));
    EXPECT_EQ(std::count(mem.begin(), mem.begin() + low, 0xFF), low);
    EXPECT_EQ(std::count(mem.begin() + high, mem.end(), 0xFF), flash_size - high);
    EXPECT_EQ(flags, want_flags);
}

std::string type_name(const ::testing::TestParamInfo<type_case> &info)
{
    return std::string(1, 'S') + static_cast<char>('0' + info.param.type);
}

INSTANTIATE_TEST_SUITE_P(Types, ObjcopyDiff,
                         ::testing::Values(type_case{1, 2, 0x0100}, type_case{2, 3, 0x12345},
                                           type_case{3, 4, 0x40000}),
                         type_name);

} // namespace
