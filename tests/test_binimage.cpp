// The binary image loader: placing, page marking, range limits without wrap,
// files it must refuse, and images that overlap S-record data.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "error.h"
#include "flash-copy.h"
#include "images.h"
#include "kestrel-loaders.h"
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

struct bin_case {
    const char *name;
    uint32_t start;
    size_t length;
    int ret;
    std::string printed; // after "Reading <file> binary image at <start>..."
    std::vector<uint32_t> pages;
};

class BinImage : public ::testing::Test
{
  protected:
    testimg::FlashCopy flash{flash_size, flash_unit, used_before};
    bytes &mem = flash.mem;
    bytes &flags = flash.flags;
    testimg::TempDir tmp;
    const std::string dir = tmp.path();

    std::string write(const std::string &name, const std::string &text)
    {
        std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    std::string write(const std::string &name, const bytes &b)
    {
        return write(name, std::string(b.begin(), b.end()));
    }
    int load_bin(uint32_t start, const std::string &path, std::string &out)
    {
        testing::internal::CaptureStdout();
        int r = add_bin_to_map(start, path.c_str());
        out = testing::internal::GetCapturedStdout();
        return r;
    }
    int load_srec(const std::string &path)
    {
        testing::internal::CaptureStdout();
        int r = add_srec_to_map(path.c_str());
        testing::internal::GetCapturedStdout();
        return r;
    }
    // A path that cannot be placed: refused with -1 and the message, nothing changed.
    void expect_refused(const std::string &path, const std::string &message)
    {
        std::string out;
        EXPECT_EQ(load_bin(0, path, out), -1);
        EXPECT_EQ(out, "Reading " + path + " binary image at 0..." + message);
        EXPECT_EQ(cfg.used, used_before);
        EXPECT_EQ(mem, bytes(flash_size, 0xFF));
        EXPECT_EQ(flags, bytes(flags.size(), 0));
    }
};

const char *range_message = "\nError: address 0x%" PRIX64 " is invalid, image is out of range\n";

std::string range_error(uint64_t address)
{
    char buf[100];
    snprintf(buf, sizeof buf, range_message, address);
    return buf;
}

const std::vector<bin_case> bin_cases = {
    {"EmptyFile", 0, 0, 0, " ok\n", {}},
    {"TwoPagesFromZero", 0, 256, 0, " ok\n", {0, 1}},
    {"TwoBytesAcrossPageBoundary", 127, 2, 0, " ok\n", {0, 1}},
    {"OneByteAtPageStart", 128, 1, 0, " ok\n", {1}},
    {"TenBytesInsideOnePage", 0x20, 10, 0, " ok\n", {0}},
    {"WholeFlash", 0, flash_size, 0, " ok\n", {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10,
                                               11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
                                               22, 23, 24, 25, 26, 27, 28, 29, 30, 31}},
    {"FillsFlashToLastByte", 0xFF0, 16, 0, " ok\n", {31}},
    {"OneByteBeyondFlash", 0xFF1, 16, -1, range_error(0x1001), {}},
    {"FileLargerThanFlash", 0, flash_size + 1, -1, range_error(0x1001), {}},
    {"EmptyFileAtFlashEnd", flash_size, 0, -1, range_error(0x1000), {}},
    {"StartBeyondFlash", 0x2000, 16, -1, range_error(0x2010), {}},
    {"HugeStartDoesNotWrap", 0xFFFFFFF0, 32, -1, range_error(0x100000010), {}},
};

class BinCases : public BinImage, public ::testing::WithParamInterface<bin_case>
{
};

TEST_P(BinCases, PlacesOrRefuses)
{
    const bin_case &c = GetParam();
    bytes image = data(c.length, 7);
    std::string path = write("image.bin", image), out;
    EXPECT_EQ(load_bin(c.start, path, out), c.ret);
    EXPECT_EQ(out, "Reading " + path + " binary image at " + std::to_string(c.start) + "..." +
                       c.printed);

    bytes want_mem(flash_size, 0xFF), want_flags(flags.size(), 0);
    if (c.ret == 0)
        std::copy(image.begin(), image.end(), want_mem.begin() + static_cast<long>(c.start));
    for (uint32_t p : c.pages)
        want_flags[p / 8] |= static_cast<uint8_t>(1u << (p % 8));
    EXPECT_EQ(mem, want_mem);
    EXPECT_EQ(flags, want_flags);
    EXPECT_EQ(cfg.used, used_before + (c.ret == 0 ? c.length : 0));
}

INSTANTIATE_TEST_SUITE_P(Bin, BinCases, ::testing::ValuesIn(bin_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(BinImage, MissingFileStandsOnItsOwnLine)
{
    expect_refused(dir + "/absent.bin", "\nFile \"" + dir + "/absent.bin\" not found\n");
}

TEST_F(BinImage, NullNameIsReported)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(add_bin_to_map(0, nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Reading (null) binary image at 0...\nFile \"(null)\" not found\n");
}

// Files without a size to place: refused at once, even a FIFO nobody writes to.
TEST_F(BinImage, FilesWithoutSizeAreRefused)
{
    std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(::write(fds[1], "abc", 3), 3);
    std::string pipe_path = "/proc/self/fd/" + std::to_string(fds[0]);

    for (const std::string &path : {fifo, pipe_path, dir}) {
        SCOPED_TRACE(path);
        expect_refused(path, "\nError: the size of \"" + path +
                                 "\" cannot be found, it is not a regular file\n");
    }
    close(fds[0]);
    close(fds[1]);
}

// A sysfs file claims 4096 bytes and delivers a few: the load must fail, not
// report success with the rest of the image missing.
TEST_F(BinImage, ShortFileIsNotPlaced)
{
    const char *path = "/sys/devices/system/cpu/online";
    struct stat st;
    if (stat(path, &st) != 0 || st.st_size != flash_size)
        GTEST_SKIP() << path << " is not there or has another size";
    std::string out;
    EXPECT_EQ(load_bin(0, path, out), -1);
    EXPECT_EQ(out, std::string("Reading ") + path + " binary image at 0...");
    EXPECT_EQ(cfg.used, used_before);
    EXPECT_EQ(flags, bytes(flags.size(), 0));
}

// S-record data 0x100..0x11F and a binary image 0x108..0x117, in both orders.
TEST_F(BinImage, LaterImageWinsWhereImagesOverlap)
{
    const bytes a = data(32, 1), b = data(16, 2);
    std::string srec = write("a.mot", testimg::record('1', 2, 0x100, a) + "\n"),
                bin = write("b.bin", b), out;

    ASSERT_EQ(load_srec(srec), 32);
    ASSERT_EQ(load_bin(0x108, bin, out), 0);
    bytes want(flash_size, 0xFF);
    std::copy(a.begin(), a.end(), want.begin() + 0x100);
    std::copy(b.begin(), b.end(), want.begin() + 0x108);
    EXPECT_EQ(mem, want);
    EXPECT_EQ(cfg.used, used_before + 48);

    mem.assign(flash_size, 0xFF);
    cfg.used = used_before;
    ASSERT_EQ(load_bin(0x108, bin, out), 0);
    ASSERT_EQ(load_srec(srec), 32);
    std::copy(a.begin(), a.end(), want.begin() + 0x100);
    EXPECT_EQ(mem, want);
    EXPECT_EQ(cfg.used, used_before + 48);
    EXPECT_EQ(flags[0], 0x04); // page 2 only
}

} // namespace
