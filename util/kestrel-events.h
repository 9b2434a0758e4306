// The run's record for scripts (--events): JSON Lines, one object per line,
// each line written with one write as the run goes, the result always last.
// The stages report through stage_begin, stage_progress and stage_end only;
// without --events every call here does nothing but count.
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

extern run_counts_t run_counts;

/* stage_name
 * The name of a stage in the record ("boot" ... "run"); "" for STAGE_NONE. */
const char *stage_name(stage_e stage);

/* events_open
 * Opens the record: "fd:N" takes the open descriptor N (0 to INT_MAX, not 0,
 * 1 or 2), anything else is a path created or truncated (mode 0666 less the
 * umask). A record opened before is closed first. Returns 0, or -1 with errno
 * set and no record open (EBADF for a descriptor that is not open, EINVAL for
 * "fd:" without a valid number). SIGPIPE is ignored from then on, so that a
 * reader that goes away ends the record, not the upgrade. */
int events_open(const char *where);

/* events_enabled
 * Whether a record is open and writable. A failed write closes it: the run
 * goes on without it. */
bool events_enabled();

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
 * Writes the "device" event: code (4 characters) and name of the selected
 * device, the flash layout from cfg and the bit rate in force (cfg.baudrate,
 * as a number). */
void events_device(const char *code, const char *name);

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
 * none failed), run_counts, cfg.used, the sum check's figures when the device
 * answered one, the journal's state with --journal, and the seconds since
 * events_start. Then closes the record. */
void events_result(int status);
