// Time and host cost of a whole upgrade: the kestrel binary programs and
// verifies a 512 KiB image on the simulated boot program.
//
//   bench_upgrade [--rows FILE] [--options | --production | --remote] [rate...]
//                                   default rates: 115200 460800 921600
//
// Wire efficiency: with the line paced, the run cannot be shorter than the
// time its bytes need on the line (10 bits each, at the rate in force when
// each crossed) plus the device's modelled erase and programming time, both
// as the simulator counted them. The wall time of the kestrel process is
// compared with that limit, once on idle cores and once with every core kept
// awake by an idle-priority spinner: on a virtual machine an idle core wakes
// late for each answer, which the second run leaves out, so that what remains
// over the limit is the host's own turnaround. The target is judged on it.
//
// Host cost: the same upgrade with an unpaced line, so that the process does
// nothing but its own work; CPU time and peak resident memory come from
// wait4() on the child.
//
// Options: the same upgrade at 115200 baud with -v, with -v --read-size 4096
// and with --sum-check alone, each once on a plain line and once behind a USB
// adapter's 16 ms latency timer (the simulator's --latency): wall time, ratio
// to the line-time limit, and the targets --sum-check <= 0.55 x the -v time and
// --read-size 4096 saving at least a third of the -v time behind the timer.
// --options runs only these; naming rates runs only those rates.
//
// Production runs (--production runs only these): a 512 KiB image of 20 KiB of
// code padded with 0xFF, with and without --skip-blank, at 115200 and 921600
// baud, paced: line bytes and wall time. And kestrel-gang upgrading 4 boards
// against 4 paced simulators at 115200 (the whole random image, no -v), its
// wall time against one board's by kestrel alone (target <= 1.1).
//
// A port on another machine (--remote runs only these): the 512 KiB upgrade
// with -v at 115200, paced, cores awake, through Debian's ser2net on loopback
// (RFC 2217) in front of the simulator's pseudo-terminal, once with the fast
// settings (telnet(rfc2217),tcp(nodelay), chardelay: false) and once with
// ser2net's defaults, against the same upgrade on the pseudo-terminal
// directly. Target: the fast settings at most 1.05 x the direct run; the
// defaults are reported. The same upgrade unpaced, directly and through
// ser2net's fast settings, gives the network path's own cost per exchange.
// Skipped, and said so, when ser2net is not installed.
//
// With --rows, one tab-separated line per figure is appended to FILE
// (measure, value, target, verdict) for the summary table of scripts/bench.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <atomic>
#include <pthread.h>
#include <sched.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "bootsim.h"
#include "ser2net.h"

namespace
{

constexpr uint32_t flash_size = 512 * 1024; // the simulator's default user MAT
constexpr uint32_t flash_unit = 128;
constexpr int cost_runs = 3; // unpaced runs; the cheapest one counts

struct target_t {
    uint32_t rate;
    double max_ratio; // wall time / line-time limit
};
constexpr target_t targets[] = {{115200, 1.02}, {460800, 1.05}, {921600, 1.05}};
constexpr double default_max_ratio = 1.05;
constexpr double max_cpu_seconds = 1.0;
constexpr long max_rss_kib = flash_size / 1024 + 4 * 1024;

FILE *rows = nullptr;
int failures = 0;        // figures that missed their target or runs that failed
bool run_failed = false; // an upgrade failed: its output is kept for a look

void row(const std::string &measure, const std::string &value, const std::string &target, bool ok)
{
    if (!ok)
        ++failures;
    if (rows != nullptr)
        fprintf(rows, "%s\t%s\t%s\t%s\n", measure.c_str(), value.c_str(), target.c_str(),
                ok ? "ok" : "MISSED");
}

std::string fmt(const char *format, double v)
{
    char buf[64];
    snprintf(buf, sizeof buf, format, v);
    return buf;
}

// Pseudo-random bytes, none of them left at 0xFF by chance in a whole unit.
std::vector<uint8_t> make_data()
{
    std::vector<uint8_t> data(flash_size);
    uint32_t x = 0x9E3779B9u;
    for (auto &b : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return data;
}

// An S0 header, S2 records of 32 data bytes (the usual shape of a linker's
// output) and an S8 end record.
std::string make_srec(const std::vector<uint8_t> &data)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    // Hex digits are appended as they are summed: g++ 12 at -O3 warns falsely
    // about a byte vector built here.
    auto record = [&](char type, uint32_t address, unsigned address_bytes, const uint8_t *p,
                      unsigned n) {
        unsigned sum = 0;
        auto put = [&](unsigned b) {
            b &= 0xFF;
            sum += b;
            out += hex[b >> 4];
            out += hex[b & 15];
        };
        out += 'S';
        out += type;
        put(address_bytes + n + 1);
        for (unsigned k = address_bytes; k-- > 0;)
            put(address >> (8 * k));
        for (unsigned i = 0; i < n; ++i)
            put(p[i]);
        put(~sum);
        out += "\r\n";
    };
    record('0', 0, 2, reinterpret_cast<const uint8_t *>("bench"), 5);
    for (uint32_t a = 0; a < data.size(); a += 32)
        record('2', a, 3, data.data() + a,
               std::min<uint32_t>(32, static_cast<uint32_t>(data.size()) - a));
    record('8', 0, 3, nullptr, 0);
    return out;
}

struct run_t {
    bool ok = false;
    double wall = 0;        // seconds from spawning the process to reaping it
    double cpu = 0;         // user + system seconds of the process
    long maxrss_kib = 0;    // peak resident set
    long voluntary = 0;     // context switches: waits for the line
    double others_load = 0; // cores kept busy by other processes meanwhile
    bootsim::Stats stats;
    std::string why; // when !ok
};

double seconds(const timeval &tv)
{
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
}

// Busy CPU seconds of the whole machine so far, all cores together.
double machine_busy_seconds()
{
    std::ifstream in("/proc/stat");
    std::string cpu;
    unsigned long long v[8] = {};
    in >> cpu;
    for (auto &x : v)
        in >> x;
    const double hz = static_cast<double>(sysconf(_SC_CLK_TCK));
    // user nice system idle iowait irq softirq steal: all but idle and iowait
    return static_cast<double>(v[0] + v[1] + v[2] + v[5] + v[6] + v[7]) / hz;
}

double own_cpu_seconds()
{
    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    return static_cast<double>(self.ru_utime.tv_sec + self.ru_stime.tv_sec) +
           static_cast<double>(self.ru_utime.tv_usec + self.ru_stime.tv_usec) * 1e-6;
}

struct child_t {
    bool started = false;
    int status = 0;    // as from waitpid
    double wall = 0;   // seconds from fork to reaping
    rusage ru{};       // of the child
    long hwm_kib = -1; // the program's own peak RSS, -1 when it could not be read
};

long status_kib(pid_t pid, const char *key)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const size_t n = strlen(key);
    while (std::getline(in, line))
        if (line.compare(0, n, key) == 0)
            return std::strtol(line.c_str() + n, nullptr, 10);
    return -1;
}

// Runs args[0] with standard output and error to out_path and waits for it.
//
// The peak resident memory is read from the program itself (VmHWM) while it
// is held at its exit by ptrace. wait4's ru_maxrss cannot be used alone: exec
// folds the peak of the address space it replaces into it, and that is this
// benchmark's (the simulator, its flash and every frame it keeps), not the
// program's. When tracing is not permitted, ru_maxrss is what remains.
child_t run_child(const std::vector<std::string> &args, const std::string &out_path)
{
    child_t c;
    std::vector<char *> argv;
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    int report[2]; // closed by exec; a byte on it means "not traced"
    if (pipe2(report, O_CLOEXEC) != 0)
        return c;

    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0)
        return c;
    if (pid == 0) {
        // Only async-signal-safe calls: the parent has other threads.
        close(report[0]);
        int in = open("/dev/null", O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0)
            _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
            const char no = 'n';
            ssize_t ignored = write(report[1], &no, 1);
            (void)ignored;
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(report[1]);
    char byte;
    const bool traced = read(report[0], &byte, 1) == 0;
    close(report[0]);
    c.started = true;

    int status = 0;
    for (;;) {
        if (wait4(pid, &status, 0, &c.ru) < 0) {
            if (errno == EINTR)
                continue;
            c.started = false;
            return c;
        }
        if (!WIFSTOPPED(status))
            break;
        const int sig = WSTOPSIG(status);
        const int event = status >> 16;
        long resume = 0;
        if (sig == SIGTRAP && event == 0 && traced) {
            // Stopped after exec: from here on, stop again only at exit.
            ptrace(PTRACE_SETOPTIONS, pid, nullptr,
                   reinterpret_cast<void *>(PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL));
        } else if (sig == SIGTRAP && event == PTRACE_EVENT_EXIT) {
            c.hwm_kib = status_kib(pid, "VmHWM:");
        } else {
            resume = sig; // a signal of its own: deliver it
        }
        ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void *>(resume));
    }
    c.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    c.status = status;
    return c;
}

// How kestrel reaches the simulator: its pseudo-terminal, or ser2net in
// front of it with one of two configurations.
enum class path_e { direct, ser2net_fast, ser2net_defaults };

// One upgrade of image (with -v) at rate on a fresh simulator; the program's
// output goes to out_path.
run_t upgrade(const std::string &image, const std::vector<uint8_t> &data, uint32_t rate, bool pace,
              const std::string &out_path, const std::vector<std::string> &options = {"-v"},
              int latency_ms = 0, path_e path = path_e::direct)
{
    run_t res;
    bootsim::Sim sim;
    sim.set_pace(pace);
    sim.set_latency(latency_ms);
    if (!sim.start()) {
        res.why = "simulator did not start";
        return res;
    }
    std::string port = sim.slave_path() + ":" + std::to_string(rate);
    testser2net::Server server;
    if (path != path_e::direct) {
        const std::string dir = out_path.substr(0, out_path.rfind('/'));
        if (!server.start(sim.slave_path(), dir,
                          path == path_e::ser2net_fast ? testser2net::Settings::Fast
                                                       : testser2net::Settings::Defaults)) {
            res.why = "ser2net did not start: " + server.log();
            return res;
        }
        port = server.url(std::to_string(rate));
    }
    std::vector<std::string> args = {KESTREL_BIN, "-s", port, "-i", image};
    args.insert(args.end(), options.begin(), options.end());
    const double busy0 = machine_busy_seconds(), own0 = own_cpu_seconds();
    const child_t c = run_child(args, out_path);
    if (!c.started) {
        res.why = "cannot run kestrel";
        return res;
    }
    const int status = c.status;
    res.wall = c.wall;
    res.cpu = seconds(c.ru.ru_utime) + seconds(c.ru.ru_stime);
    res.maxrss_kib = c.hwm_kib >= 0 ? c.hwm_kib : c.ru.ru_maxrss;
    res.voluntary = c.ru.ru_nvcsw;
    // What other processes took while this one ran: the figures are only
    // meaningful on a machine that is otherwise quiet.
    const double others = machine_busy_seconds() - busy0 - (own_cpu_seconds() - own0) - res.cpu;
    res.others_load = std::max(0.0, others) / std::max(res.wall, 1e-3);
    res.stats = sim.stats();
    const std::vector<uint8_t> flash = sim.flash();
    server.stop();
    sim.stop();

    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        res.why = "kestrel failed (exit status " + std::to_string(WEXITSTATUS(status)) +
                  "), output in " + out_path;
    else if (flash != data)
        res.why = "the flash does not hold the image";
    else
        res.ok = true;
    return res;
}

double max_ratio_for(uint32_t rate)
{
    for (const auto &t : targets)
        if (t.rate == rate)
            return t.max_ratio;
    return default_max_ratio;
}

// Keeps every core out of its idle state while alive: one SCHED_IDLE thread
// per core that spins, and so runs only when nothing else wants the core. On
// this virtual machine a core that has gone idle takes a few hundred
// microseconds to wake for the next byte, once per exchange; with the cores
// awake, what is left over the line time is the host's own turnaround.
class awake_cores_t
{
  public:
    awake_cores_t()
    {
        const long n = sysconf(_SC_NPROCESSORS_ONLN);
        for (long i = 0; i < n; ++i)
            threads.emplace_back([this] {
                sched_param sp{};
                pthread_setschedparam(pthread_self(), SCHED_IDLE, &sp);
                while (!stop.load(std::memory_order_relaxed)) {
                }
            });
    }
    ~awake_cores_t()
    {
        stop = true;
        for (auto &t : threads)
            t.join();
    }
    awake_cores_t(const awake_cores_t &) = delete;
    awake_cores_t &operator=(const awake_cores_t &) = delete;

  private:
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
};

// unpaced_wall: the wall time of the same upgrade without pacing, which holds
// everything but the line: kestrel, the simulator and the kernel between them.
// awake: with the cores kept out of idle (the figure the target is judged on);
// otherwise the same run on idle cores, for information.
void wire_efficiency(const std::string &image, const std::vector<uint8_t> &data,
                     const std::string &dir, uint32_t rate, double unpaced_wall, bool awake)
{
    run_t r;
    if (awake) {
        awake_cores_t cores;
        r = upgrade(image, data, rate, true, dir + "/paced.out");
    } else {
        r = upgrade(image, data, rate, true, dir + "/paced.out");
    }
    const std::string name = "upgrade " + std::to_string(rate) + " baud, 512 KiB, -v" +
                             (awake ? ", cores awake" : ", cores idle");
    if (!r.ok) {
        printf("%s: FAILED: %s\n", name.c_str(), r.why.c_str());
        run_failed = true;
        row(name, "failed", "", false);
        return;
    }
    const double limit = r.stats.wire_seconds + r.stats.busy_seconds;
    const double ratio = r.wall / limit;
    const double max = max_ratio_for(rate);
    const uint64_t exchanges = 2 * (flash_size / flash_unit); // one program, one read per unit
    printf("%s\n", name.c_str());
    printf("  bytes to device %llu, from device %llu\n",
           static_cast<unsigned long long>(r.stats.bytes_rx),
           static_cast<unsigned long long>(r.stats.bytes_tx));
    printf("  line time %.3f s + busy time %.3f s = limit %.3f s\n", r.stats.wire_seconds,
           r.stats.busy_seconds, limit);
    printf("  wall time %.3f s, ratio %.4f (target <= %.2f)\n", r.wall, ratio, max);
    printf("  over the limit: %.3f s, %.1f us per page exchange; kestrel CPU %.3f s, "
           "%ld waits\n",
           r.wall - limit, (r.wall - limit) / static_cast<double>(exchanges) * 1e6, r.cpu,
           r.voluntary);
    printf("  other processes kept %.2f of %ld cores busy meanwhile%s\n", r.others_load,
           sysconf(_SC_NPROCESSORS_ONLN), r.others_load > 0.2 ? ": the machine was NOT quiet" : "");
    const bool others = r.others_load > 0.2;
    row(name + ": wall time", fmt("%.2f s", r.wall), "", true);
    row(name + ": line-time limit", fmt("%.2f s", limit), "", true);
    if (awake)
        row(name + ": wall / limit", fmt("%.4f", ratio) + (others ? " (busy machine)" : ""),
            fmt("<= %.2f", max), ratio <= max);
    else
        row(name + ": wall / limit", fmt("%.4f", ratio) + (others ? " (busy machine)" : ""), "",
            true);
    if (unpaced_wall > 0 && awake) {
        // Were every paced answer on time and every wake-up prompt, the run
        // would take its line time plus the unpaced run's work.
        const double expected = 1 + unpaced_wall / limit;
        printf("  with exact pacing: limit + unpaced wall time = ratio %.4f\n", expected);
        row(name + ": (limit + unpaced wall) / limit", fmt("%.4f", expected), "", true);
    }
}

// The machine's own share of every exchange: one byte there and back over
// a fresh pseudo-terminal between two threads, as the simulator and kestrel
// pass it. Each paced exchange pays at least this on top of its line time.
// Median and mean in seconds; both -1 when no terminal could be had.
std::pair<double, double> pty_round_trip()
{
    constexpr int trips = 2000;
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return {-1, -1};
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    if (slave < 0) {
        close(master);
        return {-1, -1};
    }
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    std::thread echo([master] {
        uint8_t b;
        for (int i = 0; i < trips; ++i)
            if (read(master, &b, 1) != 1 || write(master, &b, 1) != 1)
                return;
    });
    std::vector<double> times;
    uint8_t b = 0x55;
    for (int i = 0; i < trips; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        if (write(slave, &b, 1) != 1 || read(slave, &b, 1) != 1)
            break;
        times.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    close(slave); // ends the echo thread's read if the loop broke off
    echo.join();
    close(master);
    if (times.empty())
        return {-1, -1};
    double sum = 0;
    for (double x : times)
        sum += x;
    std::sort(times.begin(), times.end());
    return {times[times.size() / 2], sum / static_cast<double>(times.size())};
}

// Returns the best unpaced wall time, or -1.
double host_cost(const std::string &image, const std::vector<uint8_t> &data, const std::string &dir)
{
    // The rate only matters to a paced line; the fastest one keeps the
    // simulator's own share small.
    run_t best;
    for (int i = 0; i < cost_runs; ++i) {
        run_t r = upgrade(image, data, 460800, false, dir + "/unpaced.out");
        if (!r.ok) {
            printf("unpaced upgrade: FAILED: %s\n", r.why.c_str());
            run_failed = true;
            row("host cost, unpaced upgrade", "failed", "", false);
            return -1;
        }
        if (i == 0 || r.cpu < best.cpu)
            best.cpu = r.cpu;
        if (i == 0 || r.wall < best.wall)
            best.wall = r.wall;
        best.maxrss_kib = std::max(best.maxrss_kib, r.maxrss_kib);
    }
    const double per_kib = best.cpu / (flash_size / 1024.0);
    printf("unpaced upgrade, 512 KiB, -v (best of %d)\n", cost_runs);
    printf("  wall %.3f s, kestrel CPU (user + system) %.3f s, %.2f us per KiB programmed\n",
           best.wall, best.cpu, per_kib * 1e6);
    printf("  peak RSS %ld KiB (target < flash + 4 MiB = %ld KiB)\n", best.maxrss_kib, max_rss_kib);
    row("host: kestrel CPU, unpaced upgrade", fmt("%.3f s", best.cpu),
        fmt("< %.0f s", max_cpu_seconds), best.cpu < max_cpu_seconds);
    row("host: CPU per KiB programmed", fmt("%.1f us", per_kib * 1e6), "", true);
    row("host: kestrel peak RSS", std::to_string(best.maxrss_kib) + " KiB",
        "< " + std::to_string(max_rss_kib) + " KiB", best.maxrss_kib < max_rss_kib);
    return best.wall;
}

struct option_run_t {
    const char *label;
    std::vector<std::string> options;
};

constexpr uint32_t options_rate = 115200;
constexpr int adapter_latency_ms = 16; // the usual default of USB serial adapters
constexpr double max_sum_check_share = 0.55;
constexpr double min_read_size_saving = 1.0 / 3;

// The three ways to check an upgrade, on a plain line and behind the latency
// timer, all paced with the cores kept awake.
void option_comparison(const std::string &image, const std::vector<uint8_t> &data,
                       const std::string &dir)
{
    const option_run_t runs[] = {{"-v", {"-v"}},
                                 {"-v --read-size 4096", {"-v", "--read-size", "4096"}},
                                 {"--sum-check", {"--sum-check"}}};
    for (int latency : {0, adapter_latency_ms}) {
        double wall[3] = {};
        bool all_ok = true;
        for (size_t i = 0; i < 3; ++i) {
            run_t r;
            {
                awake_cores_t cores;
                r = upgrade(image, data, options_rate, true, dir + "/paced.out", runs[i].options,
                            latency);
            }
            const std::string name =
                "upgrade " + std::to_string(options_rate) + " baud, 512 KiB, " + runs[i].label +
                (latency > 0 ? ", latency " + std::to_string(latency) + " ms" : "");
            if (!r.ok) {
                printf("%s: FAILED: %s\n", name.c_str(), r.why.c_str());
                run_failed = true;
                all_ok = false;
                row(name, "failed", "", false);
                continue;
            }
            wall[i] = r.wall;
            const double limit = r.stats.wire_seconds + r.stats.busy_seconds;
            const bool others = r.others_load > 0.2;
            printf("%s\n  bytes to device %llu, from device %llu; limit %.3f s, wall %.3f s, "
                   "ratio %.4f; other processes kept %.2f cores busy%s\n",
                   name.c_str(), static_cast<unsigned long long>(r.stats.bytes_rx),
                   static_cast<unsigned long long>(r.stats.bytes_tx), limit, r.wall, r.wall / limit,
                   r.others_load, others ? ": the machine was NOT quiet" : "");
            row(name + ": wall time", fmt("%.2f s", r.wall), "", true);
            row(name + ": wall / limit", fmt("%.4f", r.wall / limit) + (others ? " (busy)" : ""),
                "", true);
        }
        if (!all_ok)
            continue;
        const std::string suffix =
            latency > 0 ? ", latency " + std::to_string(latency) + " ms" : "";
        const double share = wall[2] / wall[0];
        printf("  --sum-check takes %.3f of the -v time%s (target <= %.2f)\n", share,
               suffix.c_str(), max_sum_check_share);
        row("--sum-check time / -v time" + suffix, fmt("%.3f", share),
            fmt("<= %.2f", max_sum_check_share), share <= max_sum_check_share);
        const double saving = 1 - wall[1] / wall[0];
        printf("  --read-size 4096 saves %.3f of the -v time%s\n", saving, suffix.c_str());
        if (latency > 0)
            row("--read-size 4096 saving of the -v time" + suffix, fmt("%.3f", saving),
                fmt(">= %.3f", min_read_size_saving), saving >= min_read_size_saving);
        else
            row("--read-size 4096 saving of the -v time" + suffix, fmt("%.3f", saving), "", true);
    }
}

constexpr double max_remote_ratio = 1.05;

// The same paced upgrade directly and through ser2net, fast and with its
// defaults, cores awake.
void remote_runs(const std::string &image, const std::vector<uint8_t> &data, const std::string &dir)
{
    const std::string missing = testser2net::missing();
    if (!missing.empty()) {
        printf("port on another machine: skipped, %s\n", missing.c_str());
        row("ser2net, 115200 baud, 512 KiB, -v", "skipped: " + missing, "", true);
        return;
    }
    struct remote_row_t {
        path_e path;
        const char *label;
    };
    const remote_row_t runs[] = {{path_e::direct, "pseudo-terminal directly"},
                                 {path_e::ser2net_fast, "ser2net, fast settings"},
                                 {path_e::ser2net_defaults, "ser2net, its defaults"}};
    // Unpaced, best of cost_runs each: what the network path itself costs per
    // exchange, apart from the line time and from how the load falls on the
    // paced runs.
    double unpaced[2] = {};
    for (size_t i = 0; i < 2; ++i)
        for (int k = 0; k < cost_runs; ++k) {
            const run_t r = upgrade(image, data, options_rate, false, dir + "/unpaced.out", {"-v"},
                                    0, runs[i].path);
            if (!r.ok) {
                printf("unpaced upgrade, %s: FAILED: %s\n", runs[i].label, r.why.c_str());
                run_failed = true;
                row(std::string("unpaced upgrade, ") + runs[i].label, "failed", "", false);
                return;
            }
            if (k == 0 || r.wall < unpaced[i])
                unpaced[i] = r.wall;
        }
    const double per_exchange = (unpaced[1] - unpaced[0]) / (2.0 * (flash_size / flash_unit));
    printf("unpaced upgrade, 512 KiB, -v (best of %d): directly %.3f s, through ser2net (fast) "
           "%.3f s: %.1f us more per exchange\n",
           cost_runs, unpaced[0], unpaced[1], per_exchange * 1e6);
    row("unpaced 512 KiB -v, pseudo-terminal directly: wall time", fmt("%.3f s", unpaced[0]), "",
        true);
    row("unpaced 512 KiB -v, ser2net fast settings: wall time", fmt("%.3f s", unpaced[1]), "",
        true);
    row("ser2net fast settings: cost per exchange", fmt("%.1f us", per_exchange * 1e6), "", true);
    double direct = 0;
    for (const remote_row_t &run : runs) {
        run_t r;
        {
            awake_cores_t cores;
            r = upgrade(image, data, options_rate, true, dir + "/paced.out", {"-v"}, 0, run.path);
        }
        const std::string name =
            "upgrade " + std::to_string(options_rate) + " baud, 512 KiB, -v, " + run.label;
        if (!r.ok) {
            printf("%s: FAILED: %s\n", name.c_str(), r.why.c_str());
            run_failed = true;
            row(name, "failed", "", false);
            return;
        }
        const double limit = r.stats.wire_seconds + r.stats.busy_seconds;
        printf("%s\n  limit %.3f s, wall %.3f s, ratio %.4f; other processes (ser2net "
               "included) kept %.2f cores busy\n",
               name.c_str(), limit, r.wall, r.wall / limit, r.others_load);
        row(name + ": wall time", fmt("%.2f s", r.wall), "", true);
        if (run.path == path_e::direct) {
            direct = r.wall;
            continue;
        }
        const double ratio = r.wall / direct;
        const bool fast = run.path == path_e::ser2net_fast;
        printf("  %.4f x the direct run%s\n", ratio,
               fast ? fmt(" (target <= %.2f)", max_remote_ratio).c_str() : "");
        if (fast) {
            // The direct run plus what the network path costs unpaced.
            const double expected = (direct + unpaced[1] - unpaced[0]) / direct;
            printf("  direct run + unpaced difference: %.4f x the direct run\n", expected);
            row(name + ": (direct + unpaced difference) / direct", fmt("%.4f", expected), "", true);
        }
        row(name + ": wall / direct", fmt("%.4f", ratio),
            fast ? fmt("<= %.2f", max_remote_ratio) : "", !fast || ratio <= max_remote_ratio);
    }
}

constexpr uint32_t padded_code = 20 * 1024;
constexpr double max_gang_ratio = 1.1;
constexpr int gang_boards = 4;

void production_runs(const std::vector<uint8_t> &random_data, const std::string &random_image,
                     const std::string &dir)
{
    std::vector<uint8_t> padded(flash_size, 0xFF);
    std::copy(random_data.begin(), random_data.begin() + padded_code, padded.begin());
    const std::string padded_image = dir + "/padded.bin";
    std::ofstream(padded_image, std::ios::binary)
        .write(reinterpret_cast<const char *>(padded.data()),
               static_cast<std::streamsize>(padded.size()));
    for (uint32_t rate : {115200u, 921600u}) {
        double wall[2] = {};
        for (int skip = 0; skip < 2; ++skip) {
            run_t r;
            {
                awake_cores_t cores;
                r = upgrade(padded_image + ",0", padded, rate, true, dir + "/paced.out",
                            skip != 0 ? std::vector<std::string>{"--skip-blank"}
                                      : std::vector<std::string>{});
            }
            const std::string name = "padded 20 KiB in 512 KiB, " + std::to_string(rate) + " baud" +
                                     (skip != 0 ? ", --skip-blank" : "");
            if (!r.ok) {
                printf("%s: FAILED: %s\n", name.c_str(), r.why.c_str());
                run_failed = true;
                row(name, "failed", "", false);
                continue;
            }
            wall[skip] = r.wall;
            const uint64_t bytes = r.stats.bytes_rx + r.stats.bytes_tx;
            printf("%s\n  line bytes %llu (to device %llu), wall %.3f s\n", name.c_str(),
                   static_cast<unsigned long long>(bytes),
                   static_cast<unsigned long long>(r.stats.bytes_rx), r.wall);
            row(name + ": line bytes", std::to_string(bytes), "", true);
            row(name + ": wall time", fmt("%.2f s", r.wall), "", true);
        }
        if (wall[0] > 0 && wall[1] > 0)
            row("padded image, " + std::to_string(rate) + " baud: --skip-blank time / plain",
                fmt("%.3f", wall[1] / wall[0]), "", true);
    }

    // One board by kestrel alone, then four at once by kestrel-gang.
    run_t one;
    {
        awake_cores_t cores;
        one = upgrade(random_image, random_data, options_rate, true, dir + "/paced.out", {});
    }
    if (!one.ok) {
        printf("one board: FAILED: %s\n", one.why.c_str());
        run_failed = true;
        row("kestrel-gang: one board", "failed", "", false);
        return;
    }
    std::vector<std::unique_ptr<bootsim::Sim>> sims;
    std::vector<std::string> args = {GANG_BIN, "--logs", dir + "/logs"};
    for (int i = 0; i < gang_boards; ++i) {
        sims.push_back(std::make_unique<bootsim::Sim>());
        sims.back()->set_pace(true);
        if (!sims.back()->start()) {
            row("kestrel-gang", "simulator did not start", "", false);
            return;
        }
        args.push_back(sims.back()->slave_path() + ":" + std::to_string(options_rate));
    }
    args.insert(args.end(), {"--", "-i", random_image});
    child_t c;
    {
        awake_cores_t cores;
        c = run_child(args, dir + "/gang.out");
    }
    bool all_right = c.started && WIFEXITED(c.status) && WEXITSTATUS(c.status) == 0;
    for (auto &sim : sims) {
        all_right = all_right && sim->flash() == random_data;
        sim->stop();
    }
    const std::string name =
        "kestrel-gang, 4 boards, " + std::to_string(options_rate) + " baud, 512 KiB";
    if (!all_right) {
        printf("%s: FAILED, output in %s/gang.out\n", name.c_str(), dir.c_str());
        run_failed = true;
        row(name, "failed", "", false);
        return;
    }
    const double ratio = c.wall / one.wall;
    printf("%s\n  wall %.3f s, one board by kestrel %.3f s, ratio %.4f (target <= %.1f)\n",
           name.c_str(), c.wall, one.wall, ratio, max_gang_ratio);
    row("one board by kestrel, 115200 baud, 512 KiB: wall time", fmt("%.2f s", one.wall), "", true);
    row(name + ": wall time", fmt("%.2f s", c.wall), "", true);
    row(name + ": wall / one board's", fmt("%.4f", ratio), fmt("<= %.1f", max_gang_ratio),
        ratio <= max_gang_ratio);
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    std::vector<uint32_t> rates;
    bool options_only = false;
    bool production_only = false;
    bool remote_only = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--options") == 0) {
            options_only = true;
        } else if (strcmp(argv[i], "--remote") == 0) {
            remote_only = true;
        } else if (strcmp(argv[i], "--production") == 0) {
            production_only = true;
        } else if (strcmp(argv[i], "--rows") == 0 && i + 1 < argc) {
            rows = fopen(argv[++i], "a");
            if (rows == nullptr) {
                perror(argv[i]);
                return 1;
            }
        } else {
            rates.push_back(static_cast<uint32_t>(strtoul(argv[i], nullptr, 10)));
        }
    }
    // Named rates: only those; none: every rate and the options.
    const bool compare_options = options_only || rates.empty();
    if (rates.empty() && !options_only)
        for (const auto &t : targets)
            rates.push_back(t.rate);

    char dir_template[] = "/tmp/kestrel-bench-XXXXXX";
    const char *dir = mkdtemp(dir_template);
    if (dir == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    const std::vector<uint8_t> data = make_data();
    const std::string image = std::string(dir) + "/fw.mot";
    std::ofstream(image, std::ios::binary) << make_srec(data);

    if (production_only || remote_only) {
        if (production_only)
            production_runs(data, image, dir);
        if (remote_only)
            remote_runs(image, data, dir);
        if (rows != nullptr)
            fclose(rows);
        return failures == 0 ? 0 : 1;
    }

    const auto [rtt_median, rtt_mean] = pty_round_trip();
    printf("pseudo-terminal round trip of one byte: median %.1f us, mean %.1f us\n",
           rtt_median * 1e6, rtt_mean * 1e6);
    row("machine: pty round trip, median / mean",
        fmt("%.0f", rtt_median * 1e6) + " / " + fmt("%.0f us", rtt_mean * 1e6), "", true);
    const double unpaced_wall = options_only ? -1 : host_cost(image, data, dir);
    for (uint32_t rate : rates) {
        wire_efficiency(image, data, dir, rate, unpaced_wall, false);
        wire_efficiency(image, data, dir, rate, unpaced_wall, true);
    }
    if (compare_options) {
        option_comparison(image, data, dir);
        production_runs(data, image, dir);
        remote_runs(image, data, dir);
    }

    if (!run_failed) {
        for (const char *f : {"/fw.mot", "/paced.out", "/unpaced.out"})
            unlink((std::string(dir) + f).c_str());
        rmdir(dir);
    }
    if (rows != nullptr)
        fclose(rows);
    return failures == 0 ? 0 : 1;
}
