// The simulator's terminal side: the pseudo-terminal, the serving thread, the
// watch on the client's opens and closes, and the pacing of the line.
#include "bootsim.h"
#include "boot-program.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace bootsim
{

namespace
{

// A paced answer is written in pieces of about this much line time, each when
// its last byte would have arrived, so that the client reads while the rest
// is still "on the line", as it would from a real port. The last byte goes
// alone, so that the client has little left to read when the answer is due.
constexpr double kChunkSeconds = 250e-6;
constexpr size_t kReadSize = 65536;
// A USB serial adapter passes bytes to the host in packets of at most this
// many data bytes.
constexpr size_t kUsbPacket = 62;

double now_seconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// A timer wakes a thread late: by the default timer slack of 50 us, and in a
// virtual machine by tens to hundreds of microseconds more. For the piece of
// an answer that completes it, that delay would be charged to the client as
// line time it never had, once per exchange; so that piece is slept for only
// up to kSpinSeconds before its deadline and the rest is spun.
constexpr double kSpinSeconds = 300e-6;

void sleep_until(double t, bool exact)
{
    const double wake = exact ? t - kSpinSeconds : t;
    if (now_seconds() < wake) {
        timespec ts;
        ts.tv_sec = time_t(wake);
        ts.tv_nsec = long((wake - double(ts.tv_sec)) * 1e9);
        if (ts.tv_nsec >= 1000000000L) {
            ts.tv_sec++;
            ts.tv_nsec -= 1000000000L;
        }
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
    }
    while (exact && now_seconds() < t) {
    }
}

void close_fd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

// The noisy line: bit flips and lost bytes drawn as gaps between events
// (geometric), so that a clean stretch costs nothing per bit.
class Noise
{
  public:
    Noise(double ber, double drop, uint64_t seed) : rng_(seed), ber_(ber), drop_(drop)
    {
        if (ber_ > 0)
            bits_ = gap(ber_);
        if (drop_ > 0)
            bytes_ = gap(drop_);
    }
    bool active() const { return ber_ > 0 || drop_ > 0; }

    // Passes n bytes through the line into out; bad gets, for each byte put
    // out, whether the line changed it or lost the byte before it.
    void pass(const uint8_t *in, size_t n, std::vector<uint8_t> &out, std::vector<uint8_t> &bad,
              Stats &st)
    {
        bool after_drop = false;
        for (size_t i = 0; i < n; i++) {
            if (drop_ > 0 && bytes_-- == 0) {
                bytes_ = gap(drop_);
                st.bytes_dropped++;
                after_drop = true;
                continue;
            }
            uint8_t b = in[i];
            bool changed = after_drop;
            after_drop = false;
            if (ber_ > 0) {
                unsigned bit = 0;
                while (bits_ < 8 - bit) {
                    bit += unsigned(bits_);
                    b = uint8_t(b ^ (1u << bit));
                    st.bits_flipped++;
                    changed = true;
                    bit++;
                    bits_ = gap(ber_);
                }
                bits_ -= 8 - bit;
            }
            out.push_back(b);
            bad.push_back(changed);
        }
    }

  private:
    uint64_t gap(double p) { return std::geometric_distribution<uint64_t>(p)(rng_); }
    std::mt19937_64 rng_;
    double ber_, drop_;
    uint64_t bits_ = 0;  // clean bits before the next flip
    uint64_t bytes_ = 0; // bytes before the next lost one
};

struct Sim::Impl {
    explicit Impl(const Device &dev)
        : prog(dev, [this] { return line(); }), noise(dev.noise_ber, dev.drop, dev.noise_seed),
          idle_reset_ms(dev.rx_idle_reset_ms)
    {
    }

    LineSettings line() const
    {
        termios t;
        // On Linux the master reports the slave's settings: the client's line.
        if (master < 0 || tcgetattr(master, &t) != 0)
            return {};
        return line_settings(t);
    }

    bool open_terminal();
    void serve();
    bool read_master(std::vector<uint8_t> &buf);
    bool process(const uint8_t *p, size_t n, bool corrupted, double first_seen, double last_seen);
    void clear_rx();
    void send(const std::vector<uint8_t> &reply, uint32_t rate, size_t rx_bytes, double busy,
              double held, double first_seen, double last_seen);
    void send_through_adapter(const std::vector<uint8_t> &reply, double start, double bt);
    bool write_all(const uint8_t *p, size_t n);
    bool read_watch(); // open/close events of the slave: true when one closed it
    void watch_events(std::vector<uint8_t> &buf);
    void close_all();

    mutable std::mutex mu; // guards prog, stats, session_over_flag
    mutable std::condition_variable cv;
    BootProgram prog;
    Noise noise;
    int idle_reset_ms = 0;
    Stats stats;
    bool session_over_flag = false;
    bool pace = false;
    int latency_ms = 0; // USB adapter's latency timer, 0: none

    int master = -1, slave = -1, watch = -1;
    int wake[2] = {-1, -1};
    std::string path;
    std::thread thread;
    bool running = false;

    int clients = 0; // client open file descriptions of the slave
    std::vector<uint8_t> rx;
    std::vector<uint8_t> rx_bad; // per byte of rx: changed by the line, or after a lost one
    size_t rx_pos = 0;
    double rx_first_seen = 0;
    double rx_last_seen = 0;
    std::vector<uint8_t> noisy;      // scratch for bytes through the noisy line
    double rx_free = 0, tx_free = 0; // when each direction of the line is next free
    std::vector<uint8_t> tx;
};

bool Sim::Impl::open_terminal()
{
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0)
        return false;
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name))
        return false;
    path = name;
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    // Held for the simulator's whole life, so the master never sees a hang-up
    // while the client closes and re-opens the line between tries.
    slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0)
        return false;
    termios t;
    if (tcgetattr(slave, &t) == 0) {
        // No echo of the answers back to the simulator before the client has
        // set the line raw.
        t.c_lflag &= tcflag_t(~(ECHO | ECHONL));
        tcsetattr(slave, TCSANOW, &t);
    }
    watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch < 0 || inotify_add_watch(watch, name, IN_OPEN | IN_CLOSE) < 0)
        return false;
    return pipe2(wake, O_NONBLOCK | O_CLOEXEC) == 0;
}

void Sim::Impl::serve()
{
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL); // this thread's sleeps pace the line
    std::vector<uint8_t> buf(kReadSize);
    for (;;) {
        pollfd fds[3] = {{wake[0], POLLIN, 0}, {watch, POLLIN, 0}, {master, POLLIN, 0}};
        nfds_t n = master >= 0 ? 3 : 2;
        if (poll(fds, n, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[0].revents)
            return;
        // Data first: a client's last frame is handled before its close.
        if (n == 3 && (fds[2].revents & POLLIN))
            read_master(buf);
        else if (n == 3 && fds[2].revents)
            std::this_thread::sleep_for(std::chrono::milliseconds(1)); // no spinning
        if (fds[1].revents & POLLIN)
            watch_events(buf);
    }
}

void Sim::Impl::clear_rx()
{
    rx.clear();
    rx_bad.clear();
    rx_pos = 0;
}

bool Sim::Impl::read_master(std::vector<uint8_t> &buf)
{
    ssize_t k = ::read(master, buf.data(), buf.size());
    if (k <= 0)
        return false;
    double seen = now_seconds();
    // A receiver that forgets a partial frame after a pause.
    if (idle_reset_ms > 0 && rx_pos < rx.size() && (seen - rx_last_seen) * 1e3 >= idle_reset_ms)
        clear_rx();
    rx_last_seen = seen;
    if (rx_pos == rx.size()) {
        clear_rx();
        rx_first_seen = seen;
    }
    if (noise.active()) {
        noisy.clear();
        std::vector<uint8_t> bad;
        {
            std::lock_guard<std::mutex> lock(mu);
            noise.pass(buf.data(), size_t(k), noisy, bad, stats);
        }
        rx.insert(rx.end(), noisy.begin(), noisy.end());
        rx_bad.insert(rx_bad.end(), bad.begin(), bad.end());
    } else {
        rx.insert(rx.end(), buf.begin(), buf.begin() + k);
        rx_bad.resize(rx.size(), 0);
    }
    while (master >= 0 && rx_pos < rx.size()) {
        size_t avail = rx.size() - rx_pos;
        size_t len;
        {
            std::lock_guard<std::mutex> lock(mu);
            len = prog.frame_length(rx.data() + rx_pos, avail);
        }
        if (len == 0 || len > avail)
            break;
        const bool corrupted =
            std::any_of(rx_bad.begin() + long(rx_pos), rx_bad.begin() + long(rx_pos + len),
                        [](uint8_t b) { return b != 0; });
        if (!process(rx.data() + rx_pos, len, corrupted, rx_first_seen, seen)) {
            // Its last byte was lost: the next byte to come completes the frame.
            rx.erase(rx.begin() + long(rx_pos + len - 1));
            rx_bad.erase(rx_bad.begin() + long(rx_pos + len - 1));
            rx_bad[rx_pos] = 1;
            continue;
        }
        rx_pos += len;
        rx_first_seen = seen;
    }
    if (rx_pos > 0 && rx_pos == rx.size())
        clear_rx();
    return true;
}

// False when the frame's last byte was lost on the way (Fault::LoseByte).
bool Sim::Impl::process(const uint8_t *p, size_t n, bool corrupted, double first_seen,
                        double last_seen)
{
    BootProgram::Outcome out;
    uint32_t rate;
    {
        std::lock_guard<std::mutex> lock(mu);
        rate = prog.rate(); // the frame and its answer travel at the rate before it
        const bool sync = !prog.synchronised();
        out = prog.handle(p, n, corrupted);
        if (out.lost_last) {
            stats.bytes_dropped++;
            return false;
        }
        tx = prog.reply();
        // Acted on: answered with anything but a refusal.
        if (corrupted && !sync && !tx.empty() && tx[0] < 0x80)
            stats.unseen_corruptions++;
        stats.bytes_rx += n;
        stats.bytes_tx += tx.size();
        stats.wire_seconds += double(n + tx.size()) * 10.0 / rate;
        stats.busy_seconds += out.busy_seconds;
        stats.programmed_twice = prog.programmed_twice();
        if (noise.active() && !tx.empty()) {
            std::vector<uint8_t> through, bad;
            noise.pass(tx.data(), tx.size(), through, bad, stats);
            tx.swap(through);
        }
    }
    if (out.hang_up) {
        close_fd(master);
        clear_rx();
        return true;
    }
    send(tx, rate, n, out.busy_seconds, out.held_seconds, first_seen, last_seen);
    return true;
}

void Sim::Impl::send(const std::vector<uint8_t> &reply, uint32_t rate, size_t rx_bytes, double busy,
                     double held, double first_seen, double last_seen)
{
    if (!pace && held > 0)
        sleep_until(now_seconds() + held, false);
    busy += held;
    if (!pace) {
        if (latency_ms > 0 && !reply.empty())
            send_through_adapter(reply, now_seconds(), 0);
        else
            write_all(reply.data(), reply.size());
        return;
    }
    // A byte cannot arrive before the client wrote it, nor before the bytes
    // ahead of it have crossed the line. Deadlines are absolute, so a late
    // wake-up is not carried into the next exchange.
    const double bt = 10.0 / rate;
    double rx_start = std::max(rx_free, first_seen);
    rx_free = std::max(rx_start + double(rx_bytes) * bt, last_seen + bt);
    if (reply.empty())
        return;
    double tx_start = std::max(tx_free, rx_free + busy);
    tx_free = tx_start + double(reply.size()) * bt;
    if (latency_ms > 0) {
        send_through_adapter(reply, tx_start, bt);
        return;
    }
    const size_t chunk = std::max<size_t>(1, size_t(kChunkSeconds / bt));
    const size_t m = reply.size();
    for (size_t a = 0; a < m;) {
        size_t b = a + 1 == m ? m : std::min(m - 1, a + chunk);
        sleep_until(tx_start + double(b) * bt, b == m);
        if (!write_all(reply.data() + a, b - a))
            return;
        a = b;
    }
}

// Byte i of the reply reaches the adapter at start + (i + 1) x bt. The adapter
// passes a packet on when it holds kUsbPacket bytes, or when its latency timer
// runs out, latency_ms after the first byte it holds arrived. Nothing is held
// over to the next reply: its last bytes wait for the timer.
void Sim::Impl::send_through_adapter(const std::vector<uint8_t> &reply, double start, double bt)
{
    const double latency = latency_ms * 1e-3;
    auto arrival = [&](size_t i) { return start + double(i + 1) * bt; };
    const size_t m = reply.size();
    for (size_t a = 0; a < m;) {
        const double deadline = arrival(a) + latency;
        size_t b = a + 1;
        while (b < m && b - a < kUsbPacket && arrival(b) <= deadline)
            b++;
        const double when = b - a == kUsbPacket ? arrival(b - 1) : deadline;
        sleep_until(when, true);
        if (!write_all(reply.data() + a, b - a))
            return;
        a = b;
    }
}

bool Sim::Impl::write_all(const uint8_t *p, size_t n)
{
    while (n > 0 && master >= 0) {
        ssize_t k = ::write(master, p, n);
        if (k > 0) {
            p += k;
            n -= size_t(k);
            continue;
        }
        if (k < 0 && errno == EINTR)
            continue;
        if (k < 0 && errno != EAGAIN)
            return false;
        // The client's input queue is full: wait for room, or for stop().
        pollfd fds[2] = {{master, POLLOUT, 0}, {wake[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            return false;
        if (fds[1].revents)
            return false;
    }
    return n == 0;
}

bool Sim::Impl::read_watch()
{
    alignas(inotify_event) char ev[4096];
    bool closed = false;
    for (;;) {
        ssize_t k = ::read(watch, ev, sizeof ev);
        if (k <= 0)
            break;
        for (ssize_t at = 0; at < k;) {
            const auto *e = reinterpret_cast<const inotify_event *>(ev + at);
            if (e->mask & IN_OPEN)
                clients++;
            if (e->mask & IN_CLOSE) {
                clients--;
                closed = true;
            }
            at += ssize_t(sizeof(inotify_event) + e->len);
        }
    }
    return closed;
}

void Sim::Impl::watch_events(std::vector<uint8_t> &buf)
{
    if (!read_watch() || clients > 0)
        return;
    clients = 0;
    // The last client is gone: take what it wrote before closing, then wait
    // for the next synchronisation.
    bool taken = false;
    for (;;) {
        pollfd pfd = {master, POLLIN, 0};
        if (master < 0 || poll(&pfd, 1, 0) <= 0 || !(pfd.revents & POLLIN) || !read_master(buf))
            break;
        taken = true;
    }
    // A client that re-opened the line meanwhile (a retried synchronisation)
    // may have written some of those bytes: its session goes on.
    read_watch();
    if (taken && clients > 0)
        return;
    clients = std::max(clients, 0);
    clear_rx();
    std::lock_guard<std::mutex> lock(mu);
    if (prog.synchronised())
        session_over_flag = true;
    prog.end_session();
    cv.notify_all();
}

void Sim::Impl::close_all()
{
    close_fd(master);
    close_fd(slave);
    close_fd(watch);
    close_fd(wake[0]);
    close_fd(wake[1]);
}

Sim::Sim(Device dev) : impl_(std::make_unique<Impl>(dev)) {}

Sim::~Sim()
{
    stop();
}

void Sim::add_fault(const FaultSpec &f)
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->prog.add_fault(f);
}

void Sim::set_pace(bool on)
{
    impl_->pace = on;
}

void Sim::set_latency(int ms)
{
    impl_->latency_ms = ms;
}

bool Sim::start()
{
    if (impl_->running)
        return true;
    if (!impl_->open_terminal()) {
        impl_->close_all();
        return false;
    }
    impl_->running = true;
    impl_->thread = std::thread([this] { impl_->serve(); });
    return true;
}

const std::string &Sim::slave_path() const
{
    return impl_->path;
}

void Sim::stop()
{
    if (impl_->running) {
        char c = 1;
        ssize_t r = ::write(impl_->wake[1], &c, 1);
        (void)r;
        impl_->thread.join();
        impl_->running = false;
    }
    impl_->close_all();
}

std::vector<std::vector<uint8_t>> Sim::frames() const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->prog.frames();
}

std::set<unsigned> Sim::erased_blocks() const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->prog.erased_blocks();
}

std::set<uint32_t> Sim::programmed_units() const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->prog.programmed_units();
}

std::vector<uint8_t> Sim::flash() const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->prog.flash();
}

std::vector<uint8_t> Sim::initial_flash() const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->prog.initial_flash();
}

uint32_t Sim::current_rate() const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->prog.rate();
}

Stats Sim::stats() const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->stats;
}

bool Sim::session_over() const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->session_over_flag;
}

bool Sim::wait_session_over(int timeout_ms) const
{
    std::unique_lock<std::mutex> lock(impl_->mu);
    return impl_->cv.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                              [this] { return impl_->session_over_flag; });
}

} // namespace bootsim
