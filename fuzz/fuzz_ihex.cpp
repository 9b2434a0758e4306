// The Intel HEX loader on arbitrary file contents, against a 64 KiB flash of
// 128-byte pages. The input is the whole file. After every load the checks of
// flash-check.h hold, and the result, the flash copy and the page map are
// those of a plain second reading of the same file, line by line.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "flash-check.h"
#include "kestrel-loaders.h"

namespace
{

flashcheck::loader_target_t *target = nullptr; // made once, in LLVMFuzzerInitialize

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Lines end at LF, one CR before it is dropped; text after the last LF is a
// line too. Types 00 to 05 with their lengths, 02 and 04 set the base, after
// 02 offsets wrap at 64 KiB; nothing but white space after 01, which must come.
int reference_load(const uint8_t *data, size_t size, std::vector<uint8_t> &mem,
                   std::vector<uint8_t> &flags)
{
    const std::string file(reinterpret_cast<const char *>(data), size);
    uint64_t base = 0;
    bool segmented = false, ended = false;
    int total = 0;
    for (size_t at = 0; at < file.size();) {
        size_t nl = file.find('\n', at);
        if (nl == std::string::npos)
            nl = file.size();
        std::string line = file.substr(at, nl - at);
        at = nl + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (ended) {
            if (line.find_first_not_of(" \t\r\f\v") != std::string::npos)
                return -1;
            continue;
        }
        if (line.empty())
            continue;
        if (line[0] != ':' || line.size() > 521 || line.size() % 2 == 0 || line.size() < 11)
            return -1;
        std::vector<uint8_t> b;
        uint8_t sum = 0;
        for (size_t k = 1; k < line.size(); k += 2) {
            const int hi = hex_digit(line[k]), lo = hex_digit(line[k + 1]);
            if (hi < 0 || lo < 0)
                return -1;
            b.push_back(static_cast<uint8_t>(hi * 16 + lo));
            sum = static_cast<uint8_t>(sum + b.back());
        }
        const size_t count = b[0];
        if (count + 5 != b.size() || sum != 0)
            return -1;
        const unsigned type = b[3], offset = b[1] * 256u + b[2];
        static const int length[6] = {-1, 0, 2, 4, 2, 4};
        if (type > 5 || (length[type] >= 0 && count != static_cast<size_t>(length[type])))
            return -1;
        if (type == 0) {
            const uint64_t first = segmented && offset + count > 0x10000 ? 0x10000 - offset : count;
            if (!flashcheck::reference_place(base + offset, &b[4], first, mem, flags))
                return -1;
            if (first < count &&
                !flashcheck::reference_place(base, &b[4 + first], count - first, mem, flags))
                return -1;
            total += static_cast<int>(count);
        } else if (type == 1) {
            ended = true;
        } else if (type == 2 || type == 4) {
            base = uint64_t{b[4] * 256u + b[5]} << (type == 2 ? 4 : 16);
            segmented = type == 2;
        }
    }
    return ended ? total : -1;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    static flashcheck::loader_target_t made("ihex");
    target = &made;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    target->run(add_ihex_to_map, data, size,
                [](const uint8_t *d, size_t n, std::vector<uint8_t> &mem,
                   std::vector<uint8_t> &flags,
                   bool &) { return reference_load(d, n, mem, flags); });
    return 0;
}
