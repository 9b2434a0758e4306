// The protocol stages of an upgrade: synchronisation, flash layout inquiry,
// device selection and new bit rate, erasure, programming and verification.
// Each stage prints its own messages and returns its own negative value on
// failure; main adds the summary line.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "error.h"
#include "h8s-wire.h"
#include "kestrel-events.h"
#include "kestrel-proto.h"
#include "kestrel-rate.h"
#include "kestrel-recover.h"
#include "kestrel-signal.h"
#include "kestrel-stages.h"
#include "kestrel.h"
#include "port-holders.h"
#include "serial-linux.h"

namespace
{

constexpr int SYNC_TRIES = 30;
constexpr int SYNC_ANSWER_WAIT_MS = 1000; // wait for each synchronisation answer
constexpr unsigned SYNC_PAUSE_S = 1;      // pause after a wrong or missing second answer
constexpr int SETUP_TIMEOUT_MS = 500;     // read time-out from synchronisation on
constexpr int FLASH_TIMEOUT_MS = 15000;   // from the programming/erasing state on: erasing is slow
constexpr int MAX_BLOCKS = 32;            // slots of cfg.block_sizes
constexpr int MAX_READ = 65536;           // the largest memory read (--read-size)
// The H8S address space is 16 MiB: a larger user flash is a corrupt reply, and
// taking it at its word would allocate and fill up to 4 GiB.
constexpr uint32_t MAX_FLASH_SIZE = 16u * 1024 * 1024;

// Progress in per cent of the image bytes; 32-bit arithmetic like the device counters.
uint32_t percent(uint32_t bytes)
{
    return cfg.used != 0 ? static_cast<uint32_t>(bytes * 100u) / cfg.used : 100u;
}

// Marked pages that programming sends: with --skip-blank, the blank ones are left out.
bool page_to_send(uint32_t page)
{
    return test_page(page) && (cfg.skip_blank == 0 || !unit_is_blank(page));
}

// Number of marked pages.
uint32_t marked_pages()
{
    uint32_t n = 0;
    const uint32_t pages = page_count();
    for (uint32_t page = 0; page < pages; ++page)
        n += test_page(page) ? 1 : 0;
    return n;
}

// "<what> <device>", and why when the port has more to say than errno.
void print_port_failure(const char *what, const char *device)
{
    const char *why = serial_failure();
    if (why[0] != '\0')
        printf("%s %s: %s\n", what, device, why);
    else
        printf("%s %s\n", what, device);
}

// What one synchronisation try found.
enum sync_result_e {
    SYNC_DONE,    // synchronised
    SYNC_AGAIN,   // no answer: try again at once
    SYNC_PAUSE,   // a wrong or missing second answer: try again after a pause
    SYNC_GIVE_UP, // the port cannot be used
};

// One synchronisation try on a freshly opened port.
sync_result_e sync_try(const char *device)
{
    uint8_t tmp = SYNC_PROBE;
    serial_close();
    const int fd = serial_open(device);
    if (fd == SERIAL_PORT_BUSY) {
        printf("Port %s is in use by another program\n", device);
        print_port_holders(device);
        return SYNC_GIVE_UP;
    }
    if (fd < 0) {
        print_port_failure("Failed to open port", device);
        return SYNC_GIVE_UP;
    }
    if (serial_set_param("9600") < 0) {
        print_port_failure("Failed to configure", device);
        serial_close();
        return SYNC_GIVE_UP;
    }
    serial_set_timeout(SETUP_TIMEOUT_MS);
    if (serial_write(&tmp, 1) != 1) {
        serial_close();
        return SYNC_GIVE_UP;
    }
    if (serial_wait_for_data(SYNC_ANSWER_WAIT_MS) < 0 || serial_read(&tmp, 1) != 1)
        return SYNC_AGAIN;
    if (tmp != SYNC_PROBE)
        return SYNC_PAUSE;
    tmp = SYNC_REQUEST;
    if (serial_write(&tmp, 1) != 1 || serial_wait_for_data(SYNC_ANSWER_WAIT_MS) < 0 ||
        serial_read(&tmp, 1) != 1 || tmp != SYNC_ANSWER)
        return SYNC_PAUSE;
    return SYNC_DONE;
}

// An inquiry whose reply has a size field of cbReadSize bytes, into readbuf.
template <size_t N>
int inquire(uint8_t cmd, uint8_t response, uint8_t (&readbuf)[N], uint8_t cbReadSize = 1)
{
    return rexchange({.cmd = cmd,
                      .response = response,
                      .pbRead = readbuf,
                      .cbMaxRead = static_cast<int>(N),
                      .cbReadSize = cbReadSize});
}

} // namespace

bool unit_is_blank(uint32_t page)
{
    const uint64_t first = static_cast<uint64_t>(page) * cfg.unit;
    const uint64_t end = std::min<uint64_t>(first + cfg.unit, cfg.size);
    for (uint64_t a = first; a < end; ++a)
        if (cfg.mem[a] != 0xFF)
            return false;
    return true;
}

uint32_t count_blank_units()
{
    uint32_t n = 0;
    const uint32_t pages = page_count();
    for (uint32_t page = 0; page < pages; ++page)
        n += test_page(page) && unit_is_blank(page) ? 1 : 0;
    return n;
}

void print_progress(const char *format, ...)
{
    if (cfg.quiet != 0)
        return;
    va_list ap;
    va_start(ap, format);
    vprintf(format, ap);
    va_end(ap);
}

int adjust_baud_rate(const char *device)
{
    for (int n = 0; n < SYNC_TRIES; ++n) {
        if (interrupted_by() != 0)
            break;
        print_progress("\rRetry %2i\r", n);
        const sync_result_e r = sync_try(device);
        if (r == SYNC_GIVE_UP)
            return -1;
        if (r == SYNC_DONE) {
            puts("Baud rate has been adjusted");
            return 0;
        }
        if (r == SYNC_PAUSE)
            sleep(SYNC_PAUSE_S);
    }
    serial_close();
    printf("\n");
    return -1;
}

int get_info()
{
    uint8_t readbuf[255];

    int n = inquire(CMD_USER_MAT_INFO, REPLY_USER_MAT_INFO, readbuf);
    if (n < 0)
        return -4;
    if (n < 1 || readbuf[0] == 0) {
        puts("Invalid flash layout: no user MAT area");
        return -4;
    }
    unsigned areas = readbuf[0];
    if (static_cast<unsigned>(n) < 1 + 8 * areas) {
        printf("Invalid flash layout: %u user MAT areas in %i bytes\n", areas, n);
        return -4;
    }
    // Only the end of the last area counts: the flash copy starts at address 0.
    cfg.size = char2long(readbuf + 5 + 8 * static_cast<size_t>(areas - 1)) + 1;
    // The areas are kept for the sum check. A 255-byte reply holds at most 31.
    cfg.areas = static_cast<uint8_t>(areas);
    for (size_t i = 0; i < areas; ++i) {
        cfg.area_first[i] = char2long(readbuf + 1 + 8 * i);
        cfg.area_last[i] = char2long(readbuf + 5 + 8 * i);
    }

    n = inquire(CMD_BLOCK_INFO, REPLY_BLOCK_INFO, readbuf, 2);
    if (n <= 0)
        return -4;
    unsigned blocks = readbuf[0];
    if (blocks > MAX_BLOCKS) {
        printf("Invalid flash layout: %u erase blocks, at most %i supported\n", blocks, MAX_BLOCKS);
        return -4;
    }
    if (static_cast<unsigned>(n) < 1 + 8 * blocks) {
        printf("Invalid flash layout: %u erase blocks in %i bytes\n", blocks, n);
        return -4;
    }
    for (size_t i = 0; i < blocks; ++i)
        cfg.block_sizes[i] = char2long(readbuf + 5 + 8 * i) - char2long(readbuf + 1 + 8 * i);
    cfg.blocks = static_cast<uint8_t>(blocks);

    n = inquire(CMD_UNIT_INFO, REPLY_UNIT_INFO, readbuf);
    if (n < 0)
        return -4;
    if (n < 2) {
        puts("Invalid flash layout: no programming unit");
        return -4;
    }
    cfg.unit = char2short(readbuf);
    if (cfg.unit == 0) {
        puts("Invalid flash layout: programming unit of 0 bytes");
        return -4;
    }
    if (cfg.size > MAX_FLASH_SIZE) {
        printf("Invalid flash layout: flash size %" PRIu32 " is larger than the address space\n",
               cfg.size);
        return -4;
    }
    if (cfg.size == 0 || cfg.size % cfg.unit != 0) {
        printf("Invalid flash layout: flash size %" PRIu32
               " is not a multiple of the programming unit %u\n",
               cfg.size, static_cast<unsigned>(cfg.unit));
        return -4;
    }

    if (cfg.read_size % cfg.unit != 0) {
        printf("Invalid flash layout for this run: read size %" PRIu32
               " is not a multiple of the programming unit %u\n",
               cfg.read_size, static_cast<unsigned>(cfg.unit));
        return -4;
    }

    cfg.mem = static_cast<uint8_t *>(malloc(cfg.size));
    cfg.flags = static_cast<uint8_t *>(calloc(flags_bytes(cfg.size, cfg.unit), 1));
    if (cfg.mem == nullptr || cfg.flags == nullptr) {
        printf("Failed to allocate the flash copy of %" PRIu32 " bytes\n", cfg.size);
        return -4;
    }
    memset(cfg.mem, 0xFF, cfg.size);

    return rcheck_status(STATUS_WAIT_DEVICE);
}

int prepare()
{
    uint8_t writebuf[32];
    uint8_t readbuf[255];

    int n = inquire(CMD_DEVICES, REPLY_DEVICES, readbuf);
    if (n < 0)
        return -2;
    // The first record: its character count, the 4-character code, then the name.
    if (n < 2 || readbuf[0] == 0 || readbuf[1] < 4 || n < 2 + readbuf[1]) {
        puts("Invalid supported device information");
        return -2;
    }
    const int namelen = readbuf[1] - 4;
    printf("Found %i device: ascii code \"%.4s\", name \"%.*s\"\n", readbuf[0],
           reinterpret_cast<const char *>(readbuf + 2), namelen,
           reinterpret_cast<const char *>(readbuf + 6));

    memcpy(writebuf, readbuf + 2, 4);
    if (rexchange({.cmd = CMD_SELECT_DEVICE, .pbWrite = writebuf, .cbWrite = 4, .cbWriteSize = 1}) <
        0)
        return -2;
    printf("Device \"%.4s\" selected\n", reinterpret_cast<const char *>(writebuf));
    set_selected_device(reinterpret_cast<const char *>(writebuf),
                        reinterpret_cast<const char *>(readbuf + 6), namelen);

    if (inquire(CMD_CLOCK_MODES, REPLY_CLOCK_MODES, readbuf) < 0)
        return -3;
    writebuf[0] = CLOCK_MODE;
    if (rexchange(
            {.cmd = CMD_SELECT_CLOCK_MODE, .pbWrite = writebuf, .cbWrite = 1, .cbWriteSize = 1}) <
        0)
        return -3;

    n = inquire(CMD_RATIOS, REPLY_RATIOS, readbuf);
    if (n < 0)
        return -4;
    if (n < 3) {
        puts("Invalid multiplication ratio information");
        return -4;
    }
    uint8_t ratio = readbuf[2];

    n = inquire(CMD_FREQUENCIES, REPLY_FREQUENCIES, readbuf);
    if (n < 0)
        return -4;
    if (n < 1 || n < 1 + 4 * readbuf[0]) {
        puts("Invalid operating frequency information");
        return -4;
    }
    uint16_t freq_min = 0;
    uint16_t freq_max = 0;
    for (size_t i = 0; i < readbuf[0]; ++i) {
        freq_min = char2short(readbuf + 1 + 4 * i);
        freq_max = char2short(readbuf + 3 + 4 * i);
    }
    uint32_t f = cfg.freq / 10000;
    if (f < freq_min || f > freq_max)
        printf("Warning: invalid frequency %gHz\n", static_cast<double>(cfg.freq));

    uint64_t baudrate = 0;
    if (auto_bit_rate()) {
        unsigned long chosen = 0;
        if (choose_bit_rate(ratio, &chosen) < 0)
            return -5;
        baudrate = chosen;
    } else {
        // 64 bits on every host: the rate sent is the same whatever the width of long.
        baudrate = strtoull(cfg.baudrate, nullptr, 10);
        const auto rate = new_bit_rate_data(baudrate, cfg.freq / 10000, ratio);
        if (rexchange({.cmd = CMD_NEW_BIT_RATE,
                       .pbWrite = rate.data(),
                       .cbWrite = static_cast<int>(rate.size()),
                       .cbWriteSize = 1}) < 0)
            return -5;
    }
    // The device now expects the new rate: switch at once, no pause. Its
    // answer has shown that every byte at the old rate is out.
    if (serial_set_param(cfg.baudrate) < 0) {
        if (serial_failure()[0] != '\0')
            print_port_failure("Failed to configure", cfg.device);
        return -5;
    }
    serial_set_timeout(SETUP_TIMEOUT_MS);
    printf("Baud rate %" PRIu64 " has been set\n", baudrate);

    if (rexchange({.cmd = ACK}) < 0)
        return -6;
    puts("New baud rate has been acknowledged by H8S");
    return rcheck_status(STATUS_WAIT_STATE);
}

int enter_erase_program_state()
{
    serial_set_timeout(FLASH_TIMEOUT_MS);
    printf("Entering programming state...");
    if (rexchange({.cmd = CMD_ENTER_PROGRAM_ERASE}) < 0)
        return -1;
    if (rcheck_status(STATUS_WAIT_SELECT) < 0) {
        puts("Switching to erase state failed");
        return -2;
    }
    puts(" ok");
    return 0;
}

int erase_flash()
{
    if (rexchange({.cmd = CMD_SELECT_ERASE}) < 0) {
        puts("Transfer of erasure program failed");
        return -3;
    }
    printf("Erasing: ");

    // Blocks lie end to end from 0. The page test stops at the end of the page
    // map, so blocks the device reports beyond the flash are never erased.
    const uint64_t map_pages = (static_cast<uint64_t>(cfg.size) + cfg.unit - 1) / cfg.unit;
    uint64_t addr = 0;
    for (uint8_t i = 0; i < cfg.blocks;) {
        if (interrupted_by() != 0)
            return -4;
        uint32_t block_size = cfg.block_sizes[i];
        bool need_erase = false;
        uint64_t last = (addr + block_size) / cfg.unit;
        for (uint64_t page = addr / cfg.unit; page <= last && page < map_pages; ++page) {
            if (page_to_send(static_cast<uint32_t>(page))) {
                need_erase = true;
                break;
            }
        }
        if (need_erase &&
            rexchange({.cmd = CMD_ERASE_BLOCK, .pbWrite = &i, .cbWrite = 1, .cbWriteSize = 1}) <
                0) {
            printf("Failed to erase block %i\n", i);
            return -4;
        }
        if (need_erase)
            count_erased_block();
        ++i;
        addr += static_cast<uint64_t>(block_size) + 1;
        print_progress("\rErasing: %i%%", i * 100 / cfg.blocks);
        stage_progress(i, cfg.blocks);
    }
    putchar('\n');

    const uint8_t end = ERASE_END;
    if (rexchange({.cmd = CMD_ERASE_BLOCK, .pbWrite = &end, .cbWrite = 1, .cbWriteSize = 1}) < 0) {
        puts("Failed to exit erasing mode");
        return -5;
    }
    return rcheck_status(STATUS_WAIT_SELECT);
}

int program_flash()
{
    std::array<uint8_t, 4> end{};
    long2char(PROGRAM_END, end.data());

    if (rexchange({.cmd = CMD_SELECT_PROGRAM}) < 0) {
        puts("Failed to tranfer the \"user MAT programming\" program");
        return -1;
    }
    uint32_t bytes = 0;
    const uint32_t pages = page_count();
    uint32_t to_send = 0;
    for (uint32_t page = 0; page < pages; ++page)
        to_send += page_to_send(page) ? 1 : 0;
    uint32_t sent = 0;
    for (uint32_t page = 0; page < pages; ++page) {
        if (!page_to_send(page))
            continue;
        if (interrupted_by() != 0)
            return -2;
        uint32_t address = page * cfg.unit;
        if (rprogram_unit(page) < 0) {
            printf("Failed to flash %i bytes chunk at %" PRIu32 "\n", static_cast<int>(cfg.unit),
                   address);
            return -2;
        }
        bytes += cfg.unit;
        ++sent;
        count_programmed_unit();
        // With --skip-blank the image bytes no longer match what is sent: count units.
        print_progress("\rUpgrading: %" PRIu32 "%%",
                       cfg.skip_blank != 0 ? sent * 100 / std::max(to_send, 1u) : percent(bytes));
        stage_progress(sent, to_send);
    }
    putchar('\n');

    if (rexchange({.cmd = CMD_PROGRAM, .pbWrite = end.data(), .cbWrite = 4}) < 0) {
        puts("Failed to exit programming mode");
        return -3;
    }
    return rcheck_status(STATUS_WAIT_SELECT);
}

int verify_flash()
{
    // A whole answer carrying the largest read: code, size field, data, checksum.
    static std::array<uint8_t, MAX_READ + 6> verifybuf;

    // Reads go over runs of marked pages, read_size bytes at most (a multiple
    // of the unit, checked by the layout inquiry); one unit when none was given.
    const uint32_t unit = cfg.unit;
    ASSERT(unit != 0); // the layout inquiry refuses a unit of 0
    uint32_t max_run = cfg.read_size != 0 ? cfg.read_size / unit : 1; // units per read
    uint32_t bytes = 0;
    const uint32_t pages = page_count();
    const uint32_t total = marked_pages();
    uint32_t compared = 0;
    for (uint32_t page = 0; page < pages;) {
        if (!test_page(page)) {
            ++page;
            continue;
        }
        if (interrupted_by() != 0)
            return -2;
        uint32_t run = 1;
        while (page + run < pages && run < max_run && test_page(page + run))
            ++run;
        const uint32_t address = page * unit;
        const uint32_t len = run * unit;
        bool refused = false;
        int n = rread_memory(address, len, verifybuf.data(), static_cast<int>(len) + 6, &refused);
        if (refused && run > 1) {
            // Some boot programs read less at a time: what was read stays valid.
            printf("Device refused a read of %lu bytes, reading one unit at a time\n",
                   static_cast<unsigned long>(len));
            max_run = 1;
            continue;
        }
        // A short answer is a failed read: the bytes it lacks were never compared.
        if (n < static_cast<int>(len)) {
            printf("Failed to read the memory at %" PRIu32 "\n", address);
            return -2;
        }
        for (uint32_t i = 0; i < run; ++i) {
            const size_t offset = static_cast<size_t>(i) * unit;
            const uint32_t at = address + static_cast<uint32_t>(offset);
            uint32_t first = 0;
            // With --retries a read the line changed unseen is read again first.
            const bool differs = memcmp(verifybuf.data() + offset, cfg.mem + at, unit) != 0 &&
                                 !unit_reads_right(page + i);
            if (differs && repair_block(page + i, &first) == 0) {
                // Its block was programmed again: verify it again from its
                // first unit, the progress counted again from there.
                page = first;
                run = 0;
                compared = 0;
                for (uint32_t p = 0; p < first; ++p)
                    compared += test_page(p) ? 1 : 0;
                bytes = compared * unit;
                break;
            }
            if (differs) {
                printf("\rError: verification failed at %" PRIu32 "\n", at);
                return -3;
            }
            bytes += unit;
            print_progress("\rVerifying: %" PRIu32 "%%", percent(bytes));
            stage_progress(++compared, total);
        }
        page += run;
    }
    putchar('\n');
    return rcheck_status(STATUS_WAIT_SELECT);
}
