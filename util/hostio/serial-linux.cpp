// The serial port: one open terminal device, raw 8N1, reads guarded by a time-out.
#include "serial-linux.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "error.h"

namespace
{

int dev = -1;          // descriptor of the open port, -1 when closed
int ms_timeout = 1000; // wait for each byte read, in milliseconds
int held_lines = 0;    // bit 1 << serial_line_e for each modem line a caller drives
int kept = -1;         // descriptor that serial_close kept because the port holds its lines
int trace_fd = -1;     // --trace: where every write and read is logged, -1 for none
long long trace_start_us = 0;
int wakeup_fd = -1; // ends every wait when readable (serial_set_wakeup), -1 for none

struct rate_t {
    int baudinit; // terminal speed constant
    int baudrate; // bit/s
};

// poll(2) of the port for events, woken early by the wake-up descriptor:
// returns what poll returns for the port alone, or -1 with errno EINTR when
// the wake-up descriptor is readable. poll ignores a descriptor of -1.
int poll_port(short events, int ms)
{
    std::array<pollfd, 2> pfd{};
    pfd[0].fd = dev;
    pfd[0].events = events;
    pfd[1].fd = wakeup_fd;
    pfd[1].events = POLLIN;
    const int r = poll(pfd.data(), pfd.size(), ms);
    if (r > 0 && (pfd[1].revents & POLLIN) != 0) {
        errno = EINTR;
        return -1;
    }
    return r > 0 ? 1 : r;
}

constexpr std::array<rate_t, 13> rates = {{
    {static_cast<int>(B2400), 2400},
    {static_cast<int>(B9600), 9600},
    {static_cast<int>(B19200), 19200},
    {static_cast<int>(B38400), 38400},
    {static_cast<int>(B57600), 57600},
    {static_cast<int>(B115200), 115200},
    {static_cast<int>(B230400), 230400},
    {static_cast<int>(B460800), 460800},
    {static_cast<int>(B500000), 500000},
    {static_cast<int>(B576000), 576000},
    {static_cast<int>(B921600), 921600},
    {static_cast<int>(B1000000), 1000000},
    {-1, -1},
}};

// The driver's flags as they were before low latency was asked for, to be put
// back before closing; valid while low_latency_set.
serial_struct saved_serial{};
bool low_latency_set = false;

// Asks the driver to pass received bytes on at once instead of after its
// latency timer (USB serial adapters wait up to 16 ms by default). Drivers
// that do not support it (pseudo-terminals, many UARTs) refuse; that is fine,
// the line works the same, only slower.
void request_low_latency()
{
    low_latency_set = false;
    const int saved_errno = errno;
    serial_struct ss{};
    if (ioctl(dev, TIOCGSERIAL, &ss) == 0) {
        saved_serial = ss;
        ss.flags |= ASYNC_LOW_LATENCY;
        low_latency_set = ioctl(dev, TIOCSSERIAL, &ss) == 0;
    }
    errno = saved_errno;
}

// Puts the driver's flags back as request_low_latency found them.
void restore_latency()
{
    if (!low_latency_set)
        return;
    const int saved_errno = errno;
    ioctl(dev, TIOCSSERIAL, &saved_serial);
    errno = saved_errno;
    low_latency_set = false;
}

long long now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

long long now_us()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// One trace line: time, direction and the bytes, written in pieces of at
// most 256 bytes so that the line buffer stays small; each piece is a line.
void trace(char dir, const unsigned char *buf, int cb)
{
    if (trace_fd < 0)
        return;
    constexpr int per_line = 256;
    std::array<char, 40 + 3 * per_line> line{};
    for (int at = 0; at < cb; at += per_line) {
        const int n = cb - at < per_line ? cb - at : per_line;
        int len = snprintf(line.data(), 40, "%lld %c", now_us() - trace_start_us, dir);
        for (int i = 0; i < n; ++i)
            len += snprintf(line.data() + len, 4, " %02X", buf[at + i]);
        line[static_cast<size_t>(len++)] = '\n';
        const int saved_errno = errno;
        const ssize_t w = write(trace_fd, line.data(), static_cast<size_t>(len));
        (void)w;
        errno = saved_errno;
    }
}

// Waits for the next byte and reads what is already there, at most max bytes,
// into buf. Returns the count (1 or more), 0 at end of file, or -1 after a
// time-out (recorded) or a failed system call (not recorded, errno kept).
//
// A poll may report data that a read then does not find (EAGAIN): another
// process flushed or read the port, or the wake-up was for a condition the
// line discipline does not turn into bytes. That is not a failure of the line,
// so the wait goes on, but only for what is left of this byte's time-out: a
// poll that keeps waking up early can neither stretch the wait nor spin for
// ever. errno is restored so that a spurious EAGAIN leaves no trace.
int read_some(unsigned char *buf, int max)
{
    const long long deadline = now_ms() + ms_timeout;
    int wait = ms_timeout;
    for (;;) {
        if (serial_wait_for_data(wait) < 0)
            return -1;
        const int saved_errno = errno;
        const ssize_t r = read(dev, buf, static_cast<size_t>(max));
        if (r > 0)
            trace('<', buf, static_cast<int>(r));
        if (r >= 0)
            return static_cast<int>(r);
        if (errno != EAGAIN)
            return -1;
        errno = saved_errno;
        if (ms_timeout >= 0) { // a negative time-out waits without limit
            const long long left = deadline - now_ms();
            if (left <= 0) {
                set_local_errno(ERR_SERIAL_TIMEOUT, nullptr);
                return -1;
            }
            wait = static_cast<int>(left);
        }
    }
}

// Waits for room to write until deadline (ms on the monotonic clock; any
// value when the time-out is negative, which waits without limit). False on
// time-out or failure; errno then still tells why the write failed.
bool wait_for_room(long long deadline)
{
    int wait = -1;
    if (ms_timeout >= 0) {
        const long long left = deadline - now_ms();
        if (left <= 0)
            return false;
        wait = static_cast<int>(left);
    }
    const int saved_errno = errno;
    const int r = poll_port(POLLOUT, wait);
    errno = saved_errno;
    return r > 0;
}

// Takes the exclusive lock on the port just opened, so that two programs that
// both lock cannot interleave their bytes on one line. False when another open
// file description holds it: the port is then closed again. Any other failure
// (a file system without locks) leaves the port open and unlocked, since the
// lock is advisory anyway. The lock ends with the descriptor's close.
bool lock_port()
{
    if (dev < 0 || flock(dev, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK)
        return true;
    close(dev);
    dev = -1;
    errno = EWOULDBLOCK;
    return false;
}

// A port whose modem lines a caller drives stays open across serial_close:
// Linux asserts DTR and RTS whenever a serial port is opened, which would
// pulse a reset or mode pin wired to them at every reopen.
bool keep_held_port()
{
    if (held_lines == 0)
        return false;
    kept = dev;
    dev = -1;
    return true;
}

// Takes back the kept descriptor when name is the same device, discarding
// what the previous use left pending, as a fresh opening would. Another device
// releases it: the held levels belonged to that port.
bool take_back_held_port(const char *name)
{
    if (kept < 0)
        return false;
    struct stat want = {};
    struct stat have = {};
    if (stat(name, &want) == 0 && fstat(kept, &have) == 0 && S_ISCHR(want.st_mode) &&
        want.st_rdev == have.st_rdev) {
        dev = kept;
        kept = -1;
        tcflush(dev, TCIOFLUSH);
        return true;
    }
    close(kept);
    kept = -1;
    held_lines = 0;
    return false;
}

// Clears HUPCL so that the modem lines keep their levels when the port is
// closed, also when the process ends.
int keep_lines_on_close()
{
    termios ti{};
    if (tcgetattr(dev, &ti) < 0)
        return -1;
    if ((ti.c_cflag & HUPCL) == 0)
        return 0;
    ti.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
    return tcsetattr(dev, TCSANOW, &ti);
}

} // namespace

int serial_open(const char *name)
{
    ASSERT(name != nullptr);
    if (take_back_held_port(name))
        return dev;
    // O_NOCTTY: a session leader without a terminal (a service) must not get
    // the port as its controlling terminal, or a hang-up of the line kills it.
    dev = open(name, O_RDWR | O_NONBLOCK | O_NOCTTY, 0);
    if (!lock_port())
        return SERIAL_PORT_BUSY;
    if (dev >= 0)
        request_low_latency();
    return dev;
}

int serial_close()
{
    if (dev < 0)
        return dev;
    if (keep_held_port())
        return 0;
    restore_latency();
    const int r = close(dev);
    dev = -1;
    return r;
}

int serial_set_param(const char *param)
{
    if (param == nullptr)
        return 0;
    // atol's conversion, but with overflow defined; errno is left as it was.
    const int saved_errno = errno;
    const long rate = strtol(param, nullptr, 10);
    errno = saved_errno;

    const rate_t *row = rates.data();
    while (row->baudrate != -1 && row->baudrate != rate)
        ++row;
    if (row->baudrate == -1) {
        set_local_errno(ERR_COM_SPEED_NOT_SUPPORTED, nullptr);
        return -1;
    }

    termios ti{};
    tcgetattr(dev, &ti);
    cfsetspeed(&ti, static_cast<speed_t>(row->baudinit));
    // PARMRK is cleared as well: left set by an earlier user of the port, it
    // makes the line discipline double every 0xFF received.
    ti.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC |
                                         IXON | IXANY | IXOFF | PARMRK);
    ti.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    ti.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CRTSCTS);
    ti.c_cflag |= CS8 | CREAD | CLOCAL;
    ti.c_lflag &= ~static_cast<tcflag_t>(ISIG | ICANON | XCASE | ECHO | ECHONL | NOFLSH);
    tcsetattr(dev, TCSAFLUSH, &ti);
    return 0;
}

int serial_rate(int i)
{
    if (i < 0 || i >= static_cast<int>(rates.size()))
        return -1;
    return rates[static_cast<size_t>(i)].baudrate;
}

int serial_set_timeout(int ms_t)
{
    ms_timeout = ms_t;
    return 0;
}

int serial_get_timeout()
{
    return ms_timeout;
}

int serial_drain(int quiet_ms, int max_ms)
{
    const long long deadline = now_ms() + max_ms;
    std::array<unsigned char, 256> junk{};
    int dropped = 0;
    while (now_ms() < deadline) {
        const int p = poll_port(POLLIN, quiet_ms);
        if (p < 0)
            return -1;
        if (p == 0)
            return dropped;
        const ssize_t r = read(dev, junk.data(), junk.size());
        if (r == 0)
            return -1;
        if (r < 0) {
            if (errno != EAGAIN)
                return -1;
            continue;
        }
        trace('<', junk.data(), static_cast<int>(r));
        dropped += static_cast<int>(r);
    }
    return dropped;
}

void serial_set_wakeup(int fd)
{
    wakeup_fd = fd;
}

void serial_set_trace(int fd)
{
    if (trace_start_us == 0)
        trace_start_us = now_us();
    trace_fd = fd;
}

int serial_wait_for_data(int ms)
{
    const int r = poll_port(POLLIN, ms);
    if (r < 0)
        return -1;
    if (r == 0) {
        set_local_errno(ERR_SERIAL_TIMEOUT, nullptr);
        return -1;
    }
    return 0;
}

int serial_read(unsigned char *buf, int cb)
{
    ASSERT(buf != nullptr);
    ASSERT(cb >= 0);
    // Takes whatever has already arrived in one read, but never more than is
    // still missing: the bytes of a later reply stay in the port.
    int got = 0;
    while (got < cb) {
        const int r = read_some(buf + got, cb - got);
        if (r < 0)
            return -1;
        if (r == 0) {
            set_local_errno(ERR_READ_EOF, " --> read %d of %d", got, cb);
            return -1;
        }
        got += r;
    }
    return cb;
}

int serial_write(const unsigned char *buf, int cb)
{
    ASSERT(buf != nullptr || cb == 0);
    ASSERT(cb >= 0);
    // A frame larger than the room left in the port's output buffer would fail
    // half sent on a non-blocking port, so a full buffer is waited for, up to
    // the time-out in force from the last progress. A port that takes nothing
    // in that time fails with errno EAGAIN, nothing recorded.
    long long deadline = 0;
    bool waiting = false;
    int cnt = 0;
    while (cnt < cb) {
        const ssize_t r = write(dev, buf + cnt, static_cast<size_t>(cb - cnt));
        if (r < 0 && errno == EAGAIN) {
            if (!waiting)
                deadline = now_ms() + ms_timeout;
            waiting = true;
            if (wait_for_room(deadline))
                continue;
        }
        if (r < 0)
            return -1;
        if (r == 0) {
            set_local_errno(ERR_WRITE_EOF, " --> wrote %d of %d", cnt, cb);
            return -1;
        }
        trace('>', buf + cnt, static_cast<int>(r));
        cnt += static_cast<int>(r);
        waiting = false;
    }
    return cnt;
}

int serial_read_line(char *str, int n)
{
    ASSERT(str != nullptr);
    // A buffer of no size gets no terminator either.
    if (n > 0)
        str[0] = '\0';
    for (int i = 0; i < n; ++i) {
        // One byte at a time: what follows the newline belongs to the next line.
        const int r = read_some(reinterpret_cast<unsigned char *>(str + i), 1);
        if (r < 0)
            return -1;
        if (r == 0) {
            set_local_errno(ERR_READ_EOF, " --> read %d of %d", i, n);
            return -1;
        }
        if (str[i] == '\n') {
            str[i] = '\0';
            return i + 1;
        }
    }
    set_local_errno(ERR_LINE_TOO_LONG, " --> expected line no longer than %i", n);
    return -1;
}

int serial_write_line(const char *str)
{
    ASSERT(str != nullptr);
    const size_t len = strlen(str);
    ASSERT(len <= INT_MAX);
    return serial_write(reinterpret_cast<const unsigned char *>(str), static_cast<int>(len));
}

int serial_flush()
{
    return ioctl(dev, TCFLSH, TCIOFLUSH);
}

int serial_set_line(serial_line_e line, int level)
{
    ASSERT(line == SERIAL_LINE_DTR || line == SERIAL_LINE_RTS);
    int bits = line == SERIAL_LINE_DTR ? TIOCM_DTR : TIOCM_RTS;
    if (ioctl(dev, level != 0 ? TIOCMBIS : TIOCMBIC, &bits) < 0)
        return -1;
    if (keep_lines_on_close() < 0)
        return -1;
    held_lines |= 1 << line;
    return 0;
}

int serial_set_break(int on)
{
    return ioctl(dev, on != 0 ? TIOCSBRK : TIOCCBRK, 0);
}
