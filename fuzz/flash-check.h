// The flash copy that the loader fuzz targets load into, and the checks that
// hold after every load, whatever the file: 64 KiB of 128-byte pages,
// allocated to their exact size so that the address sanitizer sees a write
// past either.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "error.h"
#include "kestrel.h"
#include "memfile.h"

namespace flashcheck
{

constexpr uint32_t flash_size = 64 * 1024;
constexpr uint16_t flash_unit = 128;
constexpr uint32_t used_before = 1000; // not 0, so that a wrong reset of used shows

inline std::vector<uint8_t> mem_before;
inline std::vector<uint8_t> flags_before;

inline void setup()
{
    cfg.size = flash_size;
    cfg.unit = flash_unit;
    cfg.mem = static_cast<uint8_t *>(malloc(flash_size));
    cfg.flags = static_cast<uint8_t *>(malloc(flags_bytes(flash_size, flash_unit)));
    ASSERT(cfg.mem != nullptr && cfg.flags != nullptr);
    mem_before.resize(flash_size);
    flags_before.resize(flags_bytes(flash_size, flash_unit));
}

// Each run starts from a flash copy with some content and marks of its own, so
// that a load which clears marks or bytes outside its data shows too.
inline void reset()
{
    memset(cfg.mem, 0xFF, flash_size);
    memset(cfg.flags, 0, flags_bytes(flash_size, flash_unit));
    cfg.mem[0x1234] = 0x5A;
    mark_page(page_of(0x1234));
    cfg.used = used_before;
    memcpy(mem_before.data(), cfg.mem, flash_size);
    memcpy(flags_before.data(), cfg.flags, flags_before.size());
}

// A refused file leaves cfg.used alone, an accepted one adds what it returned;
// marks are only added; every changed byte lies in a marked page.
inline void check_after(int result)
{
    if (result < 0)
        ASSERT(cfg.used == used_before);
    else
        ASSERT(cfg.used == used_before + static_cast<uint32_t>(result));
    const uint32_t pages = page_count();
    ASSERT(flags_bytes(flash_size, flash_unit) * 8 == pages);
    for (uint32_t p = 0; p < pages; ++p) {
        if ((flags_before[p >> 3] >> (p & 7)) & 1u)
            ASSERT(test_page(p));
        if (test_page(p))
            continue;
        ASSERT(memcmp(cfg.mem + p * flash_unit, mem_before.data() + p * flash_unit, flash_unit) ==
               0);
    }
}

// Places n bytes at address in a reference copy as the loaders must: refused
// whole (false) unless it starts inside the flash and ends at its last byte or
// before.
inline bool reference_place(uint64_t address, const uint8_t *pb, uint64_t n,
                            std::vector<uint8_t> &mem, std::vector<uint8_t> &flags)
{
    if (address >= flash_size || address + n > flash_size)
        return false;
    for (uint64_t k = 0; k < n; ++k) {
        mem[address + k] = pb[k];
        const auto page = static_cast<uint32_t>((address + k) / flash_unit);
        flags[page >> 3] = static_cast<uint8_t>(flags[page >> 3] | 1u << (page & 7));
    }
    return true;
}

// The loader's flash copy and page map equal the reference's.
inline void check_same(const std::vector<uint8_t> &mem, const std::vector<uint8_t> &flags)
{
    ASSERT(memcmp(mem.data(), cfg.mem, flash_size) == 0);
    ASSERT(memcmp(flags.data(), cfg.flags, flags.size()) == 0);
}

// One loader fuzz target: its in-memory image file, the loader's output sent
// away (it prints a line per file) and the flash copy set up. run() loads one
// input and holds the loader to the checks above and to a reference reading,
// which returns the expected result and may clear `sure` for a file whose fate
// it cannot tell; such a file is held to the checks above only.
class loader_target_t
{
  public:
    explicit loader_target_t(const char *name) : file_(name)
    {
        ASSERT(freopen("/dev/null", "w", stdout) != nullptr);
        setup();
    }

    template <class Reference>
    void run(int (*load)(const char *), const uint8_t *data, size_t size, Reference reference)
    {
        file_.write(data, size);
        reset();
        const int result = load(file_.path());
        check_after(result);

        std::vector<uint8_t> mem(mem_before), flags(flags_before);
        bool sure = true;
        const int expected = reference(data, size, mem, flags, sure);
        if (!sure)
            return;
        ASSERT(result == expected);
        check_same(mem, flags);
    }

  private:
    memfile_t file_;
};

} // namespace flashcheck
