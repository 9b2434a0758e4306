// Boot-mode control: the sequences of steps that start the H8S in boot mode
// before synchronisation (--boot) and restart it into its firmware after a
// successful upgrade (--run), over the port's modem lines and the host's GPIO
// lines.
#pragma once

#include <cstddef>
#include <cstdint>

#include "egetopt.h"

enum boot_step_e : uint8_t {
    STEP_DTR,   // dtr=0/1: the port's DTR line (1 asserted)
    STEP_RTS,   // rts=0/1: the port's RTS line (1 asserted)
    STEP_BREAK, // break=MS: a break of MS milliseconds on the port's line
    STEP_WAIT,  // wait=MS: a pause of MS milliseconds
    STEP_GPIO,  // gpio=CHIP:LINE=0/1: a GPIO line driven to that physical level
};

constexpr uint32_t STEP_MAX_MS = 60000;   // longest wait or break
constexpr uint32_t STEP_MIN_BREAK_MS = 1; // a break of no time sends nothing
constexpr uint32_t STEP_MAX_LINE = 65535; // a GPIO chip numbers its lines in 16 bits
constexpr size_t STEP_CHIP_SIZE = 64;     // a chip text of at most 63 characters

struct boot_step_t {
    boot_step_e kind;
    uint8_t level;             // STEP_DTR, STEP_RTS, STEP_GPIO: 0 or 1
    uint32_t value;            // STEP_BREAK, STEP_WAIT: milliseconds; STEP_GPIO: line offset
    char chip[STEP_CHIP_SIZE]; // STEP_GPIO: the chip as written (name, path, label or number)
};

// A parsed sequence: count steps (1 or more), run in order.
struct boot_seq_t {
    int count;
    boot_step_t *steps;
};

/* parse_sequence
 * Parses text, a comma-separated list of steps (dtr=0/1, rts=0/1, break=MS
 * with MS from 1 to 60000, wait=MS from 0 to 60000, gpio=CHIP:LINE=0/1 with
 * LINE from 0 to 65535), into seq, whose steps it allocates. Numbers are
 * decimal digits only; nothing else, spaces included, is allowed. Returns 0,
 * or -1 after recording ERR_OPTION_INVALID_VALUE with a detail that begins
 * " for option <option>: " and names the first bad step (or
 * ERR_UNABLE_TO_ALLOCATE_BUFFER); seq is then left unchanged. */
int parse_sequence(const char *text, const char *option, boot_seq_t *seq);

/* set_boot_sequence, set_run_sequence
 * --boot and --run handlers: parse the value into cfg.boot_seq or
 * cfg.run_seq, replacing an earlier one. Return 1, or -1 after recording an
 * error (see parse_sequence). */
int set_boot_sequence(const opt_desc *opt, int argc, char **args);
int set_run_sequence(const opt_desc *opt, int argc, char **args);

/* format_step
 * Writes the step as a sequence would give it ("gpio=gpiochip0:17=1") into
 * buf (n bytes, cut to fit). */
void format_step(const boot_step_t *step, char *buf, size_t n);

/* boot_sequence
 * Runs seq (nothing when null) before synchronisation. When a step uses the
 * port, device is opened and set to 9600 baud first, and left open for the
 * synchronisation; modem lines that the steps drive keep their levels from then
 * on (see serial_set_line). On the first step that cannot be carried out,
 * prints "Failed to run the boot sequence: %s\n" with the step and the reason,
 * and returns -1 without running the rest; the port may be left open.
 * Returns 0 otherwise. */
int boot_sequence(const boot_seq_t *seq, const char *device);

/* run_sequence
 * Runs seq (nothing when null) on the port left open by the upgrade. On the
 * first step that cannot be carried out, prints "Failed to run the run
 * sequence: %s\n" with the step, the reason and that the flash is already
 * programmed, and returns -1. Returns 0 otherwise. */
int run_sequence(const boot_seq_t *seq);
