// Recovery of line faults (--retries): the exchanges of the stages with their
// recovery, one rule per kind of command. Without --retries (cfg.retries 0)
// every function here is exactly the plain exchange of kestrel-proto.h.
#pragma once

#include <cstdint>

#include "kestrel-proto.h"

/* recovery_count
 * The recoveries reported so far in this run (lines printed). */
int recovery_count();

/* reset_recovery
 * Starts a new run: no recoveries or repairs counted. */
void reset_recovery();

/* rexchange
 * exchange with recovery: after a line fault it lets the line go quiet, asks
 * the device's status and sends the command again, or takes it as done when
 * the status shows that it was (selections, the transition to the
 * programming/erasing state, the ends of erasure and programming), at most
 * cfg.retries times. Each recovery prints one line naming the record's current
 * stage and writes a "recovery" event. Returns what the last exchange returned
 * (0 for a command the status shows as done). refused (may be null) is set to
 * exchange_refused() for a refusal that is not a line fault; a refusal with a
 * documented error other than a checksum error is never retried. */
int rexchange(const exchange_t &x, bool *refused = nullptr);

/* rcheck_status
 * check_status with the inquiry recovered: the same messages and results. */
int rcheck_status(uint8_t checkstate);

/* rprogram_unit
 * Sends the programming frame (CMD_PROGRAM) of page from the flash copy; the device
 * must be waiting for programming data. With --retries: a checksum refusal
 * sends it again; when the outcome is unknown, programming is ended, the unit
 * read back and compared: programmed (goes on), blank (sent again) or wrong
 * (its erase block is erased and its marked units below page programmed
 * again before it is sent again). Returns >= 0 with the device waiting for
 * programming data again, or < 0 after the exchange's own message. */
int rprogram_unit(uint32_t page);

/* rread_memory
 * Reads len bytes of the user MAT at address (CMD_READ_MEMORY) into buf, which holds
 * cap >= len + 6 bytes; the data end up at its start. With --retries a read
 * of more than one unit that meets a line fault is read again in halves,
 * down to one unit, which is then recovered like any exchange. Returns the
 * number of bytes read or < 0; refused as in rexchange. */
int rread_memory(uint32_t address, uint32_t len, uint8_t *buf, int cap, bool *refused);

/* unit_reads_right
 * With --retries, after a read showed page different from the flash copy:
 * reads the unit again. True when it now matches: the first read was changed
 * by the line without its checksum showing it (reported as a recovery, at
 * most cfg.retries times in a run). False when it differs again or cannot be
 * read, without --retries, and once those are used up. */
bool unit_reads_right(uint32_t page);

/* repair_block
 * With --retries, when the device is waiting for a programming/erasing
 * selection: erases the erase block that holds page, programs its marked
 * units again and ends programming, so that the device waits for a
 * selection again. *first is set to the block's first page. Returns 0, or -1
 * without --retries, when no --retries are left for it, or when an exchange
 * fails (after its message). */
int repair_block(uint32_t page, uint32_t *first);

/* repair_whole_mat
 * With --retries, when the device is waiting for a programming/erasing
 * selection: reads every user MAT area back (in reads of --read-size bytes,
 * 4096 without it, halved on line faults) and repairs, as repair_block does,
 * the block of every unit that differs from the flash copy (0xFF where no
 * image put data). Returns the number of blocks repaired, or -1 without
 * --retries or when a read or a repair fails. */
int repair_whole_mat();
