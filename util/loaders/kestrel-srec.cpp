// The S-record loader: data records of a Motorola S-record file placed into the
// flash copy cfg.mem, with their pages marked in cfg.flags.
#include <array>
#include <climits>
#include <cstdint>
#include <cstdio>

#include "kestrel-loaders.h"
#include "kestrel-proto.h"
#include "kestrel.h"

namespace
{

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

} // namespace

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
