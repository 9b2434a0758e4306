// The ELF loader on arbitrary file contents, against a 64 KiB flash of
// 128-byte pages. The input is the whole file. After every load the checks of
// flash-check.h hold, and the result, the flash copy and the page map are
// those of a reading of the headers by hand: big-endian ELF32 executables for
// machines 46 to 48, every PT_LOAD with file data placed at p_paddr.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "flash-check.h"
#include "kestrel-loaders.h"

namespace
{

flashcheck::loader_target_t *target = nullptr; // made once, in LLVMFuzzerInitialize

uint32_t be16(const uint8_t *p)
{
    return uint32_t{p[0]} << 8 | p[1];
}
uint32_t be32(const uint8_t *p)
{
    return be16(p) << 16 | be16(p + 2);
}

// The result the loader must give, placing into mem and flags; `sure` is
// cleared for the files whose fate rests on libelf's reading of the section
// header table or of an extended program header count, which this reading
// leaves alone.
int reference_load(const uint8_t *d, size_t size, std::vector<uint8_t> &mem,
                   std::vector<uint8_t> &flags, bool &sure)
{
    sure = true;
    constexpr size_t ehdr_size = 52, phdr_size = 32, shdr_size = 40;
    if (size < ehdr_size || memcmp(d,
                                   "\x7F"
                                   "ELF",
                                   4) != 0)
        return -1;
    if (d[4] != 1 || d[5] != 2 || d[6] != 1) // ELFCLASS32, ELFDATA2MSB, EV_CURRENT
        return -1;
    const uint64_t shoff = be32(d + 32), shnum = be16(d + 48);
    if (shoff != 0 && (be16(d + 46) != shdr_size || shnum == 0 || shoff + shnum * shdr_size > size))
        sure = false;
    if (be16(d + 16) != 2 || be16(d + 18) < 46 || be16(d + 18) > 48) // ET_EXEC, the H8 family
        return -1;
    const uint64_t phoff = be32(d + 28), phnum = be16(d + 44);
    if (phnum == 0xFFFF)
        sure = false;
    // A table offset past the file is damage even when the table is empty,
    // and a table with entries cannot start at offset 0.
    if (phoff >= size || (phnum > 0 && (phoff == 0 || be16(d + 42) != phdr_size ||
                                        phoff + phnum * phdr_size > size)))
        return -1;
    int total = 0;
    for (uint64_t i = 0; i < phnum; ++i) {
        const uint8_t *ph = d + phoff + i * phdr_size;
        const uint64_t offset = be32(ph + 4), paddr = be32(ph + 12), filesz = be32(ph + 16);
        if (be32(ph) != 1 || filesz == 0) // PT_LOAD with file data
            continue;
        if (offset + filesz > size || filesz > be32(ph + 20))
            return -1;
        if (!flashcheck::reference_place(paddr, d + offset, filesz, mem, flags))
            return -1;
        total += static_cast<int>(filesz);
    }
    return total;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    static flashcheck::loader_target_t made("elf");
    target = &made;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    target->run(add_elf_to_map, data, size, reference_load);
    return 0;
}
