// The user MAT sum check: one exchange that checks the whole flash after an
// upgrade against the flash copy.
#pragma once

#include <cstdint>

/* flash_sum
 * The byte-wise total, modulo 2^32, of the flash copy over the user MAT areas
 * that the layout inquiry reported (cfg.areas, cfg.area_first/last), each
 * clipped to the flash copy. Needs the flash copy; changes nothing. */
uint32_t flash_sum();

/* sum_check
 * Asks the device for its user MAT sum (CMD_SUM_CHECK, answered REPLY_SUM_CHECK with a size byte
 * of 4 and the 32-bit total, most significant byte first) and compares it with
 * flash_sum(). The comparison holds only because the transition to the
 * programming/erasing state erased the whole user MAT. Returns 0 when they
 * match (after "Sum check ok: %08lX"); -1 after the exchange's own message
 * when the exchange fails or the answer is not 4 bytes; -2 after "Error: sum
 * check failed: device %08lX, expected %08lX". The record keeps the figures
 * whenever the device answered with 4 bytes (sum_result in kestrel-events.h). */
int sum_check();
