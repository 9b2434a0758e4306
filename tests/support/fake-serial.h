// A scripted serial line in place of util/serial-linux.cpp, for protocol tests
// and fuzz targets: the "device" sends the bytes fed to it, every byte written
// is recorded, and a read past the fed bytes times out at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace fakeserial
{

// Back to the start: closed, nothing fed or written, time-out 1000 ms, no
// responder, open succeeds, set_param keeps input, no rate set, counts 0.
void reset();

// Appends bytes to what the device sends.
void feed(const uint8_t *pb, size_t cb);
void feed(std::initializer_list<uint8_t> bytes);

// Bytes fed and not yet read.
size_t pending();

// Every byte written since reset, in order.
const std::vector<uint8_t> &written();

// Number of serial_write calls since reset (also failed ones).
int write_count();

// serial_open returns -1 (errno ENOENT) while set.
void set_open_fails(bool fails);

// serial_write returns -1 with errno = err while err is non-zero.
void set_write_error(int err);

// serial_set_param discards the bytes not yet read, as the real port does
// (TCSAFLUSH), while set. Off by default so that a script can be fed ahead.
void set_param_discards_input(bool discards);

// The rate of the last successful serial_set_param as decimal text ("" if none).
std::string current_rate();

// The time-out of the last serial_set_timeout.
int current_timeout();

bool is_open();
int open_count();

// Called after every successful serial_write with everything written so far;
// it may feed the device's answer.
void set_responder(std::function<void(const std::vector<uint8_t> &written_so_far)> responder);

} // namespace fakeserial
