// The ELF loader on files written with libelf from the sections of a real H8S
// program: segments placed at their load addresses as the equivalent S-record
// file places them, and every kind of file it must refuse, with its reason.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "elf-image.h"
#include "error.h"
#include "flash-copy.h"
#include "h8-program.h"
#include "images.h"
#include "kestrel-loaders.h"
#include "kestrel.h"

namespace
{

constexpr uint32_t flash_size = 0x80000;
constexpr uint16_t flash_unit = 128;
constexpr uint32_t used_before = 1000;
constexpr uint32_t data_rom = 0x10400; // initialised data's load address, after the code
constexpr uint32_t data_ram = 0xFFEF00;

using bytes = std::vector<uint8_t>;
using testelf::Segment;

class ElfTest : public ::testing::Test
{
  protected:
    testimg::FlashCopy flash{flash_size, flash_unit, used_before};
    testimg::TempDir tmp;
    h8prog::Program prog;
    bytes text, data;

    void SetUp() override
    {
        std::string why;
        if (!h8prog::build(tmp.path(), 0xF800, 0x1F000, 3000, prog, why))
            GTEST_SKIP() << why;
        text = prog.sections.front().data;
        data = prog.sections.back().data;
    }
    int load(const std::string &path, std::string &out)
    {
        testing::internal::CaptureStdout();
        int r = add_elf_to_map(path.c_str());
        out = testing::internal::GetCapturedStdout();
        return r;
    }
};

// Code in ROM, initialised data loaded in ROM and run in RAM with a zero-filled
// tail, a RAM .bss without file data and a note, both far outside the flash:
// the same flash copy, page map and count as the S-record file of the program
// with its data moved to the same load address.
TEST_F(ElfTest, SegmentsLandWhereTheSrecordFilePutsThem)
{
    const std::vector<Segment> segments = {
        {PT_LOAD, 0xF800, 0xF800, text, static_cast<uint32_t>(text.size())},
        {PT_LOAD, data_rom, data_ram, data, static_cast<uint32_t>(data.size() + 0x20)},
        {PT_LOAD, 0xFFF000, 0xFFF000, {}, 0x100},
        {PT_NOTE, 0x900000, 0, {1, 2, 3, 4}, 4},
    };
    const std::string elf = tmp.path() + "/fw.elf", mot = tmp.path() + "/fw.mot";
    ASSERT_TRUE(testelf::write(elf, segments));
    ASSERT_TRUE(h8prog::run("h8300-hms-objcopy -O srec --change-section-address .data=" +
                            std::to_string(data_rom) + " '" + prog.coff + "' " + mot));
    std::string out;
    EXPECT_EQ(load(elf, out), static_cast<int>(text.size() + data.size()));
    EXPECT_EQ(out, "Parsing " + elf + " elf... ok\n");
    const bytes mem = flash.mem, flags = flash.flags;
    const uint32_t used = cfg.used;

    std::fill(flash.mem.begin(), flash.mem.end(), 0xFF);
    std::fill(flash.flags.begin(), flash.flags.end(), 0);
    cfg.used = used_before;
    testing::internal::CaptureStdout();
    EXPECT_EQ(add_srec_to_map(mot.c_str()), static_cast<int>(text.size() + data.size()));
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(mem == flash.mem);
    EXPECT_EQ(flags, flash.flags);
    EXPECT_EQ(used, cfg.used);
}

struct elf_case {
    const char *name;
    uint32_t paddr;       // of the code segment
    uint32_t extra_memsz; // its p_memsz beyond p_filesz (all ones: one byte less than p_filesz)
    testelf::Header header;
    long cut;            // file size after truncation; -1 whole, below -1: this much less
    std::string printed; // after "Parsing FILE elf..."; FILE stands for the path
};

void PrintTo(const elf_case &c, std::ostream *os)
{
    *os << c.name;
}

const char *placed = " ok\n";

const std::vector<elf_case> elf_cases = {
    {"EndsOnLastByteOfFlash", flash_size, 0x100, {}, -1, placed}, // paddr minus the code size
    {"OnePastTheFlash",
     flash_size + 1,
     0,
     {},
     -1,
     "Error: address 0x80001 is invalid, image is out of range\n"},
    {"H8300H", 0xF800, 0, {ELFCLASS32, ELFDATA2MSB, ET_EXEC, 47}, -1, placed},
    {"WrongMachine",
     0xF800,
     0,
     {ELFCLASS32, ELFDATA2MSB, ET_EXEC, 42},
     -1,
     "Error: FILE: not an ELF file for the H8/300, H8/300H or H8S\n"},
    {"LittleEndian",
     0xF800,
     0,
     {ELFCLASS32, ELFDATA2LSB, ET_EXEC, 48},
     -1,
     "Error: FILE: not a big-endian ELF file\n"},
    {"Elf64",
     0xF800,
     0,
     {ELFCLASS64, ELFDATA2MSB, ET_EXEC, 48},
     -1,
     "Error: FILE: not a 32-bit ELF file\n"},
    {"Relocatable",
     0xF800,
     0,
     {ELFCLASS32, ELFDATA2MSB, ET_REL, 48},
     -1,
     "Error: FILE: not an executable ELF file\n"},
    {"MoreFileDataThanMemory",
     0xF800,
     ~0u,
     {},
     -1,
     "Error: FILE: a loadable segment holds more file data than memory\n"},
    {"HeaderCut", 0xF800, 0, {}, 40, "Error: FILE: ELF header truncated or damaged\n"},
    {"ProgramHeadersCut",
     0xF800,
     0,
     {},
     52 + 16,
     "Error: FILE: program header table truncated or damaged\n"},
    {"SegmentPastTheEndOfTheFile",
     0xF800,
     0,
     {},
     52 + 32 + 100,
     "Error: FILE: a loadable segment lies past the end of the file\n"},
    {"NotAnElfFile", 0xF800, 0, {}, 3, "Error: FILE: not an ELF file\n"},
};

class ElfCases : public ElfTest, public ::testing::WithParamInterface<elf_case>
{
};

TEST_P(ElfCases, LoadsOrRefusesWithReason)
{
    const elf_case &c = GetParam();
    const uint32_t size = static_cast<uint32_t>(text.size());
    const uint32_t paddr = c.paddr >= flash_size ? c.paddr - size : c.paddr;
    const uint32_t memsz = c.extra_memsz == ~0u ? size - 1 : size + c.extra_memsz;
    const std::string path = tmp.path() + "/fw.elf";
    ASSERT_TRUE(testelf::write(path, {{PT_LOAD, paddr, paddr, text, memsz}}, c.header));
    if (c.cut >= 0) {
        ASSERT_EQ(truncate(path.c_str(), c.cut), 0);
    }
    std::string out, printed = c.printed;
    if (printed.find("FILE") != std::string::npos)
        printed.replace(printed.find("FILE"), 4, path);
    const bool ok = printed == placed;
    EXPECT_EQ(load(path, out), ok ? static_cast<int>(size) : -1);
    EXPECT_EQ(out, "Parsing " + path + " elf..." + printed);
    EXPECT_EQ(cfg.used, used_before + (ok ? size : 0));
    bytes want(flash_size, 0xFF);
    if (ok)
        std::copy(text.begin(), text.end(), want.begin() + paddr);
    EXPECT_TRUE(flash.mem == want);
    const auto marked =
        std::count_if(flash.flags.begin(), flash.flags.end(), [](uint8_t f) { return f != 0; });
    EXPECT_EQ(marked > 0, ok);
}

INSTANTIATE_TEST_SUITE_P(Elf, ElfCases, ::testing::ValuesIn(elf_cases),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
