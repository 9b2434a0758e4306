// Image loaders: Motorola S-record files and raw binary images, placed into the
// flash copy cfg.mem with their pages marked in cfg.flags; the helpers every
// loader shares, and read_image_files, which hands each listed image to its
// loader.
#include <array>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kestrel-loaders.h"
#include "kestrel-proto.h"
#include "kestrel.h"

namespace
{

// The longest record: "S", type, byte count 255 and its 255 bytes as pairs.
constexpr unsigned max_record_chars = 514;

// S-record files are read through this buffer rather than one read per byte.
// The program is single-threaded, so one buffer serves every call.
constexpr size_t read_buffer_size = size_t{64} * 1024;
std::array<uint8_t, read_buffer_size> read_buffer;

// Bytes that end a record: CR, LF, space, tab and NUL.
constexpr std::array<bool, 256> separator_table = [] {
    std::array<bool, 256> t{};
    for (unsigned char c : {'\r', '\n', ' ', '\t', '\0'})
        t[c] = true;
    return t;
}();

// letter2char for every byte: c - 48 below ':', else toupper(c) - 55, modulo 256.
// toupper is that of the "C" locale, which the program never changes.
constexpr std::array<uint8_t, 256> hex_table = [] {
    std::array<uint8_t, 256> t{};
    for (unsigned c = 0; c < 256; ++c) {
        unsigned up = (c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c;
        t[c] = static_cast<uint8_t>(c < ':' ? c - 48 : up - 55);
    }
    return t;
}();

// Address width of each record type 0..9; 0 for the types that are not handled.
constexpr std::array<uint8_t, 10> address_width = {2, 2, 3, 4, 0, 2, 0, 4, 3, 2};

// Buffered byte source over a file descriptor.
struct srec_reader_t {
    image_fd_t file;
    size_t pos = 0;
    size_t len = 0;
    bool eof = false;

    explicit srec_reader_t(int fd) : file(fd) {}

    // Refills the buffer: 1 data in, 0 end of file, -1 read error.
    int fill()
    {
        if (eof)
            return 0;
        const ssize_t r = read_image_bytes(file.fd, read_buffer.data(), read_buffer.size());
        if (r < 0)
            return -1;
        pos = 0;
        len = static_cast<size_t>(r);
        if (r == 0) {
            eof = true;
            return 0;
        }
        return 1;
    }

    // Skips separators. 1: a record byte is next; 0: end of file; -1: read error.
    int skip_separators()
    {
        for (;;) {
            while (pos < len) {
                if (!separator_table[read_buffer[pos]])
                    return 1;
                ++pos;
            }
            int r = fill();
            if (r <= 0)
                return r;
        }
    }

    // Copies the run of non-separator bytes into tmp and consumes the separator
    // that ends it; the end of the file ends it too. Returns the run's length,
    // -1 on a read error, or -2 when the run is longer than tmp can hold.
    int read_record(uint8_t *tmp, unsigned cap)
    {
        unsigned n = 0;
        for (;;) {
            while (pos < len) {
                uint8_t c = read_buffer[pos++];
                if (separator_table[c])
                    return static_cast<int>(n);
                if (n == cap)
                    return -2;
                tmp[n++] = c;
            }
            int r = fill();
            if (r < 0)
                return -1;
            if (r == 0)
                return static_cast<int>(n);
        }
    }
};

// Reads on until n bytes are in or the file ends. The count read, or -1 on an error.
ssize_t read_all(int fd, uint8_t *pb, size_t n)
{
    size_t got = 0;
    while (got < n) {
        const ssize_t r = read_image_bytes(fd, pb + got, n - got);
        if (r < 0)
            return -1;
        if (r == 0)
            break;
        got += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

} // namespace

ssize_t read_image_bytes(int fd, void *pb, size_t n)
{
    ssize_t r;
    do {
        r = read(fd, pb, n);
    } while (r < 0 && errno == EINTR);
    return r;
}

int open_image_file(const char *imagefile)
{
    // Non-blocking: opening a FIFO without a writer would otherwise wait for
    // one for ever. Regular files ignore the flag.
    int fd = imagefile != nullptr ? open(imagefile, O_RDONLY | O_NONBLOCK) : -1;
    if (fd < 0) {
        printf("File \"%s\" not found\n", image_name(imagefile));
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        printf("Error: \"%s\" is not a regular file\n", imagefile);
        return -1;
    }
    return fd;
}

int place_image_data(uint64_t address, const uint8_t *pb, uint32_t cb, uint64_t &total)
{
    // A run starts inside the flash and may reach its last byte, not beyond.
    const uint64_t end = address + cb;
    if (address >= cfg.size || end > cfg.size) {
        printf("Error: address 0x%" PRIX64 " is invalid, image is out of range\n", end);
        return -1;
    }
    memcpy(cfg.mem + address, pb, cb);
    mark_range(static_cast<uint32_t>(address), cb);
    total += cb;
    return 0;
}

unsigned char letter2char(unsigned char c)
{
    return hex_table[c];
}

void letters2char(const unsigned char *in, unsigned char *out, unsigned int cb)
{
    for (size_t n = 0; n < cb; ++n)
        out[n] = static_cast<unsigned char>(hex_table[in[2 * n]] * 16 + hex_table[in[2 * n + 1]]);
}

int add_srec_to_map(const char *imagefile)
{
    printf("Parsing %s s-record...", image_name(imagefile));
    int fd = open_image_file(imagefile);
    if (fd < 0)
        return -1;
    srec_reader_t reader(fd);

    std::array<uint8_t, max_record_chars> tmp;
    std::array<uint8_t, 256> bin;
    uint64_t total = 0;

    for (;;) {
        int r = reader.skip_separators();
        if (r < 0)
            return -1;
        if (r == 0)
            break;

        int i = reader.read_record(tmp.data(), max_record_chars);
        if (i == -1)
            return -1;
        if (i < 0 || i % 2 != 0 || tmp[0] != 'S')
            return -2;

        unsigned record_type = letter2char(tmp[1]);
        unsigned cb = static_cast<unsigned>(i) / 2 - 1;
        letters2char(tmp.data() + 2, bin.data(), cb);
        if (get_checksum(bin.data(), static_cast<int>(cb)) != 0xFF)
            return -3;
        if (bin[0] != cb - 1)
            return -4;
        if (record_type > 9 || address_width[record_type] == 0) {
            printf("Unrecognized record type %i\n", static_cast<int>(record_type));
            continue;
        }

        // The byte count must at least cover the address and the checksum.
        unsigned addr_len = address_width[record_type];
        if (bin[0] < addr_len + 1)
            return -2;
        if (record_type < 1 || record_type > 3)
            continue;

        uint32_t address = 0;
        for (unsigned k = 1; k <= addr_len; ++k)
            address = (address << 8) | bin[k];
        uint32_t n = bin[0] - addr_len - 1;

        if (place_image_data(address, bin.data() + 1 + addr_len, n, total) < 0)
            return -1;
    }

    cfg.used += static_cast<uint32_t>(total);
    puts(" ok");
    return total > INT_MAX ? INT_MAX : static_cast<int>(total);
}

int add_bin_to_map(uint32_t start, const char *imagefile)
{
    printf("Reading %s binary image at %" PRIu32 "...", image_name(imagefile), start);
    // Non-blocking so that a FIFO without a writer is refused below instead of
    // hanging the open; regular files ignore the flag.
    int fd = imagefile != nullptr ? open(imagefile, O_RDONLY | O_NONBLOCK) : -1;
    if (fd < 0) {
        printf("\nFile \"%s\" not found\n", image_name(imagefile));
        return -1;
    }
    image_fd_t image(fd);

    // Only a regular file has a size to place; pipes and devices have none.
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
        printf("\nError: the size of \"%s\" cannot be found, it is not a regular file\n",
               imagefile);
        return -1;
    }
    uint64_t total = static_cast<uint64_t>(st.st_size);

    // An image starts inside the flash and may fill it to its last byte. The
    // sum is taken and printed in 64 bits so that a huge start can neither wrap
    // round into range nor print as some other address.
    if (start >= cfg.size || total > cfg.size - start) {
        printf("\nError: address 0x%" PRIX64 " is invalid, image is out of range\n",
               uint64_t{start} + total);
        return -1;
    }

    ssize_t got = read_all(fd, cfg.mem + start, static_cast<size_t>(total));
    if (got < 0 || static_cast<uint64_t>(got) != total)
        return -1;

    mark_range(static_cast<uint32_t>(start), static_cast<uint32_t>(total));
    cfg.used += static_cast<uint32_t>(total);
    puts(" ok");
    return 0;
}

int read_image_files()
{
    for (const img_file *img = cfg.img_first; img != nullptr; img = img->next) {
        int ret = -1;
        switch (img->format) {
        case IMAGE_BIN:
            ret = add_bin_to_map(img->offset, img->name);
            break;
        case IMAGE_SREC:
            ret = add_srec_to_map(img->name);
            break;
        case IMAGE_IHEX:
            ret = add_ihex_to_map(img->name);
            break;
        case IMAGE_ELF:
            ret = add_elf_to_map(img->name);
            break;
        }
        if (ret < 0)
            return -1;
    }
    return 0;
}
