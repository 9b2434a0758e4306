// The --boot and --run sequences: parsed while the command line is read, run
// around the upgrade on the port's modem lines and the host's GPIO lines.
#include "boot-lines.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "error.h"
#include "gpio-linux.h"
#include "kestrel.h"
#include "serial-linux.h"

namespace
{

struct step_name_t {
    const char *name;
    boot_step_e kind;
};

constexpr step_name_t step_names[] = {
    {"dtr", STEP_DTR},   {"rts", STEP_RTS},   {"break", STEP_BREAK},
    {"wait", STEP_WAIT}, {"gpio", STEP_GPIO},
};

// A step's text within the sequence and its position (from 1), for messages.
struct step_text_t {
    const char *p;
    int len;
    int number;
};

// A value that is exactly "0" or "1".
bool parse_level(const char *p, size_t n, uint8_t *level)
{
    if (n != 1 || (p[0] != '0' && p[0] != '1'))
        return false;
    *level = static_cast<uint8_t>(p[0] - '0');
    return true;
}

// Decimal digits only, at least one: 0 and the value, or -1 not a number, or
// -2 above max. Leading zeros are allowed and do not mean octal.
int parse_decimal(const char *p, size_t n, uint32_t max, uint32_t *value)
{
    if (n == 0)
        return -1;
    uint32_t v = 0;
    bool over = false;
    for (size_t i = 0; i < n; ++i) {
        if (p[i] < '0' || p[i] > '9')
            return -1;
        if (!over)
            v = v * 10 + static_cast<uint32_t>(p[i] - '0');
        over = over || v > max;
    }
    if (over)
        return -2;
    *value = v;
    return 0;
}

// Records the error of step st; why is the reason after the step's text.
int bad_step(const char *option, const step_text_t &st, const char *why)
{
    set_local_errno(ERR_OPTION_INVALID_VALUE, " for option %s: step %d '%.*s': %s", option,
                    st.number, st.len, st.p, why);
    return -1;
}

int parse_ms(const char *option, const step_text_t &st, const char *v, size_t n, uint32_t min,
             boot_step_t *step)
{
    const int r = parse_decimal(v, n, STEP_MAX_MS, &step->value);
    if (r == -1)
        return bad_step(option, st, "milliseconds must be a decimal number");
    if (r == -2 || step->value < min) {
        set_local_errno(ERR_OPTION_INVALID_VALUE,
                        " for option %s: step %d '%.*s': milliseconds must be %u to %u", option,
                        st.number, st.len, st.p, static_cast<unsigned>(min),
                        static_cast<unsigned>(STEP_MAX_MS));
        return -1;
    }
    return 0;
}

// gpio=CHIP:LINE=LEVEL; the chip is everything up to the last colon, so that a
// label or path with a colon in it still works.
int parse_gpio(const char *option, const step_text_t &st, const char *v, size_t n,
               boot_step_t *step)
{
    const char *eq = static_cast<const char *>(memrchr(v, '=', n));
    const char *colon =
        eq != nullptr ? static_cast<const char *>(memrchr(v, ':', eq - v)) : nullptr;
    if (colon == nullptr || colon == v || colon + 1 == eq)
        return bad_step(option, st, "expected gpio=CHIP:LINE=0 or gpio=CHIP:LINE=1");
    const size_t chiplen = static_cast<size_t>(colon - v);
    if (chiplen >= STEP_CHIP_SIZE) {
        set_local_errno(ERR_OPTION_INVALID_VALUE,
                        " for option %s: step %d '%.*s': chip longer than %zu characters", option,
                        st.number, st.len, st.p, STEP_CHIP_SIZE - 1);
        return -1;
    }
    const int r =
        parse_decimal(colon + 1, static_cast<size_t>(eq - colon - 1), STEP_MAX_LINE, &step->value);
    if (r == -1)
        return bad_step(option, st, "the line offset must be a decimal number");
    if (r == -2)
        return bad_step(option, st, "the line offset must be 0 to 65535");
    if (!parse_level(eq + 1, n - static_cast<size_t>(eq + 1 - v), &step->level))
        return bad_step(option, st, "the level must be 0 or 1");
    memcpy(step->chip, v, chiplen);
    step->chip[chiplen] = '\0';
    return 0;
}

int parse_step(const char *option, const step_text_t &st, boot_step_t *step)
{
    if (st.len == 0) {
        set_local_errno(ERR_OPTION_INVALID_VALUE, " for option %s: step %d is empty", option,
                        st.number);
        return -1;
    }
    const char *eq = static_cast<const char *>(memchr(st.p, '=', static_cast<size_t>(st.len)));
    const size_t keylen =
        eq != nullptr ? static_cast<size_t>(eq - st.p) : static_cast<size_t>(st.len);
    const step_name_t *known = nullptr;
    for (const step_name_t &s : step_names) {
        if (strlen(s.name) == keylen && memcmp(s.name, st.p, keylen) == 0)
            known = &s;
    }
    if (known == nullptr)
        return bad_step(option, st, "unknown step (dtr, rts, break, wait or gpio)");
    const char *v = eq != nullptr ? eq + 1 : st.p + st.len;
    const size_t n = static_cast<size_t>(st.p + st.len - v);
    if (eq == nullptr || n == 0)
        return bad_step(option, st, "missing value");
    step->kind = known->kind;
    switch (known->kind) {
    case STEP_DTR:
    case STEP_RTS:
        if (!parse_level(v, n, &step->level))
            return bad_step(option, st, "the level must be 0 or 1");
        return 0;
    case STEP_BREAK:
        return parse_ms(option, st, v, n, STEP_MIN_BREAK_MS, step);
    case STEP_WAIT:
        return parse_ms(option, st, v, n, 0, step);
    case STEP_GPIO:
        return parse_gpio(option, st, v, n, step);
    }
    return -1;
}

int set_sequence(const opt_desc *opt, char **args, boot_seq_t **target)
{
    ASSERT(args[0] != nullptr);
    boot_seq_t seq{};
    if (parse_sequence(args[0], get_option_name(opt), &seq) < 0)
        return -1;
    boot_seq_t *rec = static_cast<boot_seq_t *>(malloc(sizeof(boot_seq_t)));
    if (rec == nullptr) {
        free(seq.steps);
        set_local_errno(ERR_UNABLE_TO_ALLOCATE_BUFFER, nullptr);
        return -1;
    }
    *rec = seq;
    if (*target != nullptr)
        free((*target)->steps);
    free(*target);
    *target = rec;
    return 1;
}

// Sleeps ms milliseconds on the monotonic clock, whatever signals interrupt it.
void pause_ms(uint32_t ms)
{
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += static_cast<time_t>(ms / 1000);
    until.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

bool uses_port(const boot_step_t &step)
{
    return step.kind == STEP_DTR || step.kind == STEP_RTS || step.kind == STEP_BREAK;
}

// Why the port refused a step, from errno.
void port_failure(const char *what, const char *device, char *why, size_t n)
{
    if (errno == ENOTTY)
        snprintf(why, n, "%s has no modem lines (%s)", device, strerror(errno));
    else
        snprintf(why, n, "cannot %s on %s: %s", what, device, strerror(errno));
}

// Carries out one step. Returns 0, or -1 with the reason in why.
int run_step(const boot_step_t &step, const char *device, char *why, size_t n)
{
    switch (step.kind) {
    case STEP_DTR:
    case STEP_RTS: {
        const bool dtr = step.kind == STEP_DTR;
        if (serial_set_line(dtr ? SERIAL_LINE_DTR : SERIAL_LINE_RTS, step.level) == 0)
            return 0;
        port_failure(dtr ? "drive DTR" : "drive RTS", device, why, n);
        return -1;
    }
    case STEP_BREAK:
        if (serial_set_break(1) < 0) {
            port_failure("send a break", device, why, n);
            return -1;
        }
        pause_ms(step.value);
        if (serial_set_break(0) < 0) {
            port_failure("end the break", device, why, n);
            return -1;
        }
        return 0;
    case STEP_WAIT:
        pause_ms(step.value);
        return 0;
    case STEP_GPIO:
        break;
    }
    const unsigned line = step.value;
    switch (gpio_set_line(step.chip, line, step.level)) {
    case 0:
        return 0;
    case GPIO_NO_CHIP:
        snprintf(why, n, "no GPIO chip '%s' (%s)", step.chip, strerror(errno));
        break;
    case GPIO_NO_LINE:
        snprintf(why, n, "GPIO chip '%s' has no line %u", step.chip, line);
        break;
    case GPIO_NOT_GRANTED:
        snprintf(why, n, "line %u of GPIO chip '%s' cannot be requested: %s", line, step.chip,
                 strerror(errno));
        break;
    case GPIO_NOT_SET:
        snprintf(why, n, "line %u of GPIO chip '%s' cannot be set: %s", line, step.chip,
                 strerror(errno));
        break;
    default:
        snprintf(why, n, "too many GPIO chips");
        break;
    }
    return -1;
}

// Runs every step of seq in order; at the first failure writes "step N 'text':
// reason" into why and returns -1. device names the port in messages.
int run_steps(const boot_seq_t *seq, const char *device, char *why, size_t n)
{
    char reason[512];
    for (int i = 0; i < seq->count; ++i) {
        if (run_step(seq->steps[i], device, reason, sizeof reason) < 0) {
            char text[STEP_CHIP_SIZE + 32];
            format_step(&seq->steps[i], text, sizeof text);
            snprintf(why, n, "step %d '%s': %s", i + 1, text, reason);
            return -1;
        }
    }
    return 0;
}

} // namespace

int parse_sequence(const char *text, const char *option, boot_seq_t *seq)
{
    ASSERT(text != nullptr && option != nullptr && seq != nullptr);
    if (text[0] == '\0') {
        set_local_errno(ERR_OPTION_INVALID_VALUE, " for option %s: empty sequence", option);
        return -1;
    }
    int count = 1;
    for (const char *p = text; *p != '\0'; ++p)
        count += *p == ',' ? 1 : 0;
    boot_step_t *steps =
        static_cast<boot_step_t *>(calloc(static_cast<size_t>(count), sizeof *steps));
    if (steps == nullptr) {
        set_local_errno(ERR_UNABLE_TO_ALLOCATE_BUFFER, nullptr);
        return -1;
    }
    const char *p = text;
    for (int i = 0; i < count; ++i) {
        const size_t len = strcspn(p, ",");
        const step_text_t st{p, static_cast<int>(len), i + 1};
        if (parse_step(option, st, &steps[i]) < 0) {
            free(steps);
            return -1;
        }
        p += len + 1;
    }
    seq->count = count;
    seq->steps = steps;
    return 0;
}

int set_boot_sequence(const opt_desc *opt, int argc, char **args)
{
    (void)argc;
    return set_sequence(opt, args, &cfg.boot_seq);
}

int set_run_sequence(const opt_desc *opt, int argc, char **args)
{
    (void)argc;
    return set_sequence(opt, args, &cfg.run_seq);
}

void format_step(const boot_step_t *step, char *buf, size_t n)
{
    const unsigned v = step->value;
    switch (step->kind) {
    case STEP_DTR:
        snprintf(buf, n, "dtr=%u", step->level);
        return;
    case STEP_RTS:
        snprintf(buf, n, "rts=%u", step->level);
        return;
    case STEP_BREAK:
        snprintf(buf, n, "break=%u", v);
        return;
    case STEP_WAIT:
        snprintf(buf, n, "wait=%u", v);
        return;
    case STEP_GPIO:
        snprintf(buf, n, "gpio=%s:%u=%u", step->chip, v, step->level);
        return;
    }
}

int boot_sequence(const boot_seq_t *seq, const char *device)
{
    if (seq == nullptr)
        return 0;
    char why[768];
    // The port is opened and configured before the first step: opening a
    // serial port asserts DTR and RTS, and a port left with hardware flow
    // control would drive RTS itself, so both happen before the steps set
    // the levels the board is to see.
    for (int i = 0; i < seq->count; ++i) {
        if (!uses_port(seq->steps[i]))
            continue;
        const int fd = serial_open(device);
        if (fd == SERIAL_PORT_BUSY) {
            printf("Port %s is in use by another program\n", device);
            return -1;
        }
        if (fd < 0 || serial_set_param("9600") < 0) {
            char text[STEP_CHIP_SIZE + 32];
            format_step(&seq->steps[i], text, sizeof text);
            printf("Failed to run the boot sequence: step %d '%s': cannot open port %s: %s\n",
                   i + 1, text, device, strerror(errno));
            return -1;
        }
        break;
    }
    if (run_steps(seq, device, why, sizeof why) < 0) {
        printf("Failed to run the boot sequence: %s\n", why);
        return -1;
    }
    return 0;
}

int run_sequence(const boot_seq_t *seq)
{
    if (seq == nullptr)
        return 0;
    char why[768];
    if (run_steps(seq, cfg.device, why, sizeof why) < 0) {
        char detail[sizeof why + 64];
        snprintf(detail, sizeof detail, "%s; the flash upgrade itself is complete", why);
        printf("Failed to run the run sequence: %s\n", detail);
        return -1;
    }
    return 0;
}
