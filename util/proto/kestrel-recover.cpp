// Recovery of line faults: what went wrong, how to find out where the device
// is, and what to do then, one rule per kind of command.
#include "kestrel-recover.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "h8s-wire.h"
#include "kestrel-events.h"
#include "kestrel-proto.h"
#include "kestrel.h"
#include "serial-linux.h"

namespace
{

constexpr int QUIET_MS = 25;        // a quiet line: no byte for this long (>= 20 ms)
constexpr int DRAIN_MAX_MS = 60000; // a line that never goes quiet is given up
constexpr int REPLY_BYTE_MS = 100;  // each byte of a reply after its first
constexpr int BUSY_WAIT_MS = 100;   // between status inquiries while the device is busy
constexpr int BUSY_MAX_MS = 15000;  // the longest erasure or programming
constexpr int MIN_PROBES = 12;      // the longest frame before the unit is known: a memory read

// The deadline of an answer's first byte: the frame and that byte on the
// line at the rate in force, plus the device's work for the command, twice
// over, plus a margin for the host. The device's work: programming one unit,
// or anything else short; erasures, the transition to the programming/erasing
// state (it erases the whole flash) and the sum check (it reads all of it)
// keep the stage's whole time-out.
constexpr int PROGRAM_WORK_MS = 100;
constexpr int OTHER_WORK_MS = 50;
constexpr int DEADLINE_MARGIN_MS = 200;
constexpr uint32_t SLOWEST_RATE = 9600; // when the rate in force cannot be told

// What to do after the status is known.
enum rule_kind_e {
    RULE_NONE,   // no recovery: the fault ends the exchange
    RULE_RESEND, // idempotent: send it again
    RULE_STATUS, // done when the status is `done`, otherwise send it again
    RULE_RATE,   // new bit rate: no answer at the old rate means it was taken
};

struct rule_t {
    uint8_t cmd;
    rule_kind_e kind;
    uint8_t done; // RULE_STATUS: the status that shows the command was done
};

// Commands not listed are inquiries, reads, the sum check and block erasures:
// sent again. The end of erasure (a block erasure with ERASE_END) is found by
// rule_for; the programming command is listed for the end of programming
// (the unit frames recover in rprogram_unit).
constexpr std::array<rule_t, 8> rules = {{
    {CMD_SELECT_DEVICE, RULE_STATUS, STATUS_WAIT_CLOCK_MODE},
    {CMD_SELECT_CLOCK_MODE, RULE_STATUS, STATUS_WAIT_RATE},
    {CMD_NEW_BIT_RATE, RULE_RATE, 0},
    // The confirmation at the new rate: a clean status answer at that rate
    // shows the device listens there (waiting for the state transition once
    // it took the confirmation); without one it is sent again, and the run
    // ends when none comes.
    {ACK, RULE_STATUS, STATUS_WAIT_STATE},
    {CMD_ENTER_PROGRAM_ERASE, RULE_STATUS, STATUS_WAIT_SELECT},
    {CMD_SELECT_ERASE, RULE_STATUS, STATUS_WAIT_BLOCK},
    {CMD_SELECT_PROGRAM, RULE_STATUS, STATUS_WAIT_DATA},
    {CMD_PROGRAM, RULE_STATUS, STATUS_WAIT_SELECT},
}};
constexpr rule_t end_of_erasure = {CMD_ERASE_BLOCK, RULE_STATUS, STATUS_WAIT_SELECT};
constexpr rule_t resend = {0, RULE_RESEND, 0};

rule_t rule_for(const exchange_t &x)
{
    if (x.cmd == CMD_ERASE_BLOCK && x.cbWrite == 1 && x.pbWrite[0] == ERASE_END)
        return end_of_erasure;
    const auto *r = std::find_if(rules.begin(), rules.end(),
                                 [&x](const rule_t &rule) { return rule.cmd == x.cmd; });
    return r != rules.end() ? *r : resend;
}

// The refusals the device gives on purpose, by command: they end the run.
bool documented_error(uint8_t cmd, uint8_t error)
{
    switch (cmd) {
    case CMD_SELECT_DEVICE:
        return error == ERROR_DEVICE;
    case CMD_SELECT_CLOCK_MODE:
        return error == ERROR_CLOCK_MODE;
    case CMD_NEW_BIT_RATE:
        return error >= ERROR_BIT_RATE && error <= ERROR_RATE_LAST;
    case CMD_ERASE_BLOCK:
        return error == ERROR_BLOCK || error == ERROR_ERASE;
    case CMD_PROGRAM:
        return error == ERROR_PROGRAM || error == ERROR_ADDRESS;
    case CMD_READ_MEMORY:
        return error == ERROR_ADDRESS || error == ERROR_SIZE;
    default:
        return false;
    }
}

// What the line did to the exchange, or null when the failure is not a line fault.
const char *line_fault(uint8_t cmd)
{
    const exchange_outcome_t &o = last_exchange();
    switch (o.fault) {
    case XF_TIMEOUT:
        return "no answer in time";
    case XF_SHORT:
        return "answer cut short";
    case XF_TOO_LONG:
        return "answer size out of range";
    case XF_CHECKSUM:
        return "answer checksum wrong";
    case XF_REFUSED:
        if (o.code != refusal_of(cmd))
            return "wrong answer code";
        if (o.error == ERROR_CHECKSUM)
            return "refused for its checksum";
        if (o.error == ERROR_COMMAND)
            return "refused as out of order";
        if (documented_error(cmd, o.error))
            return nullptr;
        return "refused with a garbled error";
    default:
        return nullptr;
    }
}

// line_fault, but a refusal with a documented error followed by more bytes is
// a line fault too: the device's own refusal is all it sends, while a frame
// that the line cut into pieces draws an answer to each piece.
const char *fault_of(uint8_t cmd)
{
    const char *fault = line_fault(cmd);
    if (fault == nullptr && exchange_refused() && serial_drain(QUIET_MS, DRAIN_MAX_MS) > 0)
        return "refused amid other answers";
    return fault;
}

// The stage a recovery line names: the record's current stage.
const char *recovery_stage()
{
    const stage_e stage = current_stage();
    return stage != STAGE_NONE ? stage_name(stage) : "upgrade";
}

// The recoveries left to the exchange being recovered. Exchanges made while
// recovering one share its allowance.
int depth = 0;
int left = 0;
int used = 0;

// Keeps the exchange's own failure messages back while a fault may still be
// recovered; give_up prints the one of the exchange that ends the run.
class quiet
{
  public:
    quiet() : was_(set_exchange_messages(false)) {}
    ~quiet() { set_exchange_messages(was_); }
    quiet(const quiet &) = delete;
    quiet &operator=(const quiet &) = delete;

  private:
    bool was_;
};

int give_up(int r)
{
    print_exchange_message();
    return r;
}

class budget
{
  public:
    budget()
    {
        if (depth++ == 0) {
            left = cfg.retries;
            used = 0;
        }
    }
    ~budget() { --depth; }
    budget(const budget &) = delete;
    budget &operator=(const budget &) = delete;
};

int repairs = 0;    // blocks repaired after verification, at most cfg.retries
int rereads = 0;    // units read again after a read the line changed unseen, as many
int recoveries = 0; // recoveries reported in this run

// Prints the one line that tells of a recovered fault: the stage, the command,
// what went wrong and which try of the --retries allowed it is. Goes to
// standard output whatever -q says; the record gets a "recovery" event.
void report_recovery(uint8_t cmd, const char *fault, int attempt)
{
    ++recoveries;
    events_recovery(cmd, fault, attempt);
    printf("\rRecovering %s: command %02X, %s, try %i of %i\n", recovery_stage(), cmd, fault,
           attempt, cfg.retries);
}

// Takes one recovery and reports it; false when none is left.
bool take(uint8_t cmd, const char *fault)
{
    if (left <= 0)
        return false;
    --left;
    report_recovery(cmd, fault, ++used);
    return true;
}

// Lets the line go quiet: every byte still coming is dropped.
bool drain()
{
    return serial_drain(QUIET_MS, DRAIN_MAX_MS) >= 0;
}

// Sends one-byte status inquiries until one clean status reply arrives: a
// receiver left inside a frame takes them as its missing bytes. Answers that
// are not one clean status reply are dropped. Returns the status, or -1.
int probe_status(int probes)
{
    const int saved = serial_get_timeout();
    serial_set_timeout(QUIET_MS);
    int status = -1;
    const uint8_t inquiry = CMD_STATUS;
    for (int i = 0; i < probes && status < 0; ++i) {
        if (serial_write(&inquiry, 1) != 1)
            break;
        std::array<uint8_t, 3 + STATUS_REPLY_SIZE> r{};
        if (serial_read(r.data(), 1) == 1 && r[0] == REPLY_STATUS &&
            serial_read(r.data() + 1, 1) == 1 && r[1] == STATUS_REPLY_SIZE &&
            serial_read(r.data() + 2, STATUS_REPLY_SIZE + 1) == STATUS_REPLY_SIZE + 1 &&
            get_checksum(r.data(), static_cast<int>(r.size())) == 0)
            status = r[2];
        if (!drain())
            break;
    }
    serial_set_timeout(saved);
    return status;
}

// The most probes a frame left incomplete can need.
int max_probes()
{
    return cfg.unit + 6 > MIN_PROBES ? cfg.unit + 6 : MIN_PROBES;
}

// The status after a quiet line, waiting while the device is busy; -1 when
// no clean status reply comes.
int settled_status(int probes)
{
    if (!drain())
        return -1;
    int status = probe_status(probes);
    for (int waited = 0; status == STATUS_BUSY && waited < BUSY_MAX_MS; waited += BUSY_WAIT_MS) {
        serial_drain(BUSY_WAIT_MS, BUSY_WAIT_MS);
        status = probe_status(probes);
    }
    return status;
}

// The deadline for the first byte of x's answer, in milliseconds; 0 for the
// commands whose work takes long.
int deadline_of(const exchange_t &x)
{
    int work = OTHER_WORK_MS;
    switch (x.cmd) {
    case CMD_ERASE_BLOCK:
    case CMD_ENTER_PROGRAM_ERASE:
    case CMD_SUM_CHECK:
        return 0;
    case CMD_PROGRAM:
        work = PROGRAM_WORK_MS;
        break;
    default:
        break;
    }
    // The rate in force: cfg.baudrate once the switch is made (before it the
    // stage's time-out is short anyway); the slowest rate when it is not a number.
    uint32_t rate = static_cast<uint32_t>(strtoul(cfg.baudrate, nullptr, 10));
    if (rate == 0)
        rate = SLOWEST_RATE;
    const uint64_t bytes = 1u + x.cbWriteSize + static_cast<uint64_t>(x.cbWrite) +
                           (x.cbWrite > 0 ? 1u : 0u) + 1u; // the frame and the response code
    const uint64_t line_ms = (bytes * 10u * 1000u + rate - 1) / rate;
    return static_cast<int>(2u * (line_ms + static_cast<uint64_t>(work)) + DEADLINE_MARGIN_MS);
}

// x with its deadline.
exchange_t with_deadline(const exchange_t &x)
{
    exchange_t d = x;
    d.deadline_ms = deadline_of(x);
    return d;
}

// After an answer of one byte missed its deadline: one status inquiry, then
// the time-out in force for a byte. A device still at work answers the
// command first and the inquiry right after it: the answer came late, and
// that is reported as a recovery. Anything else (the inquiry completing a
// frame that lost a byte draws a refusal; a lost frame draws the status
// reply alone) is a line fault, recovered as any: what arrived is dropped by
// its quiet wait. True for a late answer.
bool came_late(const exchange_t &x)
{
    if (!last_exchange().late || x.cbReadSize != 0 || x.cbRead != 0)
        return false;
    const uint8_t inquiry = CMD_STATUS;
    uint8_t answer = 0;
    if (serial_write(&inquiry, 1) != 1 || serial_read(&answer, 1) != 1 || answer != x.response)
        return false;
    const int saved = serial_get_timeout();
    serial_set_timeout(REPLY_BYTE_MS);
    std::array<uint8_t, 3 + STATUS_REPLY_SIZE> r{};
    const bool status_reply =
        serial_read(r.data(), static_cast<int>(r.size())) == static_cast<int>(r.size()) &&
        r[0] == REPLY_STATUS && r[1] == STATUS_REPLY_SIZE &&
        get_checksum(r.data(), static_cast<int>(r.size())) == 0;
    serial_set_timeout(saved);
    // Without the inquiry's reply the inquiry may have completed the frame
    // itself: the answer's outcome is unknown, a line fault.
    return status_reply && take(x.cmd, "answer late");
}

// Whether [address, address + len) lies inside one user MAT area: where every
// frame kestrel builds points.
bool inside_user_mat(uint32_t address, uint32_t len)
{
    const uint64_t last = static_cast<uint64_t>(address) + len - 1;
    for (size_t i = 0; i < cfg.areas; ++i)
        if (len > 0 && address >= cfg.area_first[i] && last <= cfg.area_last[i])
            return true;
    return false;
}

// Whether the last exchange was cmd refused with error, and nothing more.
bool refused_with(uint8_t cmd, uint8_t error)
{
    const exchange_outcome_t &o = last_exchange();
    return o.fault == XF_REFUSED && o.code == refusal_of(cmd) && o.error == error;
}

enum action_e { SEND_AGAIN, DONE };

// After a line fault on a command of rule r: what the device's state says.
action_e recover(const rule_t &r)
{
    if (r.kind == RULE_RATE) {
        // At the old rate: still waiting for the bit rate means it was not
        // taken; silence means the device listens at the new rate.
        const int status = settled_status(MIN_PROBES);
        return status < 0 ? DONE : SEND_AGAIN;
    }
    const int status = settled_status(max_probes());
    if (status < 0)
        return SEND_AGAIN; // the status inquiry itself failed: the next try asks again
    if (r.kind == RULE_STATUS && status == r.done)
        return DONE;
    return SEND_AGAIN;
}

// What programming did to one unit, as its read-back shows.
enum unit_outcome_e {
    UNIT_UNREAD,     // the read failed
    UNIT_BLANK,      // all 0xFF: nothing was written
    UNIT_PROGRAMMED, // as the flash copy has it
    UNIT_WRONG,      // anything else
};

unit_outcome_e unit_outcome(uint32_t page)
{
    static std::array<uint8_t, 0xFFFF + 6> buf;
    const uint32_t address = page * cfg.unit;
    bool refused = false;
    if (rread_memory(address, cfg.unit, buf.data(), static_cast<int>(buf.size()), &refused) !=
        static_cast<int>(cfg.unit))
        return UNIT_UNREAD;
    if (memcmp(buf.data(), cfg.mem + address, cfg.unit) == 0)
        return UNIT_PROGRAMMED;
    for (uint32_t i = 0; i < cfg.unit; ++i)
        if (buf[i] != 0xFF)
            return UNIT_WRONG;
    return UNIT_BLANK;
}

// Ends programming so that the device waits for a selection.
int end_programming()
{
    std::array<uint8_t, 4> end{};
    long2char(PROGRAM_END, end.data());
    return rexchange({.cmd = CMD_PROGRAM, .pbWrite = end.data(), .cbWrite = 4});
}

// The first and last page of the erase block that holds page, and its number.
bool block_of(uint32_t page, uint8_t *block, uint32_t *first, uint32_t *last)
{
    const uint64_t address = static_cast<uint64_t>(page) * cfg.unit;
    uint64_t start = 0;
    for (uint8_t i = 0; i < cfg.blocks; ++i) {
        const uint64_t end = start + cfg.block_sizes[i]; // inclusive
        if (address >= start && address <= end) {
            *block = i;
            *first = static_cast<uint32_t>(start / cfg.unit);
            *last = static_cast<uint32_t>(end / cfg.unit);
            return true;
        }
        start = end + 1;
    }
    return false;
}

// From the selection state: erases the block that holds page and programs its
// marked units below `below` again; the device then waits for programming data.
// Recursive through rprogram_unit: bounded by the recoveries allowed.
int erase_and_reprogram(uint32_t page, uint32_t below, uint32_t *first) // NOLINT(misc-no-recursion)
{
    uint8_t block = 0;
    uint32_t last = 0;
    if (!block_of(page, &block, first, &last))
        return -1;
    const uint8_t end = ERASE_END;
    if (rexchange({.cmd = CMD_SELECT_ERASE}) < 0 ||
        rexchange({.cmd = CMD_ERASE_BLOCK, .pbWrite = &block, .cbWrite = 1, .cbWriteSize = 1}) <
            0 ||
        rexchange({.cmd = CMD_ERASE_BLOCK, .pbWrite = &end, .cbWrite = 1, .cbWriteSize = 1}) < 0 ||
        rexchange({.cmd = CMD_SELECT_PROGRAM}) < 0)
        return -1;
    for (uint32_t p = *first; p < below && p <= last && p < page_count(); ++p)
        if (test_page(p) && rprogram_unit(p) < 0)
            return -1;
    return 0;
}

// Whether the flash copy holds only 0xFF in page.
bool copy_is_blank(uint32_t page)
{
    const uint8_t *p = cfg.mem + static_cast<size_t>(page) * cfg.unit;
    return std::all_of(p, p + cfg.unit, [](uint8_t b) { return b == 0xFF; });
}

// After the device refused page's frame with a programming error: programming
// is ended and the unit read back. Blank, the device wrote nothing there:
// the line moved the frame onto a unit programmed before, a line fault
// (DONE when the image's unit is blank too, SEND_AGAIN otherwise, with the
// device waiting for programming data again). Anything else, it is the
// device's own error: -1 after the refusal's message, as without --retries.
int after_program_error(uint32_t page)
{
    const std::string refusal = exchange_message();
    if (left > 0 && end_programming() >= 0) {
        const unit_outcome_e outcome = unit_outcome(page);
        const bool blank =
            outcome == UNIT_BLANK || (outcome == UNIT_PROGRAMMED && copy_is_blank(page));
        if (blank && take(CMD_PROGRAM, "programming refused, the unit left blank"))
            return rexchange({.cmd = CMD_SELECT_PROGRAM}) < 0 ? -1
                   : outcome == UNIT_BLANK                    ? SEND_AGAIN
                                                              : DONE;
    }
    fputs(refusal.c_str(), stdout);
    return -1;
}

} // namespace

int recovery_count()
{
    return recoveries;
}

void reset_recovery()
{
    repairs = 0;
    rereads = 0;
    recoveries = 0;
}

int rexchange(const exchange_t &x, bool *refused)
{
    if (refused != nullptr)
        *refused = false;
    if (cfg.retries == 0) {
        const int r = exchange(x);
        if (refused != nullptr)
            *refused = exchange_refused();
        return r;
    }
    set_reply_byte_timeout(REPLY_BYTE_MS);
    budget scope;
    quiet q;
    const rule_t rule = rule_for(x);
    const exchange_t timed = with_deadline(x);
    for (;;) {
        const int r = exchange(timed);
        if (r >= 0)
            return r;
        if (came_late(timed))
            return 0;
        const char *fault = fault_of(x.cmd);
        if (fault == nullptr) {
            if (refused != nullptr)
                *refused = exchange_refused();
            return give_up(r);
        }
        if (rule.kind == RULE_NONE || !take(x.cmd, fault))
            return give_up(r);
        if (recover(rule) == DONE)
            return 0;
    }
}

int rcheck_status(uint8_t checkstate)
{
    if (cfg.retries == 0)
        return check_status(checkstate);
    std::array<uint8_t, 3 + STATUS_REPLY_SIZE> buf{};
    const int r = rexchange({.cmd = CMD_STATUS,
                             .response = REPLY_STATUS,
                             .pbRead = buf.data(),
                             .cbMaxRead = static_cast<int>(buf.size()),
                             .cbReadSize = 1});
    return report_status(r, buf.data(), checkstate);
}

// Recursive through erase_and_reprogram: bounded by the recoveries allowed.
int rprogram_unit(uint32_t page) // NOLINT(misc-no-recursion)
{
    // Static: a unit may be 64 KiB, and recovery calls this again from
    // within; the frame is built afresh before every send.
    static std::array<uint8_t, 0xFFFF + 4> chunk;
    const uint32_t address = page * cfg.unit;
    const int cb = cfg.unit + 4;
    const exchange_t frame = {.cmd = CMD_PROGRAM, .pbWrite = chunk.data(), .cbWrite = cb};
    auto send = [&](const exchange_t &x) {
        long2char(address, chunk.data());
        memcpy(chunk.data() + 4, cfg.mem + address, cfg.unit);
        return exchange(x);
    };
    if (cfg.retries == 0)
        return send(frame);
    set_reply_byte_timeout(REPLY_BYTE_MS);
    budget scope;
    quiet q;
    const exchange_t timed = with_deadline(frame);
    for (;;) {
        const int r = send(timed);
        if (r >= 0)
            return r;
        if (came_late(timed))
            return 0;
        const char *fault = fault_of(CMD_PROGRAM);
        // kestrel sends only addresses inside the user MAT: a refused one is
        // the line's. A programming error is the device's own unless the
        // unit reads back blank.
        if (fault == nullptr && refused_with(CMD_PROGRAM, ERROR_ADDRESS) &&
            inside_user_mat(address, cfg.unit))
            fault = "refused for an address it was not sent";
        if (fault == nullptr && refused_with(CMD_PROGRAM, ERROR_PROGRAM)) {
            const int a = after_program_error(page);
            if (a < 0)
                return r;
            if (a == DONE)
                return 0;
            continue;
        }
        if (fault == nullptr || !take(CMD_PROGRAM, fault))
            return give_up(r);
        const exchange_outcome_t o = last_exchange();
        const int status = settled_status(max_probes());
        if (o.fault == XF_REFUSED && o.code == refusal_of(CMD_PROGRAM) &&
            o.error == ERROR_CHECKSUM && status == STATUS_WAIT_DATA)
            continue; // not acted on
        // The outcome is unknown: look at the unit.
        if (status != STATUS_WAIT_SELECT && end_programming() < 0)
            return r;
        const unit_outcome_e outcome = unit_outcome(page);
        if (outcome == UNIT_UNREAD)
            return r;
        if (outcome == UNIT_WRONG) {
            uint32_t first = 0;
            if (erase_and_reprogram(page, page, &first) < 0)
                return r;
            continue;
        }
        if (rexchange({.cmd = CMD_SELECT_PROGRAM}) < 0)
            return r;
        if (outcome == UNIT_PROGRAMMED)
            return 0;
    }
}

// Recursive in halves: as deep as the read is units, in powers of two.
int rread_memory(uint32_t address, uint32_t len, uint8_t *buf, int cap, // NOLINT(misc-no-recursion)
                 bool *refused)
{
    std::array<uint8_t, 9> req{};
    req[0] = AREA_USER_MAT;
    long2char(address, req.data() + 1);
    long2char(len, req.data() + 5);
    const int want = static_cast<int>(len);
    const exchange_t read = {.cmd = CMD_READ_MEMORY,
                             .pbWrite = req.data(),
                             .cbWrite = static_cast<int>(req.size()),
                             .cbWriteSize = 1,
                             .response = REPLY_READ_MEMORY,
                             .pbRead = buf,
                             .cbMaxRead = cap,
                             .cbRead = want,
                             .cbReadSize = 4};
    if (cfg.retries == 0)
        return rexchange(read, refused);
    set_reply_byte_timeout(REPLY_BYTE_MS);
    {
        // This read's own recoveries; its halves are reads of their own.
        budget scope;
        quiet q;
        const exchange_t timed = with_deadline(read);
        for (;;) {
            const int r = exchange(timed);
            if (r == want)
                return r;
            // An answer of another length is a size field the line changed.
            const char *fault = r >= 0 ? "answer length wrong" : fault_of(CMD_READ_MEMORY);
            // kestrel reads only inside the user MAT, and one unit is the
            // least any device reads: refusing either is the line's doing.
            if (fault == nullptr && inside_user_mat(address, len) &&
                (refused_with(CMD_READ_MEMORY, ERROR_ADDRESS) ||
                 (refused_with(CMD_READ_MEMORY, ERROR_SIZE) && len <= cfg.unit)))
                fault = "refused for a read it was not sent";
            if (fault == nullptr) {
                if (refused != nullptr)
                    *refused = exchange_refused();
                return give_up(r);
            }
            if (!take(CMD_READ_MEMORY, fault))
                return r >= 0 ? r : give_up(r);
            settled_status(max_probes());
            if (len > cfg.unit)
                break;
        }
    }
    // In halves, each a whole number of units: the data of the first stay at
    // the start of buf while the second is read behind them.
    const uint32_t half = (len / cfg.unit / 2) * cfg.unit;
    const int a = rread_memory(address, half, buf, cap, refused);
    if (a != static_cast<int>(half))
        return a < 0 ? a : -4;
    const int b =
        rread_memory(address + half, len - half, buf + half, cap - static_cast<int>(half), refused);
    if (b != static_cast<int>(len - half))
        return b < 0 ? b : -4;
    return want;
}

bool unit_reads_right(uint32_t page)
{
    if (cfg.retries == 0 || rereads >= cfg.retries)
        return false;
    budget scope;
    quiet q;
    if (unit_outcome(page) != UNIT_PROGRAMMED)
        return false;
    report_recovery(CMD_READ_MEMORY, "read changed unseen, read again", ++rereads);
    return true;
}

int repair_block(uint32_t page, uint32_t *first)
{
    if (cfg.retries == 0 || repairs >= cfg.retries)
        return -1;
    ++repairs;
    report_recovery(CMD_READ_MEMORY, "flash differs from the image", repairs);
    if (erase_and_reprogram(page, page_count(), first) < 0 || end_programming() < 0)
        return -1;
    return 0;
}

int repair_whole_mat()
{
    if (cfg.retries == 0)
        return -1;
    static std::array<uint8_t, 65536 + 6> buf;
    const uint32_t unit = cfg.unit;
    uint32_t per_read = cfg.read_size != 0 ? cfg.read_size : 4096;
    per_read = per_read < unit ? unit : per_read / unit * unit;
    if (per_read > 65536)
        per_read = 65536 / unit * unit;
    int repaired = 0;
    for (size_t i = 0; i < cfg.areas; ++i) {
        if (cfg.area_first[i] >= cfg.size)
            continue;
        const uint32_t last = cfg.area_last[i] < cfg.size ? cfg.area_last[i] : cfg.size - 1;
        const uint32_t end = last / unit + 1; // pages up to the one that holds last
        for (uint32_t page = cfg.area_first[i] / unit; page < end;) {
            const uint32_t run = end - page < per_read / unit ? end - page : per_read / unit;
            bool refused = false;
            const int n = rread_memory(page * unit, run * unit, buf.data(),
                                       static_cast<int>(buf.size()), &refused);
            if (n != static_cast<int>(run * unit))
                return -1;
            uint32_t next = page + run;
            for (uint32_t k = 0; k < run; ++k) {
                if (memcmp(buf.data() + static_cast<size_t>(k) * unit,
                           cfg.mem + static_cast<size_t>(page + k) * unit, unit) == 0 ||
                    unit_reads_right(page + k))
                    continue;
                uint32_t first = 0;
                if (repair_block(page + k, &first) < 0)
                    return -1;
                ++repaired;
                uint8_t block = 0;
                uint32_t block_last = 0;
                block_of(page + k, &block, &first, &block_last);
                next = block_last + 1; // the rest of the block was just programmed again
                break;
            }
            page = next;
        }
    }
    return repaired;
}
