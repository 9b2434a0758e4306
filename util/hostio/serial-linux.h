// The serial port: one port at a time, raw 8N1, byte reads guarded by a time-out.
#pragma once

#include <cstddef>

// serial_open's result when another program holds the port's lock.
constexpr int SERIAL_PORT_BUSY = -2;

/* serial_open
 * Opens name (not null) with O_RDWR | O_NONBLOCK | O_NOCTTY, so it never
 * becomes the controlling terminal, takes flock(LOCK_EX | LOCK_NB) on it and
 * asks the driver for low latency (ASYNC_LOW_LATENCY), ignoring a refusal.
 * Returns the descriptor; -1 when it cannot be opened; SERIAL_PORT_BUSY when
 * another open file description holds the lock (the port is closed again,
 * errno EWOULDBLOCK): another kestrel or a terminal program that locks, so
 * trying again is pointless. Nothing is recorded on failure. The lock is
 * advisory: it keeps out only programs that take it too. It is released by
 * serial_close. Expects no port to be open.
 * A port kept by serial_close because it holds its modem lines is taken back
 * instead when name is that device (see serial_set_line); it keeps its lock. */
int serial_open(const char *name);

/* serial_close
 * Puts back the driver flags that serial_open changed, then closes the open
 * port, which releases its lock. Returns the result of close (0 or -1), or -1
 * when no port is open.
 * A port that holds its modem lines is kept open instead, and 0 returned. */
int serial_close();

/* serial_set_param
 * Sets the port raw, 8N1, no flow control, at the bit rate given as decimal
 * text (converted with atol). Null: returns 0 and changes nothing. A rate not
 * in the table (2400, 9600 ... 1000000, see serial_rate) records ERR_COM_SPEED_NOT_SUPPORTED and
 * returns -1 without touching the port. Pending output drains, pending input is
 * discarded (TCSAFLUSH). */
int serial_set_param(const char *param);

/* serial_rate
 * The i-th bit rate that serial_set_param supports, in ascending order from
 * i = 0; -1 for an i outside the table. */
int serial_rate(int i);

/* serial_set_timeout
 * Sets the per-byte read time-out in milliseconds. Always returns 0. */
int serial_set_timeout(int ms_t);

/* serial_get_timeout
 * The per-byte read time-out in force, in milliseconds. */
int serial_get_timeout();

/* serial_drain
 * Reads and drops input until none has arrived for quiet_ms milliseconds, or
 * until max_ms have passed in all. Returns the number of bytes dropped, or -1
 * when the port fails or hangs up (nothing recorded beyond what a read
 * records). Used to let a noisy line go quiet before a new exchange. */
int serial_drain(int quiet_ms, int max_ms);

/* serial_set_wakeup
 * Names a descriptor (the read end of a pipe, -1 for none) that ends every
 * wait on the port as soon as it is readable: the wait then fails as a
 * failed system call does (-1, errno EINTR, nothing recorded). A signal
 * handler that writes to the pipe thus ends a wait that began just before
 * the signal arrived, which EINTR alone cannot. */
void serial_set_wakeup(int fd);

/* serial_set_trace
 * From now on writes one line for every successful write and read on the
 * port to the file descriptor fd (-1: no trace): the time in microseconds
 * since the first call, '>' for bytes written or '<' for bytes read, and the
 * bytes in hexadecimal. Each line goes out with one write(2), so a run that is
 * killed loses nothing. Failures to write the trace are ignored. */
void serial_set_trace(int fd);

/* serial_wait_for_data
 * Waits up to ms milliseconds for readable data without consuming it. Returns
 * 0 when ready (also on hang-up or line error, which the next read shows), -1
 * on time-out (ERR_SERIAL_TIMEOUT recorded) or when poll fails. */
int serial_wait_for_data(int ms);

/* serial_read
 * Reads exactly cb bytes into buf (not null). Every byte waits at most the
 * time-out in force. Returns cb, or -1: time-out (ERR_SERIAL_TIMEOUT), end of
 * file (ERR_READ_EOF, " --> read %d of %d"), or a failed system call (nothing
 * recorded). Bytes received before a failure stay in buf. Never reads more
 * than cb bytes from the port. */
int serial_read(unsigned char *buf, int cb);

/* serial_write
 * Writes the cb bytes of buf, continuing partial writes; does not wait for them
 * to leave the line. When the port's output buffer is full it waits for room,
 * up to the read time-out in force since the last progress, so that a frame
 * larger than the buffer is not left half sent. Returns cb, or -1: a failed
 * write or no room in time (nothing recorded, errno kept, EAGAIN for no room)
 * or a write that took nothing (ERR_WRITE_EOF, " --> wrote %d of %d"). */
int serial_write(const unsigned char *buf, int cb);

/* serial_read_line
 * Reads characters into str (not null, n bytes) up to a newline, which is
 * replaced by a terminator. Returns the characters consumed, newline included,
 * or -1 (as serial_read; ERR_LINE_TOO_LONG with " --> expected line no longer
 * than %i" when n characters arrive without a newline). */
int serial_read_line(char *str, int n);

/* serial_write_line
 * Writes the characters of str as serial_write does; adds no line end. */
int serial_write_line(const char *str);

/* serial_flush
 * Discards unread input and untransmitted output. Returns 0, or -1. */
int serial_flush();

// The port's modem control lines.
enum serial_line_e : int {
    SERIAL_LINE_DTR = 0,
    SERIAL_LINE_RTS = 1,
};

/* serial_set_line
 * Drives DTR or RTS of the open port to level (1 asserted, 0 negated). From the
 * first successful call on, the port holds its modem lines: it is configured
 * without HUPCL, so that closing it does not drop them, and serial_close keeps
 * the descriptor open (without it the port counts as closed) until
 * serial_open names the same device again, which takes it back with its lines
 * untouched and its pending input and output discarded. Linux asserts DTR and
 * RTS on every opening of a serial port, so a true reopen would pulse them.
 * Returns 0, or -1 with errno set (ENOTTY: the port has no modem lines, as a
 * pseudo-terminal; EBADF: no port open); nothing is recorded. */
int serial_set_line(serial_line_e line, int level);

/* serial_set_break
 * Starts (on non-zero) or ends (0) the break condition on the open port's
 * line; the caller times it. Returns 0, or -1 with errno set; nothing is
 * recorded. */
int serial_set_break(int on);
