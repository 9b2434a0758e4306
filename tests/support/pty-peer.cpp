#include "pty-peer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace ptypeer
{

namespace
{

using clock_type = std::chrono::steady_clock;

int ms_since(clock_type::time_point t)
{
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - t).count());
}

} // namespace

PtyPeer::PtyPeer()
{
    const int fd = posix_openpt(O_RDWR | O_NOCTTY);
    if (fd < 0)
        return;
    const char *name = nullptr;
    if (grantpt(fd) != 0 || unlockpt(fd) != 0 || (name = ptsname(fd)) == nullptr) {
        close(fd);
        return;
    }
    // The master side passes bytes through untouched in both directions only
    // when it is raw itself.
    termios t{};
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    master = fd;
    slave = name;
}

PtyPeer::~PtyPeer()
{
    join();
    hang_up();
}

bool PtyPeer::send(const std::vector<uint8_t> &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t r = write(master, bytes.data() + done, bytes.size() - done);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

std::vector<uint8_t> PtyPeer::receive(size_t n, int ms)
{
    std::vector<uint8_t> out;
    while (out.size() < n) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0)
            break;
        uint8_t b[4096];
        const size_t want = std::min(n - out.size(), sizeof b);
        const ssize_t r = read(master, b, want);
        if (r <= 0)
            break;
        out.insert(out.end(), b, b + r);
    }
    return out;
}

std::vector<uint8_t> PtyPeer::drain(int ms)
{
    std::vector<uint8_t> out;
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0)
            break;
        uint8_t b[4096];
        const ssize_t r = read(master, b, sizeof b);
        if (r <= 0)
            break;
        out.insert(out.end(), b, b + r);
    }
    return out;
}

bool PtyPeer::wait_consumed(int grace_ms, int limit_ms)
{
    // A descriptor of our own on the slave, only to ask for its input queue.
    const int fd = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    const auto start = clock_type::now();
    bool seen = false;
    bool done = false;
    while (!done && ms_since(start) < limit_ms) {
        int queued = 0;
        if (ioctl(fd, FIONREAD, &queued) != 0)
            break;
        if (queued > 0)
            seen = true;
        else if (seen || ms_since(start) >= grace_ms)
            done = true;
        if (!done)
            usleep(1000);
    }
    close(fd);
    return done;
}

void PtyPeer::hang_up()
{
    if (master >= 0)
        close(master);
    master = -1;
}

PtyPeer &PtyPeer::then_send(std::vector<uint8_t> bytes)
{
    return then_call([bytes = std::move(bytes)](PtyPeer &p) {
        if (!p.send(bytes))
            p.script_fine = false;
    });
}

PtyPeer &PtyPeer::then_expect(size_t n, int ms)
{
    return then_call([n, ms](PtyPeer &p) {
        const std::vector<uint8_t> r = p.receive(n, ms);
        p.got.insert(p.got.end(), r.begin(), r.end());
        if (r.size() != n)
            p.script_fine = false;
    });
}

PtyPeer &PtyPeer::then_pause(int ms)
{
    return then_call([ms](PtyPeer &) { usleep(static_cast<useconds_t>(ms) * 1000); });
}

PtyPeer &PtyPeer::then_wait_consumed()
{
    return then_call([](PtyPeer &p) {
        if (!p.wait_consumed())
            p.script_fine = false;
    });
}

PtyPeer &PtyPeer::then_hang_up()
{
    return then_call([](PtyPeer &p) { p.hang_up(); });
}

PtyPeer &PtyPeer::then_call(std::function<void(PtyPeer &)> step)
{
    steps.push_back(std::move(step));
    return *this;
}

void PtyPeer::start()
{
    runner = std::thread([this] {
        for (auto &step : steps)
            step(*this);
    });
}

void PtyPeer::join()
{
    if (runner.joinable())
        runner.join();
}

} // namespace ptypeer
