// The run's record: JSON Lines on a file or an inherited descriptor.
#include "kestrel-events.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nettle/sha2.h>

#include <array>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "kestrel-fields.h"
#include "kestrel-json.h"
#include "kestrel.h"

#ifndef KESTREL_VERSION
#define KESTREL_VERSION "unknown"
#endif

namespace
{

// Indexed by stage_e.
constexpr const char *stage_names[STAGE_NONE + 1] = {"boot",   "sync",      "layout", "select",
                                                     "enter",  "load",      "erase",  "program",
                                                     "verify", "sum_check", "run",    ""};

int fd = -1;
timespec t0{};
stage_e current = STAGE_NONE;
stage_e failed = STAGE_NONE;
int last_percent = -1;
int last_begun = -1; // the latest stage begun
const char *journal_state = nullptr;

run_counts_t counts{};
selected_device_t device{};
sum_result_t sum{};

double seconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - t0.tv_sec) +
           static_cast<double>(now.tv_nsec - t0.tv_nsec) / 1e9;
}

// A line under construction: `{"event":"<name>","t":<seconds>` so far.
std::string begin_line(const char *event)
{
    char t[32];
    snprintf(t, sizeof t, "%.3f", seconds());
    std::string line = "{";
    json_append_string(line, FIELD_EVENT);
    line += ':';
    json_append_string(line, event);
    line += ',';
    json_append_string(line, FIELD_T);
    line += ':';
    line += t;
    return line;
}

void field(std::string &line, const char *key)
{
    line += ',';
    json_append_string(line, key);
    line += ':';
}

void field_str(std::string &line, const char *key, const char *value)
{
    field(line, key);
    json_append_string(line, value);
}

void field_num(std::string &line, const char *key, uint64_t value)
{
    field(line, key);
    line += std::to_string(value);
}

void field_bool(std::string &line, const char *key, bool value)
{
    field(line, key);
    line += value ? "true" : "false";
}

// Ends the line and writes it whole; a failed write closes the record.
void emit(std::string &line)
{
    line += "}\n";
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t r = write(fd, line.data() + done, line.size() - done);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            close(fd);
            fd = -1;
            return;
        }
        done += static_cast<size_t>(r);
    }
}

const char *format_name(image_format_e f)
{
    switch (f) {
    case IMAGE_SREC:
        return "srec";
    case IMAGE_IHEX:
        return "ihex";
    case IMAGE_ELF:
        return "elf";
    case IMAGE_BIN:
        break;
    }
    return "bin";
}

// Size and SHA-256 of a file, as the image's fields; nulls when it cannot be
// read or is not a regular file.
void image_digest(std::string &line, const char *name)
{
    // Regular files only, as the loaders: a FIFO would lose its data to the
    // digest, and a device might never end.
    const int in = open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st = {};
    sha256_ctx ctx;
    sha256_init(&ctx);
    uint64_t size = 0;
    bool ok = in >= 0 && fstat(in, &st) == 0 && S_ISREG(st.st_mode);
    static std::array<uint8_t, 65536> buf;
    while (ok) {
        const ssize_t r = read(in, buf.data(), buf.size());
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            ok = r == 0;
            break;
        }
        sha256_update(&ctx, static_cast<size_t>(r), buf.data());
        size += static_cast<uint64_t>(r);
    }
    if (in >= 0)
        close(in);
    if (!ok) {
        line += ",\"size\":null,\"sha256\":null";
        return;
    }
    std::array<uint8_t, SHA256_DIGEST_SIZE> digest{};
    sha256_digest(&ctx, digest.size(), digest.data());
    char hex[2 * SHA256_DIGEST_SIZE + 1];
    for (size_t i = 0; i < digest.size(); ++i)
        snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    field_num(line, "size", size);
    field_str(line, "sha256", hex);
}

} // namespace

const char *stage_name(stage_e stage)
{
    return stage_names[static_cast<size_t>(stage)];
}

int events_open(const char *where)
{
    if (fd > 2)
        close(fd);
    fd = -1;
    if (strncmp(where, "fd:", 3) == 0) {
        const char *num = where + 3;
        char *end = nullptr;
        const int saved_errno = errno;
        const long v = (num[0] >= '0' && num[0] <= '9') ? strtol(num, &end, 10) : -1;
        errno = saved_errno;
        if (end == nullptr || *end != '\0' || v < 3 || v > INT_MAX) {
            errno = EINVAL;
            return -1;
        }
        if (fcntl(static_cast<int>(v), F_GETFD) < 0)
            return -1;
        fd = static_cast<int>(v);
    } else {
        fd = open(where, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
        if (fd < 0)
            return -1;
    }
    signal(SIGPIPE, SIG_IGN);
    return 0;
}

stage_e current_stage()
{
    return current;
}

void count_erased_block()
{
    ++counts.erased_blocks;
}

void count_programmed_unit()
{
    ++counts.programmed_units;
}

void set_skipped_units(uint32_t n)
{
    counts.skipped_units = n;
}

const run_counts_t &run_counts()
{
    return counts;
}

void set_selected_device(const char *code, const char *name, int namelen)
{
    snprintf(device.code, sizeof device.code, "%.4s", code);
    snprintf(device.name, sizeof device.name, "%.*s", namelen, name);
}

const selected_device_t &selected_device()
{
    return device;
}

void set_sum_result(uint32_t device_sum, uint32_t expected)
{
    sum = {true, device_sum, expected};
}

const sum_result_t &sum_result()
{
    return sum;
}

void events_start()
{
    clock_gettime(CLOCK_MONOTONIC, &t0);
    if (fd < 0)
        return;
    std::string line = begin_line(EVENT_START);
    field_str(line, "version", KESTREL_VERSION);
    field_str(line, "device", cfg.device);
    field_str(line, "baudrate", cfg.baudrate);
    field_num(line, "frequency_hz", cfg.freq);
    // One option per member; a new option adds its own.
    field(line, "options");
    line += "{\"verify\":";
    line += cfg.verify != 0 ? "true" : "false";
    field_bool(line, "sum_check", cfg.sum_check != 0);
    field_bool(line, "skip_blank", cfg.skip_blank != 0);
    field_num(line, "read_size", cfg.read_size);
    field_num(line, "retries", static_cast<uint32_t>(cfg.retries));
    line += '}';
    field(line, "images");
    line += '[';
    for (const img_file *img = cfg.img_first; img != nullptr; img = img->next) {
        if (img != cfg.img_first)
            line += ',';
        line += "{\"name\":";
        json_append_string(line, img->name);
        field_str(line, "format", format_name(img->format));
        if (img->format == IMAGE_BIN)
            field_num(line, "start", img->offset);
        else
            line += ",\"start\":null";
        image_digest(line, img->name);
        line += '}';
    }
    line += ']';
    if (cfg.journal_dir != nullptr)
        field_str(line, "journal", cfg.journal_dir);
    emit(line);
}

void stage_begin(stage_e stage)
{
    current = stage;
    last_percent = -1;
    if (stage != STAGE_NONE && stage > last_begun)
        last_begun = stage;
    if (fd < 0)
        return;
    std::string line = begin_line(EVENT_STAGE);
    field_str(line, FIELD_STAGE, stage_name(stage));
    field_str(line, FIELD_STATE, STATE_BEGIN);
    emit(line);
}

bool stage_begun(stage_e stage)
{
    return last_begun >= stage;
}

void stage_progress(uint32_t done, uint32_t total)
{
    const int percent =
        total != 0 ? static_cast<int>(static_cast<uint64_t>(done) * 100u / total) : 100;
    // Only a rise is written: a stage that goes over some units again (a
    // block repaired under --retries) counts them again without going back.
    if (fd < 0 || percent <= last_percent)
        return;
    last_percent = percent;
    std::string line = begin_line(EVENT_PROGRESS);
    field_str(line, FIELD_STAGE, stage_name(current));
    field_num(line, FIELD_PERCENT, static_cast<uint64_t>(percent));
    field_num(line, "done", done);
    field_num(line, "total", total);
    emit(line);
}

void stage_end(bool ok)
{
    const stage_e stage = current;
    current = STAGE_NONE;
    if (!ok)
        failed = stage;
    if (fd < 0)
        return;
    std::string line = begin_line(EVENT_STAGE);
    field_str(line, FIELD_STAGE, stage_name(stage));
    field_str(line, FIELD_STATE, STATE_END);
    field_bool(line, "ok", ok);
    emit(line);
}

void events_device()
{
    if (fd < 0)
        return;
    std::string line = begin_line(EVENT_DEVICE);
    field_str(line, FIELD_CODE, device.code);
    field_str(line, "name", device.name);
    field_num(line, "flash_size", cfg.size);
    field_num(line, "unit", cfg.unit);
    field_num(line, "blocks", cfg.blocks);
    field_num(line, "baudrate", strtoull(cfg.baudrate, nullptr, 10));
    emit(line);
}

void events_recovery(uint8_t command, const char *fault, int attempt)
{
    if (fd < 0)
        return;
    std::string line = begin_line(EVENT_RECOVERY);
    field_str(line, FIELD_STAGE, stage_name(current));
    field_num(line, "command", command);
    field_str(line, "fault", fault);
    field_num(line, "try", static_cast<uint64_t>(attempt < 0 ? 0 : attempt));
    emit(line);
}

void events_journal_state(const char *state)
{
    journal_state = state;
}

void events_result(int status)
{
    if (fd < 0)
        return;
    const double t = seconds();
    std::string line = begin_line(EVENT_RESULT);
    field_num(line, FIELD_STATUS, static_cast<uint64_t>(status & 0xFF));
    field(line, FIELD_FAILED_STAGE);
    json_append_string(line, failed == STAGE_NONE ? nullptr : stage_name(failed));
    field_num(line, FIELD_ERASED_BLOCKS, counts.erased_blocks);
    field_num(line, FIELD_PROGRAMMED_UNITS, counts.programmed_units);
    field_num(line, FIELD_SKIPPED_UNITS, counts.skipped_units);
    field_num(line, FIELD_BYTES_LOADED, cfg.used);
    field(line, FIELD_SUM);
    if (sum.answered) {
        char hex[16];
        line += '{';
        json_append_string(line, FIELD_SUM_DEVICE);
        snprintf(hex, sizeof hex, ":\"%08" PRIX32 "\",", sum.device);
        line += hex;
        json_append_string(line, FIELD_SUM_EXPECTED);
        snprintf(hex, sizeof hex, ":\"%08" PRIX32 "\"}", sum.expected);
        line += hex;
    } else {
        line += "null";
    }
    if (cfg.journal_dir != nullptr) {
        field(line, "journal_state");
        json_append_string(line, journal_state);
    }
    char secs[32];
    snprintf(secs, sizeof secs, "%.3f", t);
    field(line, FIELD_SECONDS);
    line += secs;
    emit(line);
    if (fd > 2)
        close(fd);
    fd = -1;
}
