// The S-record loader on arbitrary file contents, against a 64 KiB flash of
// 128-byte pages. The input is the whole file. After every load:
//  - a refused file leaves cfg.used alone; an accepted one adds exactly the
//    count it returned;
//  - marks are only added, and every byte of the flash copy that changed lies
//    in a marked page;
//  - the result, the flash copy and the page map are those of a plain second
//    reading of the same records.
// Reads and writes outside the flash copy and the page map show under the
// address sanitizer: both are allocated to their exact size.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "flash-check.h"
#include "kestrel-loaders.h"
#include "kestrel.h"

namespace
{

using flashcheck::flash_size;
using flashcheck::flash_unit;

flashcheck::loader_target_t *target = nullptr; // made once, in LLVMFuzzerInitialize

// The value of a record character as the loader reads it: below ':' c - 48,
// otherwise the upper-case letter's value from 'A' = 10, both modulo 256.
uint8_t digit(uint8_t c)
{
    if (c < ':')
        return static_cast<uint8_t>(c - 48);
    if (c >= 'a' && c <= 'z')
        c = static_cast<uint8_t>(c - 32);
    return static_cast<uint8_t>(c - 55);
}

bool is_separator(uint8_t c)
{
    return c == '\r' || c == '\n' || c == ' ' || c == '\t' || c == 0;
}

// A second, plain reading of the file: the loader's result, and the flash copy
// and page map it must leave (data placed before a refusal stays placed).
// Records are runs between separators, the last one may end with the file;
// S1, S2 and S3 records are placed at their 2-, 3- and 4-byte addresses, other
// known types are only checked, unknown types skipped.
int reference_load(const uint8_t *data, size_t size, std::vector<uint8_t> &mem,
                   std::vector<uint8_t> &flags)
{
    static const unsigned widths[10] = {2, 2, 3, 4, 0, 2, 0, 4, 3, 2};
    int total = 0;
    size_t i = 0;
    while (i < size) {
        if (is_separator(data[i])) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < size && !is_separator(data[end]))
            ++end;
        const size_t len = end - i;
        if (len > 514 || len % 2 != 0 || data[i] != 'S')
            return -2;
        const uint8_t type = digit(data[i + 1]);
        std::vector<uint8_t> bytes;
        uint8_t sum = 0;
        for (size_t k = i + 2; k < end; k += 2) {
            bytes.push_back(static_cast<uint8_t>(digit(data[k]) * 16 + digit(data[k + 1])));
            sum = static_cast<uint8_t>(sum + bytes.back());
        }
        if (sum != 0xFF)
            return -3;
        if (bytes[0] != bytes.size() - 1)
            return -4;
        i = end + 1;
        if (type > 9 || widths[type] == 0)
            continue;
        const unsigned width = widths[type];
        if (bytes[0] < width + 1)
            return -2;
        if (type < 1 || type > 3)
            continue;
        uint32_t address = 0;
        for (unsigned k = 1; k <= width; ++k)
            address = address << 8 | bytes[k];
        const size_t n = bytes[0] - width - 1;
        if (address >= flash_size || address + n > flash_size)
            return -1;
        for (size_t k = 0; k < n; ++k) {
            mem[address + k] = bytes[1 + width + k];
            const auto page = static_cast<uint32_t>((address + k) / flash_unit);
            flags[page >> 3] = static_cast<uint8_t>(flags[page >> 3] | 1u << (page & 7));
        }
        total += static_cast<int>(n);
    }
    return total;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    static flashcheck::loader_target_t made("srec");
    target = &made;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    target->run(add_srec_to_map, data, size,
                [](const uint8_t *d, size_t n, std::vector<uint8_t> &mem,
                   std::vector<uint8_t> &flags,
                   bool &) { return reference_load(d, n, mem, flags); });
    return 0;
}
