// Recording and printing of the program's errors: the line local_perror
// writes, its result, and the state it leaves behind.
#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "error.h"

namespace
{

constexpr additional_error_t driver_like[] = {
    {static_cast<local_error_t>(16), "No images specified"},
    {static_cast<local_error_t>(17), "No serial interface specified"},
    {ERR_SUCCESS, nullptr},
};
constexpr additional_error_t empty_first[] = {
    {static_cast<local_error_t>(16), nullptr},
    {static_cast<local_error_t>(17), "never reached"},
    {ERR_SUCCESS, nullptr},
};
// Lists codes of the module's own, a duplicate, and an entry after the end.
constexpr additional_error_t odd[] = {
    {ERR_UNKNOWN_OPTION, "not the module's text"},
    {static_cast<local_error_t>(20), "first twenty"},
    {static_cast<local_error_t>(20), "second twenty"},
    {static_cast<local_error_t>(-1), "minus one"},
    {ERR_SUCCESS, nullptr},
    {static_cast<local_error_t>(21), "past the end"},
};

class ErrorReport : public testing::Test
{
  protected:
    void SetUp() override
    {
        set_local_errno(ERR_SUCCESS, nullptr);
        additional_errlist = nullptr;
        errno = 0;
    }
    void TearDown() override { additional_errlist = nullptr; }

    // Runs local_perror(prefix) and returns what it wrote on stderr.
    std::string report(const char *prefix, int *result)
    {
        testing::internal::CaptureStderr();
        *result = local_perror(prefix);
        return testing::internal::GetCapturedStderr();
    }
};

struct ReportCase {
    const char *name;
    const additional_error_t *table;
    int sys_errno;    // errno before the report
    bool pending;     // whether a code is recorded first
    int code;         // the code recorded
    const char *text; // the detail, formatted through "%s"; null: no detail format
    const char *prefix;
    const char *expected;
    int result;
};

void PrintTo(const ReportCase &c, std::ostream *os)
{
    *os << c.name;
}

const std::string enoent = strerror(ENOENT);

const ReportCase report_cases[] = {
    {"NothingPendingPrintsSuccess", nullptr, 0, false, 0, nullptr, "p", "p: Success (0)\n", 0},
    {"CodeWithDetail", nullptr, 0, true, 2, ": -x", "p", "p: Unknown option: -x (2)\n", 2},
    {"CodeWithoutDetail", nullptr, 0, true, 11, nullptr, "p",
     "p: Target serial device does not respond (11)\n", 11},
    {"EmptyPrefixHasNoSeparator", nullptr, 0, true, 2, ": -x", "", "Unknown option: -x (2)\n", 2},
    {"NullPrefixHasNoSeparator", nullptr, 0, true, 15, nullptr, nullptr, "Line too long (15)\n",
     15},
    {"LastOwnCode", nullptr, 0, true, 15, " --> 3", "p", "p: Line too long --> 3 (15)\n", 15},
    {"AdditionalCodeWithoutTable", nullptr, 0, true, 16, nullptr, "p", "p: Unknown error (16)\n",
     16},
    {"AdditionalCodeFromTable", driver_like, 0, true, 16, nullptr, "Command line error",
     "Command line error: No images specified (16)\n", 16},
    {"SecondAdditionalCode", driver_like, 0, true, 17, nullptr, "p",
     "p: No serial interface specified (17)\n", 17},
    {"CodeMissingFromTable", driver_like, 0, true, 18, nullptr, "p", "p: Unknown error (18)\n", 18},
    {"TableWithNullFirstEntry", empty_first, 0, true, 17, nullptr, "p", "p: Unknown error (17)\n",
     17},
    {"TableCannotRenameOwnCode", odd, 0, true, 2, ": -q", "p", "p: Unknown option: -q (2)\n", 2},
    {"FirstMatchingEntryWins", odd, 0, true, 20, nullptr, "p", "p: first twenty (20)\n", 20},
    {"EntryPastTheEndIsNotSeen", odd, 0, true, 21, nullptr, "p", "p: Unknown error (21)\n", 21},
    {"NegativeCodeIsLookedUpAsLarge", odd, 0, true, -1, nullptr, "p", "p: minus one (-1)\n", -1},
};

class ReportTable : public ErrorReport, public testing::WithParamInterface<ReportCase>
{
};

TEST_P(ReportTable, PrintsOneLineAndClears)
{
    const ReportCase &c = GetParam();
    additional_errlist = c.table;
    if (c.pending) {
        if (c.text != nullptr)
            set_local_errno(static_cast<local_error_t>(c.code), "%s", c.text);
        else
            set_local_errno(static_cast<local_error_t>(c.code), nullptr);
    }
    int result = 99;
    EXPECT_EQ(report(c.prefix, &result), c.expected);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(local_errno, ERR_SUCCESS);
    // A second report finds nothing pending, detail included.
    EXPECT_EQ(report("p", &result), "p: Success (0)\n");
    EXPECT_EQ(result, 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReportTable, testing::ValuesIn(report_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(ErrorReport, SystemErrorAloneIsPrintedByPerrorAndReturnsMinusOne)
{
    errno = ENOENT;
    int result = 0;
    EXPECT_EQ(report("p", &result), "p: " + enoent + "\n");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(report("p", &result), "p: Success (0)\n");
}

TEST_F(ErrorReport, SystemErrorComesFirstThenThePendingCode)
{
    set_local_errno(ERR_READ_EOF, " --> read %d of %d", 1, 4);
    errno = ENOENT;
    int result = 0;
    EXPECT_EQ(report("p", &result),
              "p: " + enoent + "\np: End-of-file while reading --> read 1 of 4 (13)\n");
    EXPECT_EQ(result, ERR_READ_EOF);
    EXPECT_EQ(errno, 0);
}

TEST_F(ErrorReport, SystemErrorWithNullPrefix)
{
    errno = ENOENT;
    set_local_errno(ERR_UNKNOWN, nullptr);
    int result = 0;
    EXPECT_EQ(report(nullptr, &result), enoent + "\nUnknown error (1)\n");
    EXPECT_EQ(result, ERR_UNKNOWN);
}

TEST_F(ErrorReport, RecordingLeavesErrnoAlone)
{
    errno = EINTR;
    set_local_errno(ERR_UNKNOWN_OPTION, ": -%c", 'x');
    EXPECT_EQ(errno, EINTR);
    errno = 0;
}

TEST_F(ErrorReport, LongDetailIsCutTo1022Characters)
{
    const std::string detail(2000, 'd');
    set_local_errno(ERR_LINE_TOO_LONG, "%s", detail.c_str());
    int result = 0;
    EXPECT_EQ(report("", &result), "Line too long" + detail.substr(0, 1022) + " (15)\n");
}

TEST_F(ErrorReport, DetailOf1022CharactersIsKeptWhole)
{
    const std::string detail(1022, 'd');
    set_local_errno(ERR_LINE_TOO_LONG, "%s", detail.c_str());
    int result = 0;
    EXPECT_EQ(report("", &result), "Line too long" + detail + " (15)\n");
}

TEST_F(ErrorReport, SecondRecordReplacesCodeAndDetail)
{
    set_local_errno(ERR_UNKNOWN_OPTION, ": -%c", 'x');
    set_local_errno(ERR_OPTION_INVALID_VALUE, " for option %s: %s", "--frequency", "v");
    int result = 0;
    EXPECT_EQ(report("p", &result), "p: Invalid option value for option --frequency: v (4)\n");
    EXPECT_EQ(result, ERR_OPTION_INVALID_VALUE);
}

TEST_F(ErrorReport, SecondRecordWithoutFormatEmptiesTheDetail)
{
    set_local_errno(ERR_UNKNOWN_OPTION, ": -%c", 'x');
    set_local_errno(ERR_OPTION_INVALID_VALUE, nullptr);
    int result = 0;
    EXPECT_EQ(report("p", &result), "p: Invalid option value (4)\n");
}

TEST(ErrorString, EveryOwnCodeHasItsMessage)
{
    const char *const expected[] = {
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
    for (int code = 0; code < ERR_ADDITIONAL_ERRORS; ++code)
        EXPECT_STREQ(get_error_string(static_cast<local_error_t>(code)), expected[code]) << code;
}

} // namespace
