// The option parser over a table that uses every kind of option, over the
// driver's own table, and its assertions on malformed tables.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "egetopt.h"
#include "error.h"
#include "kestrel-cmdline.h"
#include "kestrel.h"

namespace
{

// ---- Harness ---------------------------------------------------------------

// Writable copies of the arguments, as a null-terminated vector.
class Argv
{
  public:
    explicit Argv(const std::vector<const char *> &args)
    {
        for (const char *a : args)
            texts_.emplace_back(a, a + strlen(a) + 1);
        for (auto &t : texts_)
            ptrs_.push_back(t.data());
        ptrs_.push_back(nullptr);
    }
    char **argv() { return ptrs_.data(); }
    // The texts as they are now, joined by '|'.
    std::string joined() const
    {
        std::string s;
        for (size_t i = 0; i + 1 < ptrs_.size(); ++i) {
            if (i != 0)
                s += '|';
            s += ptrs_[i];
        }
        return s;
    }

  private:
    std::vector<std::vector<char>> texts_;
    std::vector<char *> ptrs_;
};

struct Outcome {
    std::unique_ptr<Argv> argv; // the texts stored pointers refer to
    int rc;
    int next;          // index of *pnextarg in argv, -1 when left unwritten
    std::string error; // local_perror("") output, empty when nothing is pending
    std::string after; // the argument texts after the parse
};

Outcome run_parser(const opt_desc *table, const std::vector<const char *> &args)
{
    set_local_errno(ERR_SUCCESS, nullptr);
    Outcome out;
    out.argv = std::make_unique<Argv>(args);
    Argv &argv = *out.argv;
    char **sentinel = reinterpret_cast<char **>(&out); // never a position in argv
    char **next = sentinel;
    out.rc = egetopt(table, argv.argv(), &next);
    out.next = next == sentinel ? -1 : static_cast<int>(next - argv.argv());
    if (local_errno != ERR_SUCCESS) {
        testing::internal::CaptureStderr();
        local_perror("");
        out.error = testing::internal::GetCapturedStderr();
    }
    out.after = argv.joined();
    return out;
}

// ---- A table with every kind -------------------------------------------------

constexpr int unset = 99; // start value of every integer target

struct Targets {
    int flag = 0;
    int count = 0;
    int nums[3] = {unset, unset, unset};
    uint8_t byte = unset;
    uint16_t word = unset;
    int nonzero = unset;
    uint8_t small = unset;
    char *text = nullptr;
    char **list = nullptr;
    std::string calls;
};
Targets t;

// The callbacks log what they are given: name[v1,v2] with '!' if unterminated.
void log_call(const char *name, int argc, char **args)
{
    t.calls += std::string(t.calls.empty() ? "" : " ") + name + "[";
    for (int i = 0; i < argc; ++i)
        t.calls += std::string(i != 0 ? "," : "") + args[i];
    t.calls += args[argc] == nullptr ? "]" : "!]";
}
int take_all(const opt_desc *, int argc, char **args)
{
    log_call("all", argc, args);
    return argc;
}
int take_one(const opt_desc *, int argc, char **args)
{
    log_call("one", argc, args);
    return argc > 0 ? 1 : 0;
}
int take_none(const opt_desc *, int argc, char **args)
{
    log_call("peek", argc, args);
    return 0;
}
int refuse(const opt_desc *opt, int argc, char **args)
{
    log_call("fail", argc, args);
    set_local_errno(ERR_OPTION_INVALID_VALUE, " for option %s: refused", get_option_name(opt));
    return -1;
}
void print_usage()
{
    fprintf(stderr, "usage called\n");
}

void *fn(opt_func_t f)
{
    return reinterpret_cast<void *>(f);
}

const opt_desc every_kind[] = {
    {'b', "bool", OPT_TYPE_BOOLEAN, 0, 0, 0, &t.flag},
    {'c', "count", OPT_TYPE_COUNTER, 0, 0, 0, &t.count},
    {'n', "num", OPT_TYPE_INTEGER, 1, 3, 0, t.nums},
    {'x', "hex", OPT_TYPE_INTEGER, 1, 1, OPT_FLAG_HEX | OPT_FLAG_SIZE_CHAR, &t.byte},
    {'w', "word", OPT_TYPE_INTEGER, 1, 1, OPT_FLAG_SIZE_SHORT | 0x80, &t.word},
    {'z', "nonzero", OPT_TYPE_INTEGER, 1, 1, OPT_FLAG_NONZERO | OPT_FLAG_SIZE_LONG, &t.nonzero},
    {'N', nullptr, OPT_TYPE_INTEGER, 1, 1, OPT_FLAG_NONZERO | OPT_FLAG_SIZE_CHAR, &t.small},
    {'t', "text", OPT_TYPE_STRING, 1, 1, 0, &t.text},
    {'m', "many", OPT_TYPE_MULTIPLE, 0, 4, 0, &t.list},
    {'a', "all", OPT_TYPE_FUNCTION, 0, 3, 0, fn(take_all)},
    {'o', "one", OPT_TYPE_FUNCTION, 1, 2, 0, fn(take_one)},
    {'k', "peek", OPT_TYPE_FUNCTION, 0, 1, 0, fn(take_none)},
    {'e', "fail", OPT_TYPE_FUNCTION, 0, 1, 0, fn(refuse)},
    {'h', "help", OPT_TYPE_USAGE, 0, 0, 0, reinterpret_cast<void *>(&print_usage)},
    {0, "long-only", OPT_TYPE_COUNTER, 0, 0, 0, &t.count},
    {0, nullptr, OPT_TYPE_END, 0, 0, 0, nullptr},
    {'q', "after-end", OPT_TYPE_BOOLEAN, 0, 0, 0, &t.flag},
};

// The targets that differ from their start values, e.g. "flag=1 nums=5,99,99".
std::string stored()
{
    std::string s;
    auto add = [&s](const std::string &item) { s += (s.empty() ? "" : " ") + item; };
    if (t.flag != 0)
        add("flag=" + std::to_string(t.flag));
    if (t.count != 0)
        add("count=" + std::to_string(t.count));
    if (t.nums[0] != unset || t.nums[1] != unset || t.nums[2] != unset)
        add("nums=" + std::to_string(t.nums[0]) + "," + std::to_string(t.nums[1]) + "," +
            std::to_string(t.nums[2]));
    if (t.byte != unset)
        add("byte=" + std::to_string(t.byte));
    if (t.word != unset)
        add("word=" + std::to_string(t.word));
    if (t.nonzero != unset)
        add("nonzero=" + std::to_string(t.nonzero));
    if (t.small != unset)
        add("small=" + std::to_string(t.small));
    if (t.text != nullptr)
        add("text='" + std::string(t.text) + "'");
    if (t.list != nullptr) {
        std::string l = "list=[";
        for (char **p = t.list; *p != nullptr; ++p) {
            if (p != t.list)
                l += ',';
            l += *p;
        }
        add(l + "]");
    }
    if (!t.calls.empty())
        add(t.calls);
    return s;
}

struct Case {
    const char *name;
    std::vector<const char *> args;
    int rc;
    int next;
    const char *stored;
    const char *error;
    const char *after = nullptr; // argument texts after the parse; null: as given
};

void PrintTo(const Case &c, std::ostream *os)
{
    *os << c.name;
}

// clang-format off
const Case every_kind_cases[] = {
    // Forms, and where the parse stops.
    {"Empty", {}, 0, 0, "", ""},
    {"Boolean", {"-b"}, 0, 1, "flag=1", ""},
    {"LongBoolean", {"--bool"}, 0, 1, "flag=1", ""},
    {"CounterGroupedAndRepeated", {"-cc", "--count", "--long-only"}, 0, 3, "count=4", ""},
    {"StopsAtNonOption", {"-b", "file", "-c"}, 0, 1, "flag=1", ""},
    {"StopsAtFirstArgument", {"a.mot", "-b"}, 0, 0, "", ""},
    {"EmptyArgumentIsNotAnOption", {"", "-b"}, 0, 0, "", ""},
    {"LoneDashIsLeft", {"-b", "-", "-c"}, 0, 1, "flag=1", ""},
    {"DoubleDashIsConsumed", {"--", "-b"}, 0, 1, "", ""},
    {"DoubleDashAfterOptions", {"-c", "--", "x"}, 0, 2, "count=1", ""},
    // Integers: counts of values, radix, widths, conversion.
    {"IntegerOneValue", {"-n", "5"}, 0, 2, "nums=5,99,99", ""},
    {"IntegerUpToMaximum", {"-n", "1", "2", "3", "4"}, 0, 4, "nums=1,2,3", ""},
    {"IntegerValuesEndAtOption", {"-n", "1", "2", "-b"}, 0, 4, "flag=1 nums=1,2,99", ""},
    {"IntegerAttached", {"-n12", "13"}, 0, 1, "nums=12,99,99", ""},
    {"IntegerAfterEquals", {"--num=7", "8"}, 0, 1, "nums=7,99,99", ""},
    {"IntegerGroupedLast", {"-bn", "4", "5"}, 0, 3, "flag=1 nums=4,5,99", ""},
    {"IntegerStoredBeforeBadValueStay", {"-n", "1", "2x"}, -1, -1, "nums=1,99,99",
     "Invalid option value for option --num: 2x (4)\n"},
    {"TrailingLIsCutInPlace", {"-n", "12L"}, 0, 2, "nums=12,99,99", "", "-n|12"},
    {"LoneLReadsAsZero", {"-n", "L"}, 0, 2, "nums=0,99,99", "", "-n|"},
    {"EmptyValueReadsAsZero", {"--num="}, 0, 1, "nums=0,99,99", ""},
    {"TwoLsAreRefused", {"-n", "12LL"}, -1, -1, "",
     "Invalid option value for option --num: 12LL (4)\n"},
    {"LInsideIsRefused", {"-n", "1L2"}, -1, -1, "",
     "Invalid option value for option --num: 1L2 (4)\n"},
    {"TrailingJunkIsRefused", {"-n", "12x"}, -1, -1, "",
     "Invalid option value for option --num: 12x (4)\n"},
    {"TrailingSpaceIsRefused", {"-n", "5 "}, -1, -1, "",
     "Invalid option value for option --num: 5  (4)\n"},
    {"BlankValueIsRefused", {"-n", " "}, -1, -1, "",
     "Invalid option value for option --num:   (4)\n"},
    {"LeadingSpaceAndPlus", {"-n", " 5", "+6", "\t+7"}, 0, 4, "nums=5,6,7", ""},
    {"MinusNegatesIn32Bits", {"-n", " -1", " -4294967295"}, 0, 3, "nums=-1,1,99", ""},
    {"DecimalRefusesHexDigits", {"-n", "ff"}, -1, -1, "",
     "Invalid option value for option --num: ff (4)\n"},
    {"LargestValue", {"-n", "4294967295"}, 0, 2, "nums=-1,99,99", ""},
    {"TooLargeGivesMaximum", {"-n", "4294967296", "99999999999999999999999"}, 0, 3,
     "nums=-1,-1,99", ""},
    {"NegativeTooLargeGivesMaximum", {"-n", " -4294967296"}, 0, 2, "nums=-1,99,99", ""},
    {"ValueStartingWithDashIsNoValue", {"-n", "-5"}, -1, -1, "",
     "Not enough arguments for an option: --num (3)\n"},
    {"HexLowerAndUpper", {"-x", "ff", "-x", "0XfF"}, 0, 4, "byte=255", ""},
    {"HexWithPrefix", {"-x", "0xff"}, 0, 2, "byte=255", ""},
    {"HexPrefixWithoutDigits", {"-x", "0x"}, -1, -1, "",
     "Invalid option value for option --hex: 0x (4)\n"},
    {"HexPrefixBeforeNonDigit", {"-x", "0xg"}, -1, -1, "",
     "Invalid option value for option --hex: 0xg (4)\n"},
    {"EightBitLimit", {"-x", "100"}, -1, -1, "", "Invalid option value for option --hex: (4)\n"},
    {"EightBitDecimal", {"-N", "255"}, 0, 2, "small=255", ""},
    {"EightBitDecimalLimit", {"-N", "256"}, -1, -1, "",
     "Invalid option value for option -N: (4)\n"},
    {"SixteenBit", {"-w", "65535"}, 0, 2, "word=65535", ""},
    {"SixteenBitLimit", {"-w", "65536"}, -1, -1, "",
     "Invalid option value for option --word: (4)\n"},
    {"NegativeIsTooLargeForSixteenBits", {"-w", " -1"}, -1, -1, "",
     "Invalid option value for option --word: (4)\n"},
    {"NonZeroTakesOther", {"-z", "3"}, 0, 2, "nonzero=3", ""},
    {"NonZeroRefusesZero", {"-z", "0"}, -1, -1, "",
     "Invalid option value for option --nonzero: 0 (4)\n"},
    {"NonZeroRefusesZeroWithL", {"-z", "0L"}, -1, -1, "",
     "Invalid option value for option --nonzero: 0 (4)\n", "-z|0"},
    {"NonZeroRefusesEmpty", {"--nonzero="}, -1, -1, "",
     "Invalid option value for option --nonzero:  (4)\n"},
    {"ShortOnlyNameInDetail", {"-N", "0"}, -1, -1, "",
     "Invalid option value for option -N: 0 (4)\n"},
    // Texts and lists.
    {"StringIsTheArgumentItself", {"-t", "hello"}, 0, 2, "text='hello'", ""},
    {"StringAttached", {"-thello"}, 0, 1, "text='hello'", ""},
    {"StringEmptyAfterEquals", {"--text="}, 0, 1, "text=''", ""},
    {"StringAtEnd", {"-t"}, -1, -1, "", "Not enough arguments for an option: --text (3)\n"},
    {"StringBeforeOption", {"-t", "-b"}, -1, -1, "",
     "Not enough arguments for an option: --text (3)\n"},
    {"MultipleUpToMaximum", {"-m", "a", "b", "c", "d", "e"}, 0, 5, "list=[a,b,c,d]", ""},
    {"MultipleNone", {"-m", "-b"}, 0, 2, "flag=1 list=[]", ""},
    {"MultipleAttached", {"-mx", "y"}, 0, 1, "list=[x]", ""},
    {"MultipleAfterEquals", {"--many=x y", "z"}, 0, 1, "list=[x y]", ""},
    // Callbacks.
    {"CallbackTakesAll", {"-a", "x", "y", "-b"}, 0, 4, "flag=1 all[x,y]", ""},
    {"CallbackWithoutValues", {"-a"}, 0, 1, "all[]", ""},
    {"CallbackTakesOneOfTwo", {"-o", "x", "y", "-b"}, 0, 2, "one[x,y]", ""},
    {"CallbackAttached", {"-ox", "y"}, 0, 1, "one[x]", ""},
    {"CallbackMinimumNotMet", {"-o"}, -1, -1, "",
     "Not enough arguments for an option: --one (3)\n"},
    {"RestIsReadAsOptionsWhenNotTaken", {"-kbc"}, 0, 1, "flag=1 count=1 peek[bc]", ""},
    {"LongCallbackTakingNothing", {"--peek", "x"}, 0, 1, "peek[x]", ""},
    {"EqualsValueNotTaken", {"--peek=x"}, -1, -1, "peek[x]",
     "Option accepts no arguments: --peek=x (5)\n"},
    {"CallbackError", {"-b", "-e", "v"}, -1, -1, "flag=1 fail[v]",
     "Invalid option value for option --fail: refused (4)\n"},
    // Input errors.
    {"UnknownShort", {"-y"}, -1, -1, "", "Unknown option: -y (2)\n"},
    {"UnknownInGroupAfterStore", {"-by"}, -1, -1, "flag=1", "Unknown option: -y (2)\n"},
    {"EqualsInGroupIsAnOptionCharacter", {"-b=1"}, -1, -1, "flag=1", "Unknown option: -= (2)\n"},
    {"EntryAfterEndIsNotFound", {"-q"}, -1, -1, "", "Unknown option: -q (2)\n"},
    {"EntryAfterEndIsNotFoundLong", {"--after-end"}, -1, -1, "",
     "Unknown option: --after-end (2)\n"},
    {"UnknownLong", {"--nosuch"}, -1, -1, "", "Unknown option: --nosuch (2)\n"},
    {"UnknownLongWithValueKeepsArgument", {"--nosuch=1"}, -1, -1, "",
     "Unknown option: --nosuch (2)\n"},
    {"LongNamesAreExact", {"--boo"}, -1, -1, "", "Unknown option: --boo (2)\n"},
    {"LongNamesAreCaseSensitive", {"--BOOL"}, -1, -1, "", "Unknown option: --BOOL (2)\n"},
    {"ValueForBooleanRefusedAfterStore", {"--bool=q"}, -1, -1, "flag=1",
     "Option accepts no arguments: --bool=q (5)\n"},
    {"EmptyValueForCounterRefused", {"--count="}, -1, -1, "count=1",
     "Option accepts no arguments: --count= (5)\n"},
    {"DashValueAfterEquals", {"--text=-x"}, -1, -1, "",
     "Not enough arguments for an option: --text (3)\n"},
    {"NumberAfterEqualsWithEquals", {"--num=1=2"}, -1, -1, "",
     "Invalid option value for option --num: 1=2 (4)\n"},
};
// clang-format on

class EveryKind : public testing::TestWithParam<Case>
{
  protected:
    void SetUp() override { t = Targets(); }
    void TearDown() override { free(t.list); }
};

TEST_P(EveryKind, Parses)
{
    const Case &c = GetParam();
    Outcome out = run_parser(every_kind, c.args);
    EXPECT_EQ(out.rc, c.rc);
    EXPECT_EQ(out.next, c.next);
    EXPECT_EQ(stored(), c.stored);
    EXPECT_EQ(out.error, c.error);
    EXPECT_EQ(out.after, c.after != nullptr ? c.after : Argv(c.args).joined());
}

INSTANTIATE_TEST_SUITE_P(Cases, EveryKind, testing::ValuesIn(every_kind_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Egetopt, NullNextPointerIsAllowed)
{
    t = Targets();
    Argv argv({"-c", "x"});
    EXPECT_EQ(egetopt(every_kind, argv.argv(), nullptr), 0);
    EXPECT_EQ(t.count, 1);
}

TEST(Egetopt, UsageEntryCallsItAndExitsWithZero)
{
    EXPECT_EXIT(run_parser(every_kind, {"-b", "-h", "-y"}), testing::ExitedWithCode(0),
                "^usage called\n$");
    EXPECT_EXIT(run_parser(every_kind, {"--help"}), testing::ExitedWithCode(0), "^usage called\n$");
}

// More values than the parser keeps on its stack, and a maximum no array could hold.
int wide_nums[40];
char **wide_list;
std::string wide_seen;
int take_wide(const opt_desc *, int argc, char **args)
{
    wide_seen = std::to_string(argc) + ":" + args[0] + ".." + args[argc - 1];
    return args[argc] == nullptr ? argc : 0;
}
const opt_desc wide[] = {
    {'n', "num", OPT_TYPE_INTEGER, 1, 40, 0, wide_nums},
    {'m', "many", OPT_TYPE_MULTIPLE, 0, 0x7FFFFFFF, 0, &wide_list},
    {'a', "all", OPT_TYPE_FUNCTION, 1, 0x7FFFFFFF, 0, fn(take_wide)},
    {0, nullptr, OPT_TYPE_END, 0, 0, 0, nullptr},
};

TEST(Egetopt, ManyValuesForOneOption)
{
    std::vector<std::string> numbers;
    for (int i = 1; i <= 45; ++i)
        numbers.push_back(std::to_string(i));
    for (const char *opt : {"-n", "-m", "-a"}) {
        std::vector<const char *> args = {opt};
        for (const auto &n : numbers)
            args.push_back(n.c_str());
        Outcome out = run_parser(wide, args);
        EXPECT_EQ(out.rc, 0) << opt;
        EXPECT_EQ(out.error, "") << opt;
        EXPECT_EQ(out.next, opt[1] == 'n' ? 41 : 46) << opt;
        if (opt[1] == 'm') {
            ASSERT_NE(wide_list, nullptr);
            std::vector<std::string> listed(wide_list, wide_list + 45);
            EXPECT_EQ(listed, numbers);
            EXPECT_EQ(wide_list[45], nullptr);
            free(wide_list);
        }
    }
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(wide_nums[i], i + 1);
    EXPECT_EQ(wide_seen, "45:1..45");
}

TEST(Egetopt, DisplayNameIsCutTo63Characters)
{
    const std::string name(70, 'n');
    int v = 0;
    const opt_desc opt = {'n', name.c_str(), OPT_TYPE_BOOLEAN, 0, 0, 0, &v};
    EXPECT_EQ(get_option_name(&opt), "--" + name.substr(0, 61));
    const opt_desc short_only = {'n', nullptr, OPT_TYPE_BOOLEAN, 0, 0, 0, &v};
    EXPECT_STREQ(get_option_name(&short_only), "-n");
}

// ---- The driver's table ------------------------------------------------------

// The cfg fields the table writes that differ from the defaults, e.g. "verify=1 freq=100".
std::string cfg_stored()
{
    std::string s;
    auto add = [&s](const std::string &item) { s += (s.empty() ? "" : " ") + item; };
    if (cfg.verify != 0)
        add("verify=" + std::to_string(cfg.verify));
    if (cfg.quiet != 0)
        add("quiet=" + std::to_string(cfg.quiet));
    if (cfg.freq != 2949)
        add("freq=" + std::to_string(cfg.freq));
    if (cfg.device[0] != '\0')
        add("device='" + std::string(cfg.device) + "'");
    if (strcmp(cfg.baudrate, "9600") != 0)
        add("baud='" + std::string(cfg.baudrate) + "'");
    return s;
}

// clang-format off
const Case driver_cases[] = {
    {"Defaults", {}, 0, 0, "", ""},
    {"Separate", {"-v", "-f", "100"}, 0, 3, "verify=1 freq=100", ""},
    {"GroupedValueFollows", {"-vf", "100"}, 0, 2, "verify=1 freq=100", ""},
    {"GroupedValueAttached", {"-vf100"}, 0, 1, "verify=1 freq=100", ""},
    {"LongForms", {"--verify", "--frequency=100"}, 0, 2, "verify=1 freq=100", ""},
    {"LongFrequencySeparate", {"--frequency", "1843"}, 0, 2, "freq=1843", ""},
    {"LastFrequencyCounts", {"-f", "1", "-f2"}, 0, 3, "freq=2", ""},
    {"VerifyTwiceIsOnce", {"-vv"}, 0, 1, "verify=1", ""},
    {"RestOfGroupAsFrequency", {"-fv"}, -1, -1, "",
     "Invalid option value for option --frequency: v (4)\n"},
    {"UnknownAfterVerify", {"-vx"}, -1, -1, "verify=1", "Unknown option: -x (2)\n"},
    {"QuietGroupedAndLong", {"-qv", "--quiet"}, 0, 2, "verify=1 quiet=1", ""},
    {"VerifyTakesNoValue", {"--verify=q"}, -1, -1, "verify=1",
     "Option accepts no arguments: --verify=q (5)\n"},
    {"SerialAtEnd", {"-s"}, -1, -1, "", "Not enough arguments for an option: --serial (3)\n"},
    {"SerialBeforeOption", {"-s", "-v"}, -1, -1, "",
     "Not enough arguments for an option: --serial (3)\n"},
    {"FrequencyWithL", {"-f", "12L"}, 0, 2, "freq=12", "", "-f|12"},
    {"FrequencyWithJunk", {"-f", "12x"}, -1, -1, "",
     "Invalid option value for option --frequency: 12x (4)\n"},
    {"FrequencyLAlone", {"-f", "L"}, 0, 2, "freq=0", "", "-f|"},
    {"FrequencyEmpty", {"-f", ""}, 0, 2, "freq=0", ""},
    {"FrequencyLetters", {"--frequency=abc"}, -1, -1, "",
     "Invalid option value for option --frequency: abc (4)\n"},
    {"UnknownLongWithValue", {"--nosuch=1"}, -1, -1, "", "Unknown option: --nosuch (2)\n"},
    {"DoubleDashEndsOptions", {"--", "-v"}, 0, 1, "", ""},
    {"LoneDashEndsOptions", {"-", "-v"}, 0, 0, "", ""},
    {"ImageNameEndsOptions", {"a.mot", "-v"}, 0, 0, "", ""},
    {"SerialSeparate", {"-s", "/dev/ttyS0:57600"}, 0, 2, "device='/dev/ttyS0' baud='57600'", ""},
    {"SerialAttached", {"-s/dev/ttyS0:57600"}, 0, 1, "device='/dev/ttyS0' baud='57600'", ""},
    {"SerialLongEquals", {"--serial=/dev/ttyS0:57600"}, 0, 1,
     "device='/dev/ttyS0' baud='57600'", ""},
    {"SerialLongSeparate", {"--serial", "/dev/ttyS0"}, 0, 2, "device='/dev/ttyS0'", ""},
    {"SerialWithoutDevice", {"-s", ":115200"}, -1, -1, "", "Invalid option value (4)\n"},
};
// clang-format on

class DriverTable : public testing::TestWithParam<Case>
{
  protected:
    void SetUp() override
    {
        cfg.device[0] = '\0';
        snprintf(cfg.baudrate, sizeof cfg.baudrate, "9600");
        cfg.freq = 2949;
        cfg.verify = 0;
        cfg.quiet = 0;
    }
};

TEST_P(DriverTable, Parses)
{
    const Case &c = GetParam();
    Outcome out = run_parser(opts, c.args);
    EXPECT_EQ(out.rc, c.rc);
    EXPECT_EQ(out.next, c.next);
    EXPECT_EQ(cfg_stored(), c.stored);
    EXPECT_EQ(out.error, c.error);
    EXPECT_EQ(out.after, c.after != nullptr ? c.after : Argv(c.args).joined());
}

INSTANTIATE_TEST_SUITE_P(Cases, DriverTable, testing::ValuesIn(driver_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- Malformed tables ----------------------------------------------------------

int target[4];
int overreach(const opt_desc *, int argc, char **)
{
    return argc + 1;
}
int underreach(const opt_desc *, int, char **)
{
    return 0;
}

struct DeathCase {
    const char *name;
    opt_desc entry;
    std::vector<const char *> args; // the values offered after the option
    const char *function;
    const char *expression; // as a regular expression
};

void PrintTo(const DeathCase &c, std::ostream *os)
{
    *os << c.name;
}

// clang-format off
const DeathCase death_cases[] = {
    {"MinimumAboveMaximum", {'z', "z", OPT_TYPE_BOOLEAN, 1, 0, 0, target}, {"1"},
     "handle_option", "opt->opt_minarg <= opt->opt_maxarg"},
    {"NoTarget", {'z', "z", OPT_TYPE_BOOLEAN, 0, 0, 0, nullptr}, {},
     "handle_option", "opt->opt_ptr"},
    {"BooleanWithValues", {'z', "z", OPT_TYPE_BOOLEAN, 0, 1, 0, target}, {},
     "handle_option", "opt->opt_minarg == 0 && opt->opt_maxarg == 0"},
    {"CounterWithValues", {'z', "z", OPT_TYPE_COUNTER, 1, 1, 0, target}, {"1"},
     "handle_option", "opt->opt_minarg == 0 && opt->opt_maxarg == 0"},
    {"IntegerReachedWithoutValue", {'z', "z", OPT_TYPE_INTEGER, 0, 1, 0, target}, {},
     "handle_option", "navail >= 1"},
    {"StringTakingNone", {'z', "z", OPT_TYPE_STRING, 0, 1, 0, target}, {},
     "handle_option", "opt->opt_minarg == 1 && opt->opt_maxarg == 1"},
    {"StringTakingTwo", {'z', "z", OPT_TYPE_STRING, 1, 2, 0, target}, {"a"},
     "handle_option", "opt->opt_minarg == 1 && opt->opt_maxarg == 1"},
    {"CallbackTakesMoreThanGiven", {'z', "z", OPT_TYPE_FUNCTION, 0, 2, 0, fn(overreach)}, {"a"},
     "handle_option", "nhandled <= navail && nhandled >= opt->opt_minarg"},
    {"CallbackTakesFewerThanMinimum", {'z', "z", OPT_TYPE_FUNCTION, 1, 2, 0, fn(underreach)},
     {"a"}, "handle_option", "nhandled <= navail && nhandled >= opt->opt_minarg"},
    {"IntegerWidthCode", {'z', "z", OPT_TYPE_INTEGER, 1, 1, 0x40, target}, {"1"},
     "handle_int_option", "0"},
    {"IntegerWidthCodeHigh", {'z', "z", OPT_TYPE_INTEGER, 1, 1, 0x70, target}, {"1"},
     "handle_int_option", "0"},
};
// clang-format on

class MalformedTable : public testing::TestWithParam<DeathCase>
{
};

TEST_P(MalformedTable, StopsWithAssertion)
{
    const DeathCase &c = GetParam();
    const opt_desc table[] = {c.entry, {0, nullptr, OPT_TYPE_END, 0, 0, 0, nullptr}};
    std::vector<const char *> args = {"-z"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const std::string pattern = std::string("egetopt\\.cpp:[0-9]+: ") + c.function +
                                ": Assertion `" + c.expression + "' failed\\.";
    EXPECT_DEATH(run_parser(table, args), pattern);
}

INSTANTIATE_TEST_SUITE_P(Cases, MalformedTable, testing::ValuesIn(death_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// The end entry is the only kind outside 1 to 7 that the enumeration can hold.
TEST(MalformedTableDirect, EndEntryHandledAsOption)
{
    const opt_desc end = {0, nullptr, OPT_TYPE_END, 0, 0, 0, target};
    char *args[] = {nullptr};
    EXPECT_DEATH(handle_option(&end, args), "handle_option: Assertion `0' failed\\.");
}

} // namespace
