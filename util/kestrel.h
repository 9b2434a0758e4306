// The upgrade driver: configuration record, command line, boot-mode protocol
// and image loaders.
#pragma once

#include <cstdint>

#include "egetopt.h"
#include "error.h"

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
};

extern h8s_config_t cfg;

// The driver's own error codes, after the error module's.
enum : int {
    ERR_NO_IMAGES = ERR_ADDITIONAL_ERRORS,
    ERR_NO_INTERFACE,
};

extern const additional_error_t kestrel_errlist[];
extern const opt_desc opts[];

// ---- Page map ------------------------------------------------------------

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

// Marks every page that holds a byte of [address, address + n); n = 0 marks nothing.
void mark_range(uint32_t address, uint32_t n);

// ---- Command line (kestrel.cpp) ------------------------------------------

/* usage
 * Prints the usage text on stdout with one puts (so an empty line follows). */
void usage();

/* set_serial_device
 * -s handler: "device[:baudrate]" into cfg.device and cfg.baudrate. Returns 1,
 * or -1 after recording ERR_OPTION_INVALID_VALUE (empty device, or a part too
 * long for its field). */
int set_serial_device(const opt_desc *opt, int argc, char **args);

/* image_format_of
 * The format an image file name selects: ".mot" S-record, ".hex" or ".ihex"
 * Intel HEX, ".elf" ELF, anything else binary. Suffixes are compared
 * case-sensitively and need at least one character before them. */
image_format_e image_format_of(const char *name);

/* set_read_size
 * --read-size handler: a decimal number from 1 to 65536 into cfg.read_size.
 * Returns 1, or -1 after recording ERR_OPTION_INVALID_VALUE. Whether it is a
 * multiple of the programming unit is known only after the layout inquiry. */
int set_read_size(const opt_desc *opt, int argc, char **args);

/* add_image_file
 * -i handler: "file[,start]" appended to the image list, with the warnings for
 * a start address that the file's format ignores or a binary image without
 * one. Returns 1, or -1 after recording an error. */
int add_image_file(const opt_desc *opt, int argc, char **args);

/* read_image_files
 * Loads every listed image in command-line order. Returns 0, or -1 at the
 * first failure (later images are not opened); the loaders print their messages. */
int read_image_files();

// ---- Command exchange (kestrel-proto.cpp) --------------------------------

// The 8-bit sum of cb bytes at pb.
uint8_t get_checksum(const uint8_t *pb, int cb);

// Writes into pb[cb - 1] the two's complement of the sum of the cb - 1 bytes before it.
void calc_checksum(uint8_t *pb, int cb);

/* cmd_readwrite
 * Sends one framed command and receives its response. Returns the number of
 * data bytes now at the start of pbRead (null: an internal 2-byte buffer), or
 * -1 bad cbWriteSize / frame not sent whole, -2 no or wrong response code or
 * short size field, -3 response larger than cbMaxRead, -4 data or checksum
 * short, -5 wrong checksum. Each failure but a missing response code prints. */
int cmd_readwrite(uint8_t cmd, const uint8_t *pbWrite, int cbWrite, uint8_t cbWriteSize,
                  uint8_t response, uint8_t *pbRead, int cbMaxRead, int cbRead, uint8_t cbReadSize);

/* cmd_refusable
 * cmd_readwrite for a command the device may refuse on purpose; pbRead must
 * not be null and must hold at least 2 bytes. Returns what cmd_readwrite
 * returns, and sets *refused exactly when the device answered with another
 * response code followed by its error byte (a silent or broken answer is not
 * a refusal). */
int cmd_refusable(uint8_t cmd, const uint8_t *pbWrite, int cbWrite, uint8_t cbWriteSize,
                  uint8_t response, uint8_t *pbRead, int cbMaxRead, int cbRead, uint8_t cbReadSize,
                  bool *refused);

// A command without data whose response has data.
int cmd_read(uint8_t cmd, uint8_t response, uint8_t *pbRead, int cbMaxRead, int cbRead,
             uint8_t cbReadSize);

// A command with data acknowledged by one response byte.
int cmd_write(uint8_t cmd, const uint8_t *pbWrite, int cbWrite, uint8_t cbWriteSize,
              uint8_t response);

// A single command byte acknowledged by one response byte.
int cmd(uint8_t cmd, uint8_t response);

/* check_status
 * Asks for the boot program's status (0x4F). Returns 0 when the inquiry
 * succeeded, warning when checkstate is non-zero and differs; -1 after "Status
 * check failed". */
int check_status(uint8_t checkstate);

// ---- Protocol stages (kestrel-stages.cpp) --------------------------------

// Writes n as four bytes, most significant first.
void long2char(uint32_t n, uint8_t *pb);

/* print_progress
 * printf for a progress text, one that begins with a carriage return and so
 * overwrites the one before it on its line. Prints nothing when cfg.quiet is
 * set (-q): a log then gets one line per stage instead of every step. */
void print_progress(const char *format, ...) __attribute__((format(printf, 1, 2)));

int adjust_baud_rate(const char *device); // synchronisation at 9600 baud: 0 or -1
int get_info();                           // flash layout inquiry: 0, -1 or -4
int prepare();                            // device selection and new bit rate: 0, -1 ... -6
int enter_erase_program_state();          // 0, -1 or -2
int erase_flash();                        // 0, -1, -3, -4 or -5
int program_flash();                      // 0, -1, -2 or -3
int verify_flash();                       // 0, -1, -2 or -3

// ---- Image loaders (kestrel-image.cpp) -----------------------------------

// Value of one hexadecimal character; no character is refused.
unsigned char letter2char(unsigned char c);

// Decodes cb bytes from the 2 * cb characters at in into out.
void letters2char(const unsigned char *in, unsigned char *out, unsigned int cb);

/* add_srec_to_map
 * Places the data records of an S-record file into cfg.mem, marks their pages
 * and adds the bytes placed to cfg.used. Returns the bytes placed, or -1 (open,
 * not a regular file, read, truncated record, out of range), -2 malformed
 * record, -3 checksum, -4 byte count. */
int add_srec_to_map(const char *imagefile);

/* add_bin_to_map
 * Places a whole binary file at start in cfg.mem, marks its pages and adds its
 * size to cfg.used. Returns 0 or more, or -1 after a message. */
int add_bin_to_map(uint32_t start, const char *imagefile);
