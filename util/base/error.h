// Error codes of the program and the one way they are recorded and printed.
#pragma once

#include <cstdarg>

// Codes below ERR_ADDITIONAL_ERRORS have a message of this module; codes from
// ERR_ADDITIONAL_ERRORS on are looked up in the table installed in
// additional_errlist. The underlying type is fixed so that any int is a valid code.
enum local_error_t : int {
    ERR_SUCCESS = 0,
    ERR_UNKNOWN = 1,
    ERR_UNKNOWN_OPTION = 2,
    ERR_OPTION_NOT_ENOUGH_ARGS = 3,
    ERR_OPTION_INVALID_VALUE = 4,
    ERR_OPTION_ACCEPTS_NO_ARG = 5,
    ERR_EXTRA_ARGUMENTS = 6,
    ERR_BUFFER_NOT_DEFINED = 7,
    ERR_UNABLE_TO_ALLOCATE_BUFFER = 8,
    ERR_INPUT_FILENAME_MISSING = 9,
    ERR_TOO_MANY_IMAGE_FILENAMES = 10,
    ERR_SERIAL_TIMEOUT = 11,
    ERR_COM_SPEED_NOT_SUPPORTED = 12,
    ERR_READ_EOF = 13,
    ERR_WRITE_EOF = 14,
    ERR_LINE_TOO_LONG = 15,
    ERR_ADDITIONAL_ERRORS = 16,
};

// One entry of an additional table; an entry whose str is null ends the table.
struct additional_error_t {
    local_error_t code;
    const char *str;
};

// The pending code: ERR_SUCCESS at start and after each report.
extern local_error_t local_errno;

// The additional table, or null. Owned by whoever installs it.
extern const additional_error_t *additional_errlist;

/* set_local_errno
 * Records err as the pending error, replacing any earlier one. fmt (printf
 * conventions, may be null) formats the detail text that is printed right after
 * the message; it should begin with its own separator. At most 1022 characters
 * are kept. errno is neither read nor changed. */
void set_local_errno(local_error_t err, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

/* local_perror
 * If errno is non-zero, prints the system's message for it with perror(s) and
 * clears errno; returns -1 at once when no code is pending. Otherwise prints one
 * line on stderr, "<s>: <message><detail> (<code>)" (no ": " when s is null or
 * empty), clears the pending error and returns the code printed. */
int local_perror(const char *s);

/* get_error_string
 * The message of lerrno: the module's own below 16, else the first matching
 * entry of additional_errlist, else "Unknown error". Never null. */
const char *get_error_string(local_error_t lerrno);

/* local_assert_fail
 * Prints "<program>: <file>:<line>: <function>: Assertion `<expr>' failed." on stderr
 * and aborts. Used by ASSERT, which stays active whatever NDEBUG says. */
[[noreturn]] void local_assert_fail(const char *expr, const char *file, int line,
                                    const char *function);

// An internal invariant: never reached by input. Active in every build type.
#define ASSERT(expr)                                                                               \
    ((expr) ? static_cast<void>(0) : local_assert_fail(#expr, __FILE__, __LINE__, __func__))
