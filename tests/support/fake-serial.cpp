// The scripted line behind the serial-linux.h interface.
#include "fake-serial.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "error.h"
#include "serial-linux.h"

namespace
{

constexpr int fake_descriptor = 3;
constexpr std::array<int, 12> rates = {2400,   9600,   19200,  38400,  57600,  115200,
                                       230400, 460800, 500000, 576000, 921600, 1000000};

struct line_t {
    std::vector<uint8_t> input; // bytes the device sends
    size_t pos = 0;             // next one to read
    std::vector<uint8_t> output;
    int writes = 0;
    bool open = false;
    int opens = 0;
    bool open_fails = false;
    int write_error = 0;
    bool param_discards = false;
    std::string rate;
    int ms_timeout = 1000;
    std::function<void(const std::vector<uint8_t> &)> responder;
};

line_t line;

size_t available()
{
    return line.input.size() - line.pos;
}

int timeout()
{
    set_local_errno(ERR_SERIAL_TIMEOUT, nullptr);
    return -1;
}

} // namespace

namespace fakeserial
{

void reset()
{
    // clear() keeps the capacity: fuzz targets reset millions of times.
    line.input.clear();
    line.pos = 0;
    line.output.clear();
    line.writes = 0;
    line.open = false;
    line.opens = 0;
    line.open_fails = false;
    line.write_error = 0;
    line.param_discards = false;
    line.rate.clear();
    line.ms_timeout = 1000;
    line.responder = nullptr;
}

void feed(const uint8_t *pb, size_t cb)
{
    line.input.insert(line.input.end(), pb, pb + cb);
}

void feed(std::initializer_list<uint8_t> bytes)
{
    feed(bytes.begin(), bytes.size());
}

size_t pending()
{
    return available();
}

const std::vector<uint8_t> &written()
{
    return line.output;
}

int write_count()
{
    return line.writes;
}

void set_open_fails(bool fails)
{
    line.open_fails = fails;
}

void set_write_error(int err)
{
    line.write_error = err;
}

void set_param_discards_input(bool discards)
{
    line.param_discards = discards;
}

std::string current_rate()
{
    return line.rate;
}

int current_timeout()
{
    return line.ms_timeout;
}

bool is_open()
{
    return line.open;
}

int open_count()
{
    return line.opens;
}

void set_responder(std::function<void(const std::vector<uint8_t> &)> responder)
{
    line.responder = std::move(responder);
}

} // namespace fakeserial

int serial_open(const char *name)
{
    ASSERT(name != nullptr);
    if (line.open_fails) {
        errno = ENOENT;
        return -1;
    }
    line.open = true;
    ++line.opens;
    return fake_descriptor;
}

int serial_close()
{
    if (!line.open)
        return -1;
    line.open = false;
    return 0;
}

int serial_set_param(const char *param)
{
    if (param == nullptr)
        return 0;
    const long rate = strtol(param, nullptr, 10);
    for (int r : rates) {
        if (r == rate) {
            line.rate = std::to_string(r);
            if (line.param_discards)
                line.pos = line.input.size();
            return 0;
        }
    }
    set_local_errno(ERR_COM_SPEED_NOT_SUPPORTED, nullptr);
    return -1;
}

int serial_rate(int i)
{
    if (i < 0 || i >= static_cast<int>(rates.size()))
        return -1;
    return rates[static_cast<size_t>(i)];
}

int serial_set_timeout(int ms_t)
{
    line.ms_timeout = ms_t;
    return 0;
}

int serial_get_timeout()
{
    return line.ms_timeout;
}

// The scripted line has no time: what is fed is what the device answers next,
// so nothing counts as left over from before and nothing is dropped.
int serial_drain(int, int)
{
    return line.open ? 0 : -1;
}

// The scripted line keeps its own record of the bytes (written()).
void serial_set_trace(int) {}

int serial_wait_for_data(int)
{
    return available() > 0 ? 0 : timeout();
}

int serial_read(unsigned char *buf, int cb)
{
    ASSERT(buf != nullptr);
    ASSERT(cb >= 0);
    const size_t take = std::min(available(), static_cast<size_t>(cb));
    if (take > 0)
        memcpy(buf, line.input.data() + line.pos, take);
    line.pos += take;
    return take == static_cast<size_t>(cb) ? cb : timeout();
}

int serial_write(const unsigned char *buf, int cb)
{
    ASSERT(buf != nullptr || cb == 0);
    ASSERT(cb >= 0);
    ++line.writes;
    if (!line.open) {
        errno = EBADF;
        return -1;
    }
    if (line.write_error != 0) {
        errno = line.write_error;
        return -1;
    }
    line.output.insert(line.output.end(), buf, buf + cb);
    if (line.responder)
        line.responder(line.output);
    return cb;
}

int serial_read_line(char *str, int n)
{
    ASSERT(str != nullptr);
    if (n > 0)
        str[0] = '\0';
    for (int i = 0; i < n; ++i) {
        if (available() == 0)
            return timeout();
        str[i] = static_cast<char>(line.input[line.pos++]);
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
    if (!line.open) {
        errno = EBADF;
        return -1;
    }
    line.pos = line.input.size();
    return 0;
}

// The scripted line, like a pseudo-terminal, has no modem lines; a break it
// accepts and ignores.
int serial_set_line(serial_line_e, int)
{
    errno = line.open ? ENOTTY : EBADF;
    return -1;
}

int serial_set_break(int)
{
    if (!line.open) {
        errno = EBADF;
        return -1;
    }
    return 0;
}

// The scripted line is local: its failures have nothing to add.
const char *serial_failure()
{
    return "";
}
