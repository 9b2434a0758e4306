// Raw client of the simulated boot program.
#include "sim-client.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace simclient
{

namespace
{

Bytes with_checksum(Bytes b)
{
    uint8_t sum = 0;
    for (uint8_t x : b)
        sum = uint8_t(sum + x);
    b.push_back(uint8_t(0x100 - sum));
    return b;
}

} // namespace

Bytes frame(uint8_t cmd, const Bytes &data)
{
    Bytes b{cmd, uint8_t(data.size())};
    b.insert(b.end(), data.begin(), data.end());
    return with_checksum(b);
}

Bytes frame_nosize(uint8_t cmd, const Bytes &data)
{
    Bytes b{cmd};
    b.insert(b.end(), data.begin(), data.end());
    return with_checksum(b);
}

Client::Client(const std::string &path)
{
    fd_ = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd_ >= 0 && !configure(B9600))
        close();
}

Client::~Client()
{
    close();
}

bool Client::configure(speed_t speed, bool raw)
{
    termios t;
    if (tcgetattr(fd_, &t) != 0)
        return false;
    if (raw) {
        cfmakeraw(&t);
        t.c_cflag &= tcflag_t(~(CSTOPB | CRTSCTS));
        t.c_cflag |= CREAD | CLOCAL;
    } else {
        t.c_lflag |= ICANON | ECHO | ISIG;
        t.c_oflag |= OPOST;
    }
    cfsetspeed(&t, speed);
    return tcsetattr(fd_, TCSAFLUSH, &t) == 0;
}

bool Client::send(const Bytes &b)
{
    size_t done = 0;
    while (done < b.size()) {
        ssize_t k = ::write(fd_, b.data() + done, b.size() - done);
        if (k > 0) {
            done += size_t(k);
            continue;
        }
        if (k < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd p = {fd_, POLLOUT, 0};
        poll(&p, 1, 100);
    }
    return true;
}

Bytes Client::recv(size_t n, int timeout_ms)
{
    Bytes out;
    uint8_t buf[4096];
    while (out.size() < n) {
        pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            break;
        ssize_t k = ::read(fd_, buf, std::min(sizeof buf, n - out.size()));
        if (k <= 0) {
            if (k < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            break;
        }
        out.insert(out.end(), buf, buf + k);
    }
    return out;
}

Bytes Client::exchange(const Bytes &b, size_t n, int timeout_ms)
{
    if (!send(b))
        return {};
    return recv(n, timeout_ms);
}

void Client::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool sync(Client &c)
{
    return c.exchange({0x00}, 1) == Bytes{0x00} && c.exchange({0x55}, 1) == Bytes{0xE6};
}

bool to_select_state(Client &c, uint32_t rate, speed_t speed)
{
    const Bytes ack{0x06};
    uint16_t r = uint16_t(rate / 100);
    if (!sync(c) || c.exchange(frame(0x10, {'3', 'K', '6', '4'}), 1) != ack ||
        c.exchange(frame(0x11, {0x00}), 1) != ack ||
        c.exchange(frame(0x3F, {uint8_t(r >> 8), uint8_t(r), 0x0B, 0x85, 0x01, 0x04}), 1) != ack)
        return false;
    return c.configure(speed) && c.exchange({0x06}, 1) == ack && c.exchange({0x40}, 1) == ack;
}

} // namespace simclient
