// The bit rate chosen from the H8S clock: -s device:auto.
#pragma once

#include <cstdint>

/* auto_bit_rate
 * Whether the bit rate is to be chosen by kestrel: cfg.baudrate is exactly
 * "auto". */
bool auto_bit_rate();

/* sci_rate_within
 * Whether the H8S serial interface makes rate from clock (Hz) within 2 % at
 * its nearest setting in asynchronous mode with clock divider 1: bit-rate
 * register N = round(clock / (32 x rate)) - 1, halves rounded up, limited to
 * 0 ... 255. */
bool sci_rate_within(uint64_t clock, uint32_t rate);

/* choose_bit_rate
 * Sends the new bit rate (CMD_NEW_BIT_RATE) for the fastest rate of the serial port's
 * table that the clock (cfg.freq / 10000 x 10000 Hz x ratio, as the device
 * derives it) makes within 2 %; a refusal by the device (another response
 * code and its error byte) makes it try the next such rate. Returns 0 with the
 * rate acknowledged, in *baudrate and as decimal text in cfg.baudrate; -1 when
 * no rate is within 2 % (after a line saying so), the last one was refused, or
 * the exchange failed otherwise (after the exchange's own message). */
int choose_bit_rate(uint8_t ratio, unsigned long *baudrate);
