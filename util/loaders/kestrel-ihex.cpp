// Intel HEX loader: data records placed into the flash copy at the addresses
// that the extended segment (02) and extended linear (04) address records make
// of their 16-bit offsets. Every fault is reported with the file and the line.
#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "kestrel-loaders.h"
#include "kestrel.h"

namespace
{

// The longest record: ':', then byte count, address, type, 255 data bytes and
// the checksum as digit pairs.
constexpr size_t max_record_chars = 1 + 2 * (1 + 2 + 1 + 255 + 1);

// Files are read through this buffer; the program is single-threaded.
constexpr size_t read_buffer_size = size_t{64} * 1024;
std::array<char, read_buffer_size> read_buffer;

// Value of a hexadecimal digit of either case; 0x10 marks every other byte.
constexpr std::array<uint8_t, 256> hex_value = [] {
    std::array<uint8_t, 256> t{};
    for (unsigned c = 0; c < 256; ++c)
        t[c] = 0x10;
    for (unsigned c = 0; c < 10; ++c)
        t['0' + c] = static_cast<uint8_t>(c);
    for (unsigned c = 0; c < 6; ++c) {
        t['A' + c] = static_cast<uint8_t>(10 + c);
        t['a' + c] = static_cast<uint8_t>(10 + c);
    }
    return t;
}();

enum record_type_e : uint8_t {
    IHEX_DATA = 0x00,
    IHEX_END_OF_FILE = 0x01,
    IHEX_SEGMENT_ADDRESS = 0x02,
    IHEX_START_SEGMENT = 0x03,
    IHEX_LINEAR_ADDRESS = 0x04,
    IHEX_START_LINEAR = 0x05,
};

// Prints "Error: FILE:LINE: fault" on the line the announcement began; returns -1.
int fault(const char *file, unsigned long line, const char *what)
{
    printf("Error: %s:%lu: %s\n", file, line, what);
    return -1;
}

bool only_white_space(const char *text, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (text[i] != ' ' && text[i] != '\t' && text[i] != '\r' && text[i] != '\f' &&
            text[i] != '\v')
            return false;
    return true;
}

// Lines of a file, without their LF or CR LF end. A line that fits in the read
// buffer is handed out in place; one that straddles two fills is gathered.
struct line_reader_t {
    image_fd_t file;
    size_t pos = 0;
    size_t len = 0;
    // Longest record, its CR, and one more byte to tell an over-long line.
    std::array<char, max_record_chars + 2> gathered;
    // The line handed out was cut, and what was cut off is not all white space.
    bool cut_text = false;

    explicit line_reader_t(int fd) : file(fd) {}

    // 1: data in; 0: end of file; -1: read error.
    int fill()
    {
        const ssize_t r = read_image_bytes(file.fd, read_buffer.data(), read_buffer.size());
        if (r < 0)
            return -1;
        pos = 0;
        len = static_cast<size_t>(r);
        return r > 0 ? 1 : 0;
    }

    // The next line at text, n characters. 1: a line; 0: end of file; -1: read
    // error. A gathered line longer than the longest record is cut to
    // max_record_chars + 2 characters, which is enough to refuse it.
    int next(const char *&text, size_t &n)
    {
        size_t got = 0;
        bool gathering = false;
        cut_text = false;
        for (;;) {
            if (pos < len) {
                const char *start = read_buffer.data() + pos;
                const auto *nl = static_cast<const char *>(memchr(start, '\n', len - pos));
                const size_t take = nl != nullptr ? static_cast<size_t>(nl - start) : len - pos;
                pos += take + (nl != nullptr ? 1 : 0);
                if (nl != nullptr && !gathering) {
                    text = start;
                    n = take;
                    break;
                }
                const size_t keep = std::min(take, gathered.size() - got);
                memcpy(gathered.data() + got, start, keep);
                got += keep;
                cut_text = cut_text || !only_white_space(start + keep, take - keep);
                gathering = true;
                if (nl != nullptr) {
                    text = gathered.data();
                    n = got;
                    break;
                }
            }
            int r = fill();
            if (r < 0)
                return -1;
            if (r == 0) {
                if (!gathering)
                    return 0;
                text = gathered.data();
                n = got;
                break;
            }
        }
        if (n > 0 && text[n - 1] == '\r')
            --n;
        return 1;
    }
};

// Byte count, offset, type, data and checksum of one record.
constexpr size_t max_record_bytes = 1 + 2 + 1 + 255 + 1;
using record_t = std::array<uint8_t, max_record_bytes>;

// Checks one record's syntax, checksum and length for its type and decodes it
// into bin. Returns nullptr when it is sound, otherwise the fault (a text with
// a number lives in a static buffer until the next call).
const char *decode_record(const char *text, size_t n, record_t &bin)
{
    static std::array<char, 80> what;
    if (text[0] != ':')
        return "record does not start with ':'";
    if (n > max_record_chars)
        return "record longer than 255 data bytes";
    unsigned bad = 0;
    for (size_t i = 1; i < n; ++i)
        bad |= hex_value[static_cast<unsigned char>(text[i])];
    if ((bad & 0x10) != 0)
        return "character that is not a hexadecimal digit";
    if ((n - 1) % 2 != 0)
        return "odd number of hexadecimal digits";
    const size_t cb = (n - 1) / 2;
    if (cb < 5)
        return "record too short";
    uint8_t sum = 0;
    for (size_t i = 0; i < cb; ++i) {
        const auto *pair = reinterpret_cast<const unsigned char *>(text + 1 + 2 * i);
        bin[i] = static_cast<uint8_t>(hex_value[pair[0]] << 4 | hex_value[pair[1]]);
        sum = static_cast<uint8_t>(sum + bin[i]);
    }
    const unsigned count = bin[0];
    const unsigned type = bin[3];
    if (count != cb - 5) {
        snprintf(what.data(), what.size(), "byte count %u does not match the record length", count);
        return what.data();
    }
    if (sum != 0)
        return "checksum mismatch";
    if (type > IHEX_START_LINEAR) {
        snprintf(what.data(), what.size(), "unknown record type %02X", type);
        return what.data();
    }
    const unsigned want = type == IHEX_END_OF_FILE                                      ? 0
                          : type == IHEX_SEGMENT_ADDRESS || type == IHEX_LINEAR_ADDRESS ? 2
                          : type == IHEX_START_SEGMENT || type == IHEX_START_LINEAR     ? 4
                                                                                        : count;
    if (count != want) {
        snprintf(what.data(), what.size(), "record type %02X with %u data bytes instead of %u",
                 type, count, want);
        return what.data();
    }
    return nullptr;
}

} // namespace

int add_ihex_to_map(const char *imagefile)
{
    printf("Parsing %s intel-hex...", image_name(imagefile));
    int fd = open_image_file(imagefile);
    if (fd < 0)
        return -1;
    line_reader_t reader(fd);

    record_t bin;
    uint64_t total = 0;
    uint64_t base = 0;
    bool segmented = false; // after an 02 record offsets wrap at 64 KiB
    bool ended = false;     // the end-of-file record has been read
    unsigned long line = 0;

    for (;;) {
        const char *text = nullptr;
        size_t n = 0;
        int r = reader.next(text, n);
        if (r < 0)
            return fault(imagefile, line + 1, "read error");
        if (r == 0)
            break;
        ++line;
        if (ended) {
            if (!only_white_space(text, n) || reader.cut_text)
                return fault(imagefile, line, "text after the end-of-file record");
            continue;
        }
        if (n == 0)
            continue;
        if (const char *what = decode_record(text, n, bin))
            return fault(imagefile, line, what);
        const unsigned count = bin[0];
        const uint8_t type = bin[3];
        const uint8_t *data = bin.data() + 4;

        switch (type) {
        case IHEX_DATA: {
            const uint32_t offset = uint32_t{bin[1]} << 8 | bin[2];
            // In a segment the offsets wrap round at 64 KiB.
            const uint32_t first = segmented && offset + count > 0x10000 ? 0x10000 - offset : count;
            if (place_image_data(base + offset, data, first, total) < 0)
                return -1;
            if (first < count && place_image_data(base, data + first, count - first, total) < 0)
                return -1;
            break;
        }
        case IHEX_END_OF_FILE:
            ended = true;
            break;
        case IHEX_SEGMENT_ADDRESS:
            base = (uint64_t{data[0]} << 8 | data[1]) << 4;
            segmented = true;
            break;
        case IHEX_LINEAR_ADDRESS:
            base = (uint64_t{data[0]} << 8 | data[1]) << 16;
            segmented = false;
            break;
        default: // start addresses: nothing to program
            break;
        }
    }
    // A file cut short must not program half a firmware.
    if (!ended)
        return fault(imagefile, line + 1, "no end-of-file record");

    cfg.used += static_cast<uint32_t>(total);
    puts(" ok");
    return total > INT_MAX ? INT_MAX : static_cast<int>(total);
}
