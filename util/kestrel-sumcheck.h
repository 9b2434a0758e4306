// The user MAT sum check: one exchange that checks the whole flash after an
// upgrade against the flash copy.
#pragma once

#include <cstdint>

/* flash_sum
 * The byte-wise total, modulo 2^32, of the flash copy over the user MAT areas
 * that the layout inquiry reported (cfg.areas, cfg.area_first/last), each
 * clipped to the flash copy. Needs the flash copy; changes nothing. */
uint32_t flash_sum();

// The figures of the last sum check the device answered with 4 bytes.
struct sum_result_t {
    bool answered;     // the device sent its sum
    uint32_t device;   // the device's sum
    uint32_t expected; // flash_sum() at that time
};

extern sum_result_t sum_result;

/* sum_check
 * Asks the device for its user MAT sum (0x4B, answered 0x5B with a size byte
 * of 4 and the 32-bit total, most significant byte first) and compares it with
 * flash_sum(). The comparison holds only because the transition to the
 * programming/erasing state erased the whole user MAT. Returns 0 when they
 * match (after "Sum check ok: %08lX"); -1 after the exchange's own message
 * when the exchange fails or the answer is not 4 bytes; -2 after "Error: sum
 * check failed: device %08lX, expected %08lX". sum_result holds the figures
 * whenever the device answered with 4 bytes. */
int sum_check();
