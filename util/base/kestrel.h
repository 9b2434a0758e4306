// The configuration record that every stage shares, the image list it heads,
// and the page map over the flash copy.
#pragma once

#include <cstdint>

// How an image file is read, chosen by the end of its name.
enum image_format_e : int {
    IMAGE_BIN,  // raw binary image at offset (any other name)
    IMAGE_SREC, // Motorola S-record file (".mot")
    IMAGE_IHEX, // Intel HEX file (".hex", ".ihex")
    IMAGE_ELF,  // ELF executable (".elf")
};

// One image file named with -i, in a singly linked list in command-line order.
struct img_file {
    char name[256];        // at most 255 characters
    uint32_t offset;       // start address of a binary image
    image_format_e format; // how the file is read
    img_file *next;
};

struct boot_seq_t; // boot-lines.h

// Everything the stages share. Starts all zero.
struct h8s_config_t {
    char device[64];          // serial device path, at most 63 characters
    char baudrate[32];        // bit rate to switch to, decimal text, at most 31 characters
    img_file *img_first;      // image list
    img_file **img_last;      // the link the next append fills
    uint32_t freq;            // H8S clock: 10 kHz units until parsed, then Hz
    uint32_t size;            // user flash size in bytes
    uint32_t used;            // image bytes loaded (overlaps count every time)
    uint16_t unit;            // programming unit: the page size of the page map
    uint8_t *mem;             // flash copy, size bytes, 0xFF at allocation
    uint8_t *flags;           // page map, one bit per page, 0 at allocation
    uint8_t blocks;           // number of erase blocks, at most 32
    uint32_t block_sizes[32]; // last address minus first address of each block
    int verify;               // non-zero: read back and compare after programming
    int quiet;                // non-zero (-q): no progress percentages or retry counters
    boot_seq_t *boot_seq;     // --boot: steps run before synchronisation, or null
    boot_seq_t *run_seq;      // --run: steps run after a successful upgrade, or null
    int sum_check;            // non-zero: compare the device's user MAT sum after programming
    uint32_t read_size;       // bytes per memory read when verifying; 0: one programming unit
    uint8_t areas;            // user MAT areas the layout inquiry reported, at most 31
    uint32_t area_first[31];  // first address of each user MAT area
    uint32_t area_last[31];   // last address of each user MAT area
    int skip_blank;           // non-zero: marked units all 0xFF are neither programmed nor erased
    char *events_file;        // --events: the run's record, a path or "fd:N", or null
    // Line faults (--retries, --trace).
    int retries;      // recoveries allowed per exchange, 1 to 100; 0: none
    char *trace_file; // --trace: the file that logs every byte on the line, or null
    // The journal (--journal, --resume, --if-changed).
    char *journal_dir; // --journal: the directory of the record, or null
    int resume;        // non-zero: run the pending record instead of a command line
    int if_changed;    // non-zero: no run when the last-success record matches
};

extern h8s_config_t cfg;

// The page map: one bit per programming unit of the flash copy.

// Page of an address: address / unit.
inline uint32_t page_of(uint32_t address)
{
    return address / cfg.unit;
}

// Number of whole pages in the flash: size / unit.
inline uint32_t page_count()
{
    return cfg.size / cfg.unit;
}

// Bytes of a page map that has one bit for every page holding an address below size.
inline uint32_t flags_bytes(uint32_t size, uint16_t unit)
{
    uint32_t pages = size / unit + (size % unit != 0 ? 1 : 0);
    return pages / 8 + (pages % 8 != 0 ? 1 : 0);
}

// Sets the bit of page p: bit p % 8, least significant first, of byte p / 8.
inline void mark_page(uint32_t p)
{
    cfg.flags[p >> 3] |= static_cast<uint8_t>(1u << (p & 7));
}

inline bool test_page(uint32_t p)
{
    return (cfg.flags[p >> 3] >> (p & 7)) & 1u;
}

/* mark_range
 * Marks every page that holds a byte of [address, address + n); n = 0 marks
 * nothing. */
void mark_range(uint32_t address, uint32_t n);
