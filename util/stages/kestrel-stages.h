// The protocol stages of an upgrade, in the order main runs them. Each prints
// its own messages and returns its own negative value on failure; each reports
// to the run's record (kestrel-events.h): prepare the selected device, erasure
// and programming their counters, every stage its progress.
#pragma once

#include <cstdint>

/* print_progress
 * printf for a progress text, one that begins with a carriage return and so
 * overwrites the one before it on its line. Prints nothing when cfg.quiet is
 * set (-q): a log then gets one line per stage instead of every step. */
void print_progress(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* unit_is_blank
 * Whether page p of the flash copy holds only 0xFF: a unit the device's
 * erasure already left as the image wants it (--skip-blank). */
bool unit_is_blank(uint32_t page);

/* count_blank_units
 * The number of marked pages that unit_is_blank. */
uint32_t count_blank_units();

// With --skip-blank, erase_flash and program_flash leave out blank marked units
// (a block whose marked units are all blank is not erased). The loops of
// erase_flash, program_flash and verify_flash, and the synchronisation tries,
// stop at the next exchange once SIGINT or SIGTERM arrived (interrupted_by),
// with the stage's failure value and no message.

int adjust_baud_rate(const char *device); // synchronisation at 9600 baud: 0 or -1
int get_info();                           // flash layout inquiry: 0, -1 or -4
int prepare();                            // device selection and new bit rate: 0, -1 ... -6
int enter_erase_program_state();          // 0, -1 or -2
int erase_flash();                        // 0, -1, -3, -4 or -5
int program_flash();                      // 0, -1, -2 or -3
int verify_flash();                       // 0, -1, -2 or -3
