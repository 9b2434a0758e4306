// Error recording and reporting: at most one pending error, printed once.
#include "error.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

local_error_t local_errno = ERR_SUCCESS;
const additional_error_t *additional_errlist = nullptr;

namespace
{

char errno_subinfo[1024] = "";

constexpr const char *local_errlist[ERR_ADDITIONAL_ERRORS] = {
    "Success",
    "Unknown error",
    "Unknown option",
    "Not enough arguments for an option",
    "Invalid option value",
    "Option accepts no arguments",
    "Extra arguments on command line",
    "Message buffer pointer is null",
    "Unable to allocate buffer",
    "Firmware image file name is missing",
    "Too many image filenames",
    "Target serial device does not respond",
    "Specified communication speed is not supported by device",
    "End-of-file while reading",
    "End-of-file while writing",
    "Line too long",
};

constexpr const char zero_string[] = "";
constexpr const char separator_string[] = ": ";

} // namespace

void set_local_errno(local_error_t err, const char *fmt, ...)
{
    local_errno = err;
    errno_subinfo[0] = '\0';
    if (fmt == nullptr)
        return;
    va_list ap;
    va_start(ap, fmt);
    // One byte less than the buffer: at most 1022 characters are kept. ap was
    // started just above; the analyzer misreads the array-typed x86-64 va_list.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    int n = vsnprintf(errno_subinfo, sizeof errno_subinfo - 1, fmt, ap);
    va_end(ap);
    if (n < 0)
        errno_subinfo[0] = '\0';
}

const char *get_error_string(local_error_t lerrno)
{
    if (static_cast<unsigned>(lerrno) < ERR_ADDITIONAL_ERRORS)
        return local_errlist[lerrno];
    const additional_error_t *e = additional_errlist;
    if (e == nullptr)
        return local_errlist[ERR_UNKNOWN];
    for (; e->str != nullptr; ++e) {
        if (e->code == lerrno)
            return e->str;
    }
    return local_errlist[ERR_UNKNOWN];
}

int local_perror(const char *s)
{
    if (errno != 0) {
        perror(s);
        errno = 0;
        if (local_errno == ERR_SUCCESS)
            return -1;
    }
    const char *sep = (s != nullptr && s[0] != '\0') ? separator_string : zero_string;
    local_error_t code = local_errno;
    fprintf(stderr, "%s%s%s%s (%i)\n", s != nullptr ? s : zero_string, sep, get_error_string(code),
            errno_subinfo, static_cast<int>(code));
    errno_subinfo[0] = '\0';
    local_errno = ERR_SUCCESS;
    return code;
}

void local_assert_fail(const char *expr, const char *file, int line, const char *function)
{
    fprintf(stderr, "%s: %s:%d: %s: Assertion `%s' failed.\n", program_invocation_short_name, file,
            line, function, expr);
    fflush(stderr);
    abort();
}
