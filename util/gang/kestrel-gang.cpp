// kestrel-gang: upgrades several boards at once, one kestrel process per
// port. It follows each run through kestrel's record (--events on a pipe),
// shows one status line per port, forwards SIGINT and SIGTERM to the runs so
// that they stop cleanly, and ends with one table row per port.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "gang-record.h"
#include "kestrel-exit.h"
#include "kestrel-json.h"

#ifndef KESTREL_VERSION
#define KESTREL_VERSION "unknown"
#endif

namespace
{

constexpr int STATUS_NOT_STARTED = 127; // kestrel could not be started
constexpr int CHILD_EVENTS_FD = 3;      // the record's descriptor in each kestrel
constexpr int POLL_MS = 100;            // how often finished runs are looked for
constexpr const char *DEFAULT_LOGS = "kestrel-gang-logs";

const char usage_text[] =
    "Usage: kestrel-gang [--jobs N] [--results FILE] [--logs DIR] PORT[:RATE]... -- "
    "KESTREL-OPTIONS...\n"
    "Runs kestrel -s PORT[:RATE] KESTREL-OPTIONS... for every port at once.\n"
    " --jobs: at most N kestrel processes at a time (default: all)\n"
    " --results: one JSON result object per port to FILE\n"
    " --logs: directory of the per-port logs (default: kestrel-gang-logs)\n"
    " --version: print the version\n";

// One board: its kestrel process and what its record said so far.
struct board_t : run_view_t {
    std::string port;    // PORT[:RATE] as given
    pid_t pid = -1;      // running kestrel, -1 before and after
    int events = -1;     // read end of its record, -1 when closed
    std::string pending; // the record's unfinished line
    int status = -1;     // exit status, -1 while not known
    bool started = false;
    timespec t0{}, t1{};
};

std::vector<board_t> boards;
volatile sig_atomic_t received = 0;
bool tty = false;
int lines_shown = 0; // status lines on the terminal

void on_signal(int signo)
{
    if (received == 0)
        received = signo;
}

double seconds_between(const timespec &a, const timespec &b)
{
    return static_cast<double>(b.tv_sec - a.tv_sec) +
           static_cast<double>(b.tv_nsec - a.tv_nsec) / 1e9;
}

std::string status_line(const board_t &b)
{
    // Built by appending: g++ 12 at -O3 misreads "text" + string as overlapping copies.
    std::string s = b.port;
    s += "  ";
    s += b.stage;
    if (b.percent >= 0) {
        s += ' ';
        s += std::to_string(b.percent);
        s += '%';
    }
    if (b.recoveries != 0) {
        s += "  recoveries: ";
        s += std::to_string(b.recoveries);
    }
    if (b.status == 0) {
        s += "  done";
    } else if (b.status > 0) {
        s += "  failed, status ";
        s += std::to_string(b.status);
    }
    return s;
}

// Rewrites every port's line in place (terminal only).
void redraw()
{
    if (!tty)
        return;
    if (lines_shown > 0)
        printf("\x1b[%dA", lines_shown);
    for (const board_t &b : boards)
        printf("\r\x1b[K%s\n", status_line(b).c_str());
    lines_shown = static_cast<int>(boards.size());
    fflush(stdout);
}

// Takes one line of a board's record.
void take_event(board_t &b, const std::string &line)
{
    if (take_record_line(b, line) && !tty)
        printf("%s: %s\n", b.port.c_str(), b.stage.c_str());
}

// Reads what a board's record has; closes it at its end.
void read_events(board_t &b)
{
    char buf[4096];
    const ssize_t r = read(b.events, buf, sizeof buf);
    if (r < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (r <= 0) {
        close(b.events);
        b.events = -1;
        return;
    }
    b.pending.append(buf, static_cast<size_t>(r));
    size_t nl = 0;
    while ((nl = b.pending.find('\n')) != std::string::npos) {
        take_event(b, b.pending.substr(0, nl));
        b.pending.erase(0, nl + 1);
    }
}

// The kestrel beside this program, else the one on PATH.
std::string kestrel_path()
{
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        char *slash = strrchr(self, '/');
        if (slash != nullptr) {
            std::string beside = std::string(self, static_cast<size_t>(slash - self)) + "/kestrel";
            if (access(beside.c_str(), X_OK) == 0)
                return beside;
        }
    }
    return "kestrel";
}

// The log file of a port: its path with '/' as '_', leading ones dropped.
std::string log_name(const std::string &logs, const std::string &port)
{
    std::string name = port.substr(0, port.find(':'));
    std::replace(name.begin(), name.end(), '/', '_');
    name.erase(0, name.find_first_not_of('_'));
    std::string path = logs;
    path += '/';
    path += name.empty() ? std::string("port") : name;
    path += ".log";
    return path;
}

// Starts kestrel for one board; a board that cannot be started ends with 127.
void start_board(board_t &b, const std::string &kestrel, const std::vector<std::string> &options,
                 const std::string &logs)
{
    b.started = true;
    clock_gettime(CLOCK_MONOTONIC, &b.t0);
    b.t1 = b.t0;
    int p[2];
    const int log = open(log_name(logs, b.port).c_str(),
                         O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
    if (log < 0 || pipe2(p, O_CLOEXEC) != 0) {
        fprintf(stderr, "kestrel-gang: %s: %s\n", b.port.c_str(), strerror(errno));
        if (log >= 0)
            close(log);
        b.status = STATUS_NOT_STARTED;
        return;
    }
    // The write end above the descriptor it becomes, so that the dup in the
    // child always clears its close-on-exec flag.
    const int w = fcntl(p[1], F_DUPFD_CLOEXEC, CHILD_EVENTS_FD + 1);
    close(p[1]);

    std::vector<std::string> args = {kestrel, "-s", b.port};
    args.insert(args.end(), options.begin(), options.end());
    args.emplace_back("--events");
    args.emplace_back("fd:");
    args.back() += std::to_string(CHILD_EVENTS_FD);
    std::vector<char *> argv(args.size() + 1, nullptr);
    std::transform(args.begin(), args.end(), argv.begin(), [](std::string &a) { return a.data(); });

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, log, 1);
    posix_spawn_file_actions_adddup2(&fa, log, 2);
    posix_spawn_file_actions_adddup2(&fa, w, CHILD_EVENTS_FD);
    // The child starts with the default actions for the signals this program catches.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    const int rc = posix_spawnp(&b.pid, kestrel.c_str(), &fa, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    close(w);
    close(log);
    if (rc != 0) {
        fprintf(stderr, "kestrel-gang: cannot start %s: %s\n", kestrel.c_str(), strerror(rc));
        close(p[0]);
        b.pid = -1;
        b.status = STATUS_NOT_STARTED;
        return;
    }
    b.events = p[0];
    b.stage = "start";
}

// The result object of a board for --results: kestrel's own with the port
// added, or one made here when kestrel wrote none.
std::string result_object(const board_t &b)
{
    std::string out = "{\"port\":";
    json_append_string(out, b.port.c_str());
    if (!b.result.empty() && b.result.front() == '{') {
        out += ',';
        out.append(b.result, 1);
        return out;
    }
    out.erase(0, 1); // the port field alone, without the brace
    return fallback_result(out, b.status, seconds_between(b.t0, b.t1));
}

void print_table()
{
    size_t w = 4;
    for (const board_t &b : boards)
        w = std::max(w, b.port.size());
    printf("\n%-*s  %6s  %-12s  %-6s  %8s  %s\n", static_cast<int>(w), "PORT", "STATUS",
           "FAILED STAGE", "DEVICE", "SECONDS", "SUM");
    for (const board_t &b : boards) {
        const std::string failed = result_failed_stage(b.result);
        const std::string sum = result_device_sum(b.result);
        printf("%-*s  %6d  %-12s  %-6s  %8.1f  %s\n", static_cast<int>(w), b.port.c_str(), b.status,
               failed.empty() ? "-" : failed.c_str(), b.code.empty() ? "-" : b.code.c_str(),
               seconds_between(b.t0, b.t1), sum.empty() ? "-" : sum.c_str());
    }
}

int usage_error(const char *what, const char *arg)
{
    fprintf(stderr, "kestrel-gang: %s%s%s\n%s", what, arg != nullptr ? ": " : "",
            arg != nullptr ? arg : "", usage_text);
    return 2;
}

// What the command line asks for.
struct gang_options_t {
    size_t jobs = 0; // at most this many at once; 0: all
    const char *results = nullptr;
    std::string logs = DEFAULT_LOGS;
    std::vector<std::string> kestrel_options;
};

// Reads the command line into o and the boards. Returns -1 to go on, or the
// exit status (0 after --help or --version).
int parse_command_line(int argc, char **argv, gang_options_t &o)
{
    int i = 1;
    for (; i < argc && strncmp(argv[i], "--", 2) == 0 && argv[i][2] != '\0'; ++i) {
        const std::string opt = argv[i];
        if (opt == "--help") {
            fputs(usage_text, stdout);
            return 0;
        }
        if (opt == "--version") {
            printf("kestrel-gang %s\n", KESTREL_VERSION);
            return 0;
        }
        if (opt != "--jobs" && opt != "--results" && opt != "--logs")
            return usage_error("unknown option", argv[i]);
        if (i + 1 >= argc)
            return usage_error("missing value for", argv[i]);
        const char *value = argv[++i];
        if (opt == "--jobs") {
            char *end = nullptr;
            const long v = strtol(value, &end, 10);
            if (end == value || *end != '\0' || v < 1 || v > 10000)
                return usage_error("--jobs needs a number from 1 to 10000, not", value);
            o.jobs = static_cast<size_t>(v);
        } else if (opt == "--results") {
            o.results = value;
        } else {
            o.logs = value;
        }
    }
    for (; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        if (argv[i][0] == '\0' || argv[i][0] == ':' || argv[i][0] == '-')
            return usage_error("not a port", argv[i]);
        boards.emplace_back();
        boards.back().port = argv[i];
    }
    if (boards.empty())
        return usage_error("no port given", nullptr);
    if (i >= argc)
        return usage_error("no \"--\" before the kestrel options", nullptr);
    o.kestrel_options.assign(argv + i + 1, argv + argc);
    if (o.jobs == 0)
        o.jobs = boards.size();
    return -1;
}

// Waits for whatever comes next: record lines, or runs that end.
void serve_boards(size_t &running)
{
    std::vector<pollfd> fds;
    std::vector<board_t *> polled;
    for (board_t &b : boards)
        if (b.events >= 0) {
            fds.push_back({b.events, POLLIN, 0});
            polled.push_back(&b);
        }
    if (poll(fds.data(), fds.size(), POLL_MS) > 0)
        for (size_t k = 0; k < fds.size(); ++k)
            if (fds[k].revents != 0) {
                board_t &b = *polled[k];
                read_events(b);
            }

    // A run is over once kestrel has exited and its record is read to the end.
    for (board_t &b : boards) {
        if (b.pid <= 0 || b.events >= 0)
            continue;
        int wst = 0;
        if (waitpid(b.pid, &wst, 0) != b.pid)
            continue;
        clock_gettime(CLOCK_MONOTONIC, &b.t1);
        b.status = WIFEXITED(wst) ? WEXITSTATUS(wst) : 128 + WTERMSIG(wst);
        b.pid = -1;
        --running;
        if (!tty)
            printf("%s\n", status_line(b).c_str());
    }
}

// Runs every board, at most o.jobs at a time, until all have ended; after a
// signal, forwards it and starts no more.
void run_boards(const gang_options_t &o)
{
    const std::string kestrel = kestrel_path();
    int forwarded = 0;
    size_t running = 0;
    size_t next = 0;
    for (;;) {
        if (received != 0 && forwarded == 0) {
            forwarded = received;
            for (const board_t &b : boards)
                if (b.pid > 0)
                    kill(b.pid, forwarded);
        }
        while (forwarded == 0 && next < boards.size() && running < o.jobs) {
            board_t &b = boards[next++];
            start_board(b, kestrel, o.kestrel_options, o.logs);
            if (b.pid > 0)
                ++running;
            else if (!tty)
                printf("%s\n", status_line(b).c_str());
        }
        if (running == 0 && (next == boards.size() || forwarded != 0))
            break;
        redraw();
        serve_boards(running);
    }
    // Boards never started because of a signal.
    for (board_t &b : boards)
        if (!b.started)
            b.status = EXIT_INTERRUPTED;
}

} // namespace

int main(int argc, char **argv)
{
    gang_options_t o;
    const int parsed = parse_command_line(argc, argv, o);
    if (parsed >= 0)
        return parsed;
    if (mkdir(o.logs.c_str(), 0777) != 0 && errno != EEXIST) {
        fprintf(stderr, "kestrel-gang: cannot make %s: %s\n", o.logs.c_str(), strerror(errno));
        return 1;
    }
    FILE *results_file = nullptr;
    if (o.results != nullptr && (results_file = fopen(o.results, "we")) == nullptr) {
        fprintf(stderr, "kestrel-gang: cannot write %s: %s\n", o.results, strerror(errno));
        return 1;
    }

    // No SA_RESTART: a signal ends the poll at once and is forwarded.
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    tty = isatty(STDOUT_FILENO) != 0;
    run_boards(o);
    redraw();
    print_table();

    bool all_ok = true;
    for (const board_t &b : boards) {
        all_ok = all_ok && b.status == 0;
        if (results_file != nullptr)
            fprintf(results_file, "%s\n", result_object(b).c_str());
    }
    if (results_file != nullptr && fclose(results_file) != 0) {
        fprintf(stderr, "kestrel-gang: cannot write %s: %s\n", o.results, strerror(errno));
        all_ok = false;
    }
    return all_ok ? 0 : 1;
}
