// The run's record for scripts (--events): JSON Lines, one object per line,
// each line written with one write as the run goes, the result always last.
// It also owns the facts of the run that several modules need: the current
// stage, the counters, the selected device and the device's sum. The stages
// report through the functions here only; without --events every call here
// does nothing but keep those facts.
#pragma once

#include <cstdint>

// The stages of a run, in the order they run.
enum stage_e : int {
    STAGE_BOOT,
    STAGE_SYNC,
    STAGE_LAYOUT,
    STAGE_SELECT,
    STAGE_ENTER,
    STAGE_LOAD,
    STAGE_ERASE,
    STAGE_PROGRAM,
    STAGE_VERIFY,
    STAGE_SUM_CHECK,
    STAGE_RUN,
    STAGE_NONE, // no stage: before the first and after the last
};

// What the stages did, for the result: counted with or without --events.
struct run_counts_t {
    uint32_t erased_blocks;    // block erasures acknowledged
    uint32_t programmed_units; // programming frames acknowledged
    uint32_t skipped_units;    // marked units left out as blank (--skip-blank)
};

// The device that the selection chose: its code and name as the device reported them.
struct selected_device_t {
    char code[5];   // 4 characters
    char name[256]; // at most 251 characters
};

// The figures of the last sum check the device answered with 4 bytes.
struct sum_result_t {
    bool answered;     // the device sent its sum
    uint32_t device;   // the device's sum
    uint32_t expected; // the flash copy's sum at that time
};

/* stage_name
 * The name of a stage in the record ("boot" ... "run"), the one table of
 * stage names; "" for STAGE_NONE. */
const char *stage_name(stage_e stage);

/* current_stage
 * The stage between its stage_begin and stage_end; STAGE_NONE outside. */
stage_e current_stage();

// The counters: a block erasure or a programming frame acknowledged, the
// blank units left out (--skip-blank).
void count_erased_block();
void count_programmed_unit();
void set_skipped_units(uint32_t n);
const run_counts_t &run_counts();

/* set_selected_device
 * Keeps the selected device: code (4 characters) and the first namelen
 * characters of name (cut to 251). */
void set_selected_device(const char *code, const char *name, int namelen);
const selected_device_t &selected_device();

/* set_sum_result
 * Keeps the figures of a sum check the device answered. */
void set_sum_result(uint32_t device, uint32_t expected);
const sum_result_t &sum_result();

/* events_open
 * Opens the record: "fd:N" takes the open descriptor N (0 to INT_MAX, not 0,
 * 1 or 2), anything else is a path created or truncated (mode 0666 less the
 * umask). A record opened before is closed first. Returns 0, or -1 with errno
 * set and no record open (EBADF for a descriptor that is not open, EINVAL for
 * "fd:" without a valid number). SIGPIPE is ignored from then on, so that a
 * reader that goes away ends the record, not the upgrade. */
int events_open(const char *where);

/* events_start
 * Starts the run's clock and writes the "start" event from cfg and the image
 * list: the options, and each image's size and SHA-256 digest (null for a
 * file that cannot be read or is not a regular file), and with --journal
 * the journal's directory. */
void events_start();

/* stage_begin
 * Writes the "begin" of a stage and makes it the current stage. */
void stage_begin(stage_e stage);

/* stage_begun
 * Whether the run has begun stage, or a stage after it. */
bool stage_begun(stage_e stage);

/* stage_progress
 * Reports done of total (units, blocks or bytes) for the current stage;
 * writes a "progress" event only when the whole percentage is above the
 * last one written for the stage. total 0 counts as 100 %. */
void stage_progress(uint32_t done, uint32_t total);

/* stage_end
 * Writes the "end" of the current stage with ok; a stage that ends not ok
 * becomes the result's failed stage. No stage is current afterwards. */
void stage_end(bool ok);

/* events_device
 * Writes the "device" event: code and name of the selected device, the flash
 * layout from cfg and the bit rate in force (cfg.baudrate, as a number). */
void events_device();

/* events_recovery
 * Writes a "recovery" event for a line fault recovered in the current stage:
 * the command byte, a short name of the fault and the try (1 for the first). */
void events_recovery(uint8_t command, const char *fault, int attempt);

/* events_journal_state
 * With --journal: the state the journal is left in ("pending", "done",
 * "restored", or null for no record), for the result's "journal_state". */
void events_journal_state(const char *state);

/* events_result
 * Writes the "result" event with the exit status, the failed stage (null when
 * none failed), the counters, cfg.used, the sum check's figures when the device
 * answered one, the journal's state with --journal, and the seconds since
 * events_start. Then closes the record. A failed write closes the record at
 * any point: the run goes on without it. */
void events_result(int status);
