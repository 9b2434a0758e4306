// The operations one transport of the serial module provides: a local
// terminal device, or a serial port on another machine reached over the
// network. serial-linux picks the table by the device's name; everything
// above the serial module's own functions sees no difference.
#pragma once

#include <sys/types.h>

// serial_line_e in serial-linux.h: 0 DTR, 1 RTS.
struct port_ops_t {
    /* open: the descriptor to poll for the port named name, -1 when it cannot
     * be opened (errno set), SERIAL_PORT_BUSY when another program holds it. */
    int (*open)(const char *name);
    // close: ends the use of fd; 0, or -1 when the close failed.
    int (*close)(int fd);
    /* set_rate: raw 8N1 without flow control at the rate (baudinit: the
     * terminal speed constant, baudrate: bit/s); pending output goes out
     * first, pending input is discarded. 0, or -1. */
    int (*set_rate)(int fd, int baudinit, int baudrate);
    /* read: up to max bytes of serial data; the count, 0 at the end of the
     * stream, -1 with errno (EAGAIN: nothing there now). */
    ssize_t (*read)(int fd, unsigned char *buf, size_t max);
    /* write: some of the n bytes, without waiting; the count taken, -1 with
     * errno (EAGAIN: no room now). */
    ssize_t (*write)(int fd, const unsigned char *buf, size_t n);
    // buffered: serial data already received and not yet read, which a poll
    // of fd does not show.
    size_t (*buffered)(int fd);
    // flush: discards unread input and unsent output. 0, or -1.
    int (*flush)(int fd);
    // set_line: drives DTR (0) or RTS (1) to level. 0, or -1 with errno.
    int (*set_line)(int fd, int line, int level);
    // set_break: starts (non-zero) or ends the break condition. 0, or -1.
    int (*set_break)(int fd, int on);
    // why: one line on why the last open or set_rate failed, "" when the
    // transport has nothing to add to its caller's own message.
    const char *(*why)();
};
