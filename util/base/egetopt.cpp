// Table-driven parser of short and long command-line options.
#include "egetopt.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "error.h"

namespace
{

// Display name of the option in the last error report; 63 characters at most.
char option_name[64];

// Value arrays of up to this many values (and the null) live on the stack; a
// longer run of values, only possible with that many arguments on the line,
// gets a heap array that is freed again before handle_option returns.
constexpr int local_values = 15;

constexpr uint32_t u32_max = 0xFFFFFFFFu;

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int digit_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z')
        return c - 'A' + 10;
    return 99;
}

/* Converts s the way strtoul does on a host whose unsigned long is 32 bits
 * wide: white space, an optional sign ('-' negates modulo 2^32), "0x"/"0X"
 * in radix 16 when a hex digit follows, then digits. A magnitude above 32 bits
 * gives 4294967295. *end is left at the first character not converted, or at
 * s itself when there are no digits. */
uint32_t convert_u32(char *s, int radix, char **end)
{
    char *p = s;
    while (is_space(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (radix == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && digit_value(p[2]) < 16)
        p += 2;
    char *first_digit = p;
    uint64_t magnitude = 0;
    bool overflow = false;
    for (int d; (d = digit_value(*p)) < radix; ++p) {
        magnitude = magnitude * static_cast<unsigned>(radix) + static_cast<unsigned>(d);
        if (magnitude > u32_max) {
            overflow = true;
            magnitude = u32_max; // keeps the product within 64 bits
        }
    }
    if (p == first_digit) {
        *end = s;
        return 0;
    }
    *end = p;
    if (overflow)
        return u32_max;
    uint32_t value = static_cast<uint32_t>(magnitude);
    return negative ? 0u - value : value;
}

} // namespace

const char *get_option_name(const opt_desc *opt)
{
    if (opt->opt_long != nullptr)
        snprintf(option_name, sizeof option_name, "--%s", opt->opt_long);
    else
        snprintf(option_name, sizeof option_name, "-%c", opt->opt_char);
    return option_name;
}

const opt_desc *find_option_short(const opt_desc *opts, int ch)
{
    for (const opt_desc *opt = opts; opt->opt_type != OPT_TYPE_END; ++opt) {
        if (opt->opt_char == ch)
            return opt;
    }
    return nullptr;
}

const opt_desc *find_option_long(const opt_desc *opts, const char *str)
{
    for (const opt_desc *opt = opts; opt->opt_type != OPT_TYPE_END; ++opt) {
        if (opt->opt_long != nullptr && strcmp(opt->opt_long, str) == 0)
            return opt;
    }
    return nullptr;
}

int handle_int_option(const opt_desc *opt, int idx, char **args)
{
    int radix = (opt->opt_flags & OPT_FLAG_HEX) != 0 ? 16 : 10;
    char *text = args[idx];
    char *end = nullptr;
    uint32_t value = convert_u32(text, radix, &end);
    // A C-style long suffix: "10L" reads as 10.
    if (end[0] == 'L' && end[1] == '\0')
        end[0] = '\0';
    if (end[0] != '\0' || ((opt->opt_flags & OPT_FLAG_NONZERO) != 0 && value == 0)) {
        set_local_errno(ERR_OPTION_INVALID_VALUE, " for option %s: %s", get_option_name(opt), text);
        return -1;
    }
    switch (opt->opt_flags & OPT_FLAG_SIZE_MASK) {
    case OPT_FLAG_SIZE_INT:
    case OPT_FLAG_SIZE_LONG:
        static_cast<int *>(opt->opt_ptr)[idx] = static_cast<int>(value);
        return 0;
    case OPT_FLAG_SIZE_CHAR:
        if (value > 0xFFu)
            break;
        static_cast<uint8_t *>(opt->opt_ptr)[idx] = static_cast<uint8_t>(value);
        return 0;
    case OPT_FLAG_SIZE_SHORT:
        if (value > 0xFFFFu)
            break;
        static_cast<uint16_t *>(opt->opt_ptr)[idx] = static_cast<uint16_t>(value);
        return 0;
    default:
        ASSERT(0);
        return -1;
    }
    set_local_errno(ERR_OPTION_INVALID_VALUE, " for option %s:", get_option_name(opt));
    return -1;
}

namespace
{

// Frees a value array that did not fit on the stack.
struct heap_values {
    char **p = nullptr;
    ~heap_values() { free(p); }
};

} // namespace

int handle_option(const opt_desc *opt, char **args)
{
    ASSERT(opt->opt_minarg <= opt->opt_maxarg);
    ASSERT(opt->opt_ptr);

    // The values are the leading entries of args that do not look like options.
    int navail = 0;
    while (navail < opt->opt_maxarg && args[navail] != nullptr && args[navail][0] != '-')
        ++navail;
    if (navail < opt->opt_minarg) {
        set_local_errno(ERR_OPTION_NOT_ENOUGH_ARGS, ": %s", get_option_name(opt));
        return -1;
    }

    // The array is sized by the values found, not by opt_maxarg, which a table
    // may set far beyond any command line.
    char *local[local_values + 1];
    heap_values heap;
    char **values = local;
    if (navail > local_values) {
        heap.p = static_cast<char **>(malloc((navail + 1) * sizeof(char *)));
        if (heap.p == nullptr) {
            set_local_errno(ERR_UNABLE_TO_ALLOCATE_BUFFER, " for option %s", get_option_name(opt));
            return -1;
        }
        values = heap.p;
    }
    memcpy(values, args, navail * sizeof(char *));
    values[navail] = nullptr;

    switch (opt->opt_type) {
    case OPT_TYPE_BOOLEAN:
        ASSERT(opt->opt_minarg == 0 && opt->opt_maxarg == 0);
        *static_cast<int *>(opt->opt_ptr) = 1;
        return 0;
    case OPT_TYPE_COUNTER:
        ASSERT(opt->opt_minarg == 0 && opt->opt_maxarg == 0);
        ++*static_cast<int *>(opt->opt_ptr);
        return 0;
    case OPT_TYPE_INTEGER:
        ASSERT(navail >= 1);
        for (int idx = 0; idx < navail; ++idx) {
            if (handle_int_option(opt, idx, values) < 0)
                return -1;
        }
        return navail;
    case OPT_TYPE_STRING:
        ASSERT(opt->opt_minarg == 1 && opt->opt_maxarg == 1);
        *static_cast<char **>(opt->opt_ptr) = values[0];
        return 1;
    case OPT_TYPE_MULTIPLE: {
        // Handed over to the caller for good; a repeated option leaves the older array be.
        auto *list = static_cast<char **>(malloc((navail + 1) * sizeof(char *)));
        if (list == nullptr) {
            set_local_errno(ERR_UNABLE_TO_ALLOCATE_BUFFER, " for option %s", get_option_name(opt));
            return -1;
        }
        memcpy(list, values, (navail + 1) * sizeof(char *));
        *static_cast<char ***>(opt->opt_ptr) = list;
        return navail;
    }
    case OPT_TYPE_FUNCTION: {
        auto func = reinterpret_cast<opt_func_t>(opt->opt_ptr);
        int nhandled = func(opt, navail, values);
        if (nhandled < 0)
            return -1;
        ASSERT(nhandled <= navail && nhandled >= opt->opt_minarg);
        return nhandled;
    }
    case OPT_TYPE_USAGE:
        reinterpret_cast<void (*)()>(opt->opt_ptr)();
        exit(0);
    default:
        ASSERT(0);
        return -1;
    }
}

int egetopt(const opt_desc *opts, char **argv, char ***pnextarg)
{
    int i = 0;
    while (argv[i] != nullptr) {
        char *p = argv[i];
        if (p[0] != '-' || p[1] == '\0')
            break;
        if (p[1] == '-' && p[2] == '\0') {
            ++i;
            break;
        }
        if (p[1] == '-') {
            char *name = p + 2;
            char *eq = strchr(name, '=');
            if (eq != nullptr)
                *eq = '\0';
            const opt_desc *opt = find_option_long(opts, name);
            if (opt == nullptr) {
                set_local_errno(ERR_UNKNOWN_OPTION, ": --%s", name);
                // The caller's argument is left as it was typed.
                if (eq != nullptr)
                    *eq = '=';
                return -1;
            }
            if (eq == nullptr) {
                int n = handle_option(opt, argv + i + 1);
                if (n < 0)
                    return -1;
                i += 1 + n;
                continue;
            }
            *eq = '=';
            char *tmpargs[2] = {eq + 1, nullptr};
            int n = handle_option(opt, tmpargs);
            if (n < 0)
                return -1;
            if (n == 0) {
                set_local_errno(ERR_OPTION_ACCEPTS_NO_ARG, ": --%s", name);
                return -1;
            }
            ++i;
            continue;
        }
        // A group of short options; a value may be attached to any of them.
        for (char *c = p + 1; *c != '\0'; ++c) {
            const opt_desc *opt = find_option_short(opts, *c);
            if (opt == nullptr) {
                set_local_errno(ERR_UNKNOWN_OPTION, ": -%c", *c);
                return -1;
            }
            if (c[1] == '\0') {
                int n = handle_option(opt, argv + i + 1);
                if (n < 0)
                    return -1;
                i += 1 + n;
                break;
            }
            char *tmpargs[2] = {c + 1, nullptr};
            int n = handle_option(opt, tmpargs);
            if (n < 0)
                return -1;
            if (n > 0) {
                ++i;
                break;
            }
        }
    }
    if (pnextarg != nullptr)
        *pnextarg = argv + i;
    return 0;
}
