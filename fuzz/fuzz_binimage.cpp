// The binary loader's range logic. The input chooses the layout and the image:
//   bytes 0-3  start address, most significant first
//   bytes 4-5  programming unit - 1, modulo 1024
//   byte  6    whole pages in the flash - 1, modulo 64
//   byte  7    bit 0: take the start modulo (flash size + image size + 2), so
//              that starts near the end of the flash are common; bits 1-7:
//              a partial last page of that many bytes (less than a unit)
//   the rest   the file, at most 4 KiB
// Checked: an image is placed exactly when it starts inside the flash and
// ends at its last byte or before; then its bytes are at the start, exactly
// the pages holding them are marked and cfg.used grows by its size. A refused
// image changes nothing.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "error.h"
#include "kestrel-loaders.h"
#include "kestrel.h"
#include "memfile.h"

namespace
{

constexpr size_t header_size = 8;
constexpr size_t max_image = 4096;
constexpr uint32_t used_before = 77;

memfile_t *image_file = nullptr; // made once, in LLVMFuzzerInitialize

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ASSERT(freopen("/dev/null", "w", stdout) != nullptr);
    static memfile_t file("binimage");
    image_file = &file;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < header_size)
        return 0;
    uint32_t start = static_cast<uint32_t>(data[0]) << 24 | static_cast<uint32_t>(data[1]) << 16 |
                     static_cast<uint32_t>(data[2]) << 8 | data[3];
    const auto unit = static_cast<uint16_t>(1 + (data[4] << 8 | data[5]) % 1024);
    const uint32_t pages = 1 + data[6] % 64;
    const uint32_t tail = (data[7] >> 1) % unit;
    const uint32_t flash = unit * pages + tail;
    const uint8_t *image = data + header_size;
    const size_t image_size = std::min(size - header_size, max_image);
    if ((data[7] & 1) != 0)
        start = static_cast<uint32_t>(start % (flash + image_size + 2));

    cfg.size = flash;
    cfg.unit = unit;
    const uint32_t map_bytes = flags_bytes(flash, unit);
    cfg.mem = static_cast<uint8_t *>(malloc(flash));
    cfg.flags = static_cast<uint8_t *>(calloc(map_bytes, 1));
    ASSERT(cfg.mem != nullptr && cfg.flags != nullptr);
    memset(cfg.mem, 0xFF, flash);
    cfg.used = used_before;
    image_file->write(image, image_size);

    const int result = add_bin_to_map(start, image_file->path());

    // The flash copy and page map this load must leave: the image at start and
    // exactly the pages of its bytes marked, the partial last page included;
    // or, for a refused image, both as they were.
    const bool fits = start < flash && uint64_t{start} + image_size <= flash;
    std::vector<uint8_t> mem(flash, 0xFF);
    std::vector<uint8_t> flags(map_bytes, 0);
    if (fits && image_size > 0) {
        memcpy(mem.data() + start, image, image_size);
        for (uint32_t p = start / unit; p <= (start + image_size - 1) / unit; ++p)
            flags[p >> 3] = static_cast<uint8_t>(flags[p >> 3] | 1u << (p & 7));
    }
    ASSERT(fits ? result >= 0 : result == -1);
    ASSERT(cfg.used == used_before + (fits ? image_size : 0));
    ASSERT(memcmp(cfg.mem, mem.data(), flash) == 0);
    ASSERT(memcmp(cfg.flags, flags.data(), map_bytes) == 0);

    free(cfg.mem);
    free(cfg.flags);
    cfg.mem = nullptr;
    cfg.flags = nullptr;
    return 0;
}
