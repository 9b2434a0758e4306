// Speed and memory of the S-record and Intel HEX loaders on 512 KiB images,
// next to GNU objcopy (and srec_cat when it is installed) converting the same
// files.
//
//   bench_loader [--rows FILE] [loads]   the whole report
//   bench_loader --memory FILE [ROWS]    (internal) peak memory of one load
//
// With --rows, one tab-separated line per figure is appended to FILE
// (measure, value, target, verdict) for the summary table of scripts/bench.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kestrel-loaders.h"
#include "kestrel.h"

extern char **environ;

namespace
{

constexpr uint32_t flash_size = 512 * 1024;
constexpr uint16_t flash_unit = 128;

using clock_type = std::chrono::steady_clock;

FILE *rows = nullptr;

void row(const std::string &measure, const std::string &value, const std::string &target, bool ok)
{
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

struct variant_t {
    int type;      // S2 or S3 records; 0: Intel HEX with linear address records
    unsigned data; // data bytes per record
};
constexpr variant_t variants[] = {{2, 32}, {2, 250}, {3, 32}, {3, 250}, {0, 16}, {0, 32}};

bool is_ihex(const std::string &path)
{
    return path.size() > 4 && path.compare(path.size() - 4, 4, ".hex") == 0;
}

void append_ihex(std::string &out, uint8_t type, uint16_t offset, const uint8_t *data, unsigned n)
{
    static const char hex[] = "0123456789ABCDEF";
    std::vector<uint8_t> bytes = {static_cast<uint8_t>(n), static_cast<uint8_t>(offset >> 8),
                                  static_cast<uint8_t>(offset), type};
    bytes.insert(bytes.end(), data, data + n);
    unsigned sum = 0;
    for (uint8_t b : bytes)
        sum += b;
    bytes.push_back(static_cast<uint8_t>(-sum));
    out += ':';
    for (uint8_t b : bytes) {
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    out += "\r\n";
}

void append_record(std::string &out, int type, uint32_t address, const uint8_t *data, unsigned n)
{
    static const char hex[] = "0123456789ABCDEF";
    unsigned addr_len = type == 3 || type == 7 ? 4 : type == 2 || type == 8 ? 3 : 2;
    std::vector<uint8_t> bytes;
    bytes.push_back(static_cast<uint8_t>(addr_len + n + 1));
    for (unsigned k = addr_len; k-- > 0;)
        bytes.push_back(static_cast<uint8_t>(address >> (8 * k)));
    bytes.insert(bytes.end(), data, data + n);
    unsigned sum = 0;
    for (uint8_t b : bytes)
        sum += b;
    bytes.push_back(static_cast<uint8_t>(~sum));
    out += 'S';
    out += static_cast<char>('0' + type);
    for (uint8_t b : bytes) {
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    out += "\r\n";
}

// An S-record file that fills the whole flash with pseudo-random data.
std::string make_image(const variant_t &v, std::vector<uint8_t> &data)
{
    data.resize(flash_size);
    uint32_t x = 0x2545F491u;
    for (auto &b : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    std::string out;
    if (v.type == 0) {
        for (uint32_t a = 0; a < flash_size; a += v.data) {
            if (a % 0x10000 == 0) {
                const uint8_t upper[2] = {static_cast<uint8_t>(a >> 24),
                                          static_cast<uint8_t>(a >> 16)};
                append_ihex(out, 4, 0, upper, 2);
            }
            append_ihex(out, 0, static_cast<uint16_t>(a), data.data() + a,
                        std::min(v.data, flash_size - a));
        }
        append_ihex(out, 1, 0, nullptr, 0);
        return out;
    }
    append_record(out, 0, 0, reinterpret_cast<const uint8_t *>("bench"), 5);
    for (uint32_t a = 0; a < flash_size; a += v.data)
        append_record(out, v.type, a, data.data() + a, std::min(v.data, flash_size - a));
    append_record(out, 10 - v.type, 0, nullptr, 0);
    return out;
}

void reset_flash()
{
    memset(cfg.mem, 0xFF, cfg.size);
    memset(cfg.flags, 0, flags_bytes(cfg.size, cfg.unit));
    cfg.used = 0;
}

// Loads path once with the loader's messages sent to /dev/null. Seconds, or -1.
double timed_load(const char *path)
{
    reset_flash();
    fflush(stdout);
    int saved = dup(1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
    auto t0 = clock_type::now();
    int r = is_ihex(path) ? add_ihex_to_map(path) : add_srec_to_map(path);
    auto t1 = clock_type::now();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    if (r != static_cast<int>(flash_size))
        return -1;
    return std::chrono::duration<double>(t1 - t0).count();
}

// Runs a program to completion. Seconds, or -1 when it could not run or failed.
double timed_run(const std::vector<std::string> &args, bool quiet = true)
{
    std::vector<char *> argv;
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (quiet) {
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    }
    auto t0 = clock_type::now();
    pid_t pid;
    int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    auto t1 = clock_type::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return std::chrono::duration<double>(t1 - t0).count();
}

bool on_path(const char *prog)
{
    std::string cmd = std::string("command -v ") + prog + " >/dev/null 2>&1";
    return system(cmd.c_str()) == 0;
}

template <typename F> double best_of(int runs, F f)
{
    double best = -1;
    for (int i = 0; i < runs; ++i) {
        double t = f();
        if (t < 0)
            return -1;
        if (best < 0 || t < best)
            best = t;
    }
    return best;
}

long status_kib(const char *key)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    size_t n = strlen(key);
    while (std::getline(in, line))
        if (line.compare(0, n, key) == 0)
            return std::strtol(line.c_str() + n, nullptr, 10);
    return -1;
}

// In a fresh process: resident memory before the flash copy exists, and the
// peak after one load into it.
int memory_mode(const char *path, const std::string &name)
{
    long before = status_kib("VmRSS:");
    cfg.size = flash_size;
    cfg.unit = flash_unit;
    cfg.mem = static_cast<uint8_t *>(malloc(cfg.size));
    cfg.flags = static_cast<uint8_t *>(calloc(flags_bytes(cfg.size, cfg.unit), 1));
    if (timed_load(path) < 0)
        return 1;
    long peak = status_kib("VmHWM:");
    long growth = peak - before;
    long limit = static_cast<long>(flash_size / 1024 + 1024);
    printf("  peak RSS %ld KiB, growth over start %ld KiB (limit: flash copy + 1 MiB = %ld KiB) "
           "%s\n",
           peak, growth, limit, growth < limit ? "ok" : "OVER");
    row(std::string("loader ") + name + ": peak RSS growth", std::to_string(growth) + " KiB",
        "< " + std::to_string(limit) + " KiB", growth < limit);
    return growth < limit ? 0 : 1;
}

bool same_file(const std::string &path, const std::vector<uint8_t> &want)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> got((std::istreambuf_iterator<char>(in)), {});
    return got == want;
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    if ((argc == 3 || argc == 5) && strcmp(argv[1], "--memory") == 0) {
        if (argc == 5)
            rows = fopen(argv[3], "a");
        return memory_mode(argv[2], argc == 5 ? argv[4] : "");
    }
    int loads = 30;
    const char *rows_path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--rows") == 0 && i + 1 < argc)
            rows_path = argv[++i];
        else
            loads = std::max(1, atoi(argv[i]));
    }
    if (rows_path != nullptr && (rows = fopen(rows_path, "a")) == nullptr) {
        perror(rows_path);
        return 1;
    }
    constexpr int tool_runs = 5;

    char dir_template[] = "/tmp/kestrel-bench-XXXXXX";
    const char *dir = mkdtemp(dir_template);
    if (dir == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    bool have_srec_cat = on_path("srec_cat");
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) < 0) {
        perror("readlink");
        return 1;
    }
    int failures = 0;

    cfg.size = flash_size;
    cfg.unit = flash_unit;
    cfg.mem = static_cast<uint8_t *>(malloc(cfg.size));
    cfg.flags = static_cast<uint8_t *>(calloc(flags_bytes(cfg.size, cfg.unit), 1));

    printf("S-record and Intel HEX loaders, %u KiB of data, best of %d loads (tools: best of %d "
           "runs)\n",
           flash_size / 1024, loads, tool_runs);
    // The tools' times include starting a process; this is that share.
    double spawn = best_of(tool_runs, [] { return timed_run({"true"}); });
    printf("process start-up alone (true): %.3f ms\n", spawn * 1e3);
    for (const auto &v : variants) {
        std::vector<uint8_t> data;
        std::string text = make_image(v, data);
        const bool ihex = v.type == 0;
        std::string path = std::string(dir) + "/S" + std::to_string(v.type) + "-" +
                           std::to_string(v.data) + (ihex ? ".hex" : ".mot");
        std::string out = path + ".bin";
        std::ofstream(path, std::ios::binary) << text;
        double mb = static_cast<double>(text.size()) / 1e6;
        char name[32]; // g++ 12 -O3 warns falsely on the string concatenation
        if (ihex)
            snprintf(name, sizeof name, "ihex x%u", v.data);
        else
            snprintf(name, sizeof name, "S%dx%u", v.type, v.data);
        if (ihex)
            printf("\nIntel HEX records, %u data bytes each: %zu bytes of text\n", v.data,
                   text.size());
        else
            printf("\nS%d records, %u data bytes each: %zu bytes of text\n", v.type, v.data,
                   text.size());

        double t = best_of(loads, [&] { return timed_load(path.c_str()); });
        if (t < 0 || memcmp(cfg.mem, data.data(), flash_size) != 0) {
            printf("  loader FAILED\n");
            row(std::string("loader ") + name, "failed", "", false);
            ++failures;
            continue;
        }
        printf("  kestrel loader  %8.3f ms  %8.1f MB/s\n", t * 1e3, mb / t);
        row(std::string("loader ") + name + ": throughput", fmt("%.1f MB/s", mb / t), "", true);

        double o = best_of(tool_runs, [&] {
            return timed_run({"objcopy", "-I", ihex ? "ihex" : "srec", "-O", "binary", path, out});
        });
        if (o < 0 || !same_file(out, data)) {
            printf("  objcopy FAILED or disagrees\n");
            row(std::string("loader ") + name + ": vs objcopy", "objcopy failed", "", false);
            ++failures;
        } else {
            printf("  objcopy         %8.3f ms  %8.1f MB/s  loader is %.1fx %s\n", o * 1e3, mb / o,
                   t < o ? o / t : t / o, t < o ? "faster" : "SLOWER");
            row(std::string("loader ") + name + ": speed / objcopy", fmt("%.1fx", o / t), "> 1x",
                t < o);
            if (t >= o)
                ++failures;
        }
        if (have_srec_cat) {
            double s = best_of(tool_runs, [&] {
                if (ihex)
                    return timed_run({"srec_cat", path, "-intel", "-o", out, "-binary"});
                return timed_run({"srec_cat", path, "-o", out, "-binary"});
            });
            if (s > 0)
                printf("  srec_cat        %8.3f ms  %8.1f MB/s  loader is %.1fx %s\n", s * 1e3,
                       mb / s, t < s ? s / t : t / s, t < s ? "faster" : "slower");
        } else {
            printf("  srec_cat        not installed\n");
        }
        std::vector<std::string> mem_args = {self, "--memory", path};
        if (rows_path != nullptr) {
            fflush(rows);
            mem_args.insert(mem_args.end(), {rows_path, name});
        }
        if (timed_run(mem_args, false) < 0) {
            // The child printed its own numbers; a failure means over the limit.
            ++failures;
        }
        unlink(out.c_str());
        unlink(path.c_str());
    }
    rmdir(dir);
    if (rows != nullptr)
        fclose(rows);
    return failures == 0 ? 0 : 1;
}
