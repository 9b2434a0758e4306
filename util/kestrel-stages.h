// The protocol stages of an upgrade, in the order main runs them. Each prints
// its own messages and returns its own negative value on failure.
#pragma once

#include <cstdint>

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
