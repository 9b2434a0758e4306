// The option parser on arbitrary argument vectors. Byte 0 of the input picks
// the table: even, the program's own (without its help entry, which ends the
// process); odd, a table with every kind of option and every integer width.
// The rest is split at NUL bytes into writable arguments. Checked after every
// parse: the result is 0 or -1, an error is recorded exactly on -1, the
// next-argument position is set only on success and points at the end, at an
// argument that is not an option, at a lone "-" or just past "--"; the
// argument texts are as typed, but for a trailing 'L' cut off an integer; every
// stored text lies in the arguments; the driver's fields stay terminated.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "error.h"
#include "kestrel-cmdline.h"
#include "kestrel.h"

namespace
{

constexpr size_t max_args = 256;

// ---- A table of every kind -------------------------------------------------

int v_bool;
int v_count;
int v_ints[3];
int v_hex[1];
uint8_t v_bytes[2];
uint16_t v_words[4];
uint32_t v_longs[1];
char *v_text;
char **v_list;
int v_only_long;
int func_calls;

// Consumes between the minimum and all of the values it was given, as many as
// the first value's length says; a value beginning with '!' is refused. Checks
// the array it was handed: argc values, none an option, then a null.
int take_values(const opt_desc *opt, int argc, char **args)
{
    ASSERT(argc >= opt->opt_minarg && argc <= opt->opt_maxarg);
    for (int i = 0; i < argc; ++i)
        ASSERT(args[i] != nullptr && args[i][0] != '-');
    ASSERT(args[argc] == nullptr);
    ++func_calls;
    if (argc > 0 && args[0][0] == '!') {
        set_local_errno(ERR_OPTION_INVALID_VALUE, " for option %s: %s", get_option_name(opt),
                        args[0]);
        return -1;
    }
    const int spare = argc - opt->opt_minarg;
    return opt->opt_minarg + (argc > 0 ? static_cast<int>(strlen(args[0])) % (spare + 1) : 0);
}

const opt_desc every_kind[] = {
    {'b', "bool", OPT_TYPE_BOOLEAN, 0, 0, 0, &v_bool},
    {'c', "count", OPT_TYPE_COUNTER, 0, 0, 0, &v_count},
    {'n', "int", OPT_TYPE_INTEGER, 1, 3, OPT_FLAG_SIZE_INT, v_ints},
    {'x', "hex", OPT_TYPE_INTEGER, 1, 1, OPT_FLAG_HEX | OPT_FLAG_NONZERO, v_hex},
    {'y', "byte", OPT_TYPE_INTEGER, 1, 2, OPT_FLAG_HEX | OPT_FLAG_SIZE_CHAR, v_bytes},
    {'w', "word", OPT_TYPE_INTEGER, 2, 4, OPT_FLAG_SIZE_SHORT, v_words},
    {'l', "long", OPT_TYPE_INTEGER, 1, 1, OPT_FLAG_SIZE_LONG | OPT_FLAG_NONZERO, v_longs},
    {'t', "text", OPT_TYPE_STRING, 1, 1, 0, &v_text},
    // Long form only: a repeated MULTIPLE option drops its older array, so the
    // harness skips inputs that name it twice, and a long name is easy to count.
    {0, "list", OPT_TYPE_MULTIPLE, 0, 40, 0, &v_list},
    {'F', "func", OPT_TYPE_FUNCTION, 0, 3, 0, reinterpret_cast<void *>(&take_values)},
    {'g', nullptr, OPT_TYPE_FUNCTION, 1, 1, 0, reinterpret_cast<void *>(&take_values)},
    {0, "only-long", OPT_TYPE_BOOLEAN, 0, 0, 0, &v_only_long},
    {0, nullptr, OPT_TYPE_END, 0, 0, 0, nullptr},
};

// ---- The program's own table, without the entries that end the process ------

std::vector<opt_desc> program_table;

void build_program_table()
{
    for (const opt_desc *o = opts; o->opt_type != OPT_TYPE_END; ++o) {
        if (o->opt_type != OPT_TYPE_USAGE)
            program_table.push_back(*o);
    }
    program_table.push_back(opt_desc{0, nullptr, OPT_TYPE_END, 0, 0, 0, nullptr});
}

void reset_state()
{
    local_errno = ERR_SUCCESS;
    v_bool = v_count = v_only_long = func_calls = 0;
    memset(v_ints, 0, sizeof v_ints);
    memset(v_hex, 0, sizeof v_hex);
    memset(v_bytes, 0, sizeof v_bytes);
    memset(v_words, 0, sizeof v_words);
    memset(v_longs, 0, sizeof v_longs);
    v_text = nullptr;
    free(static_cast<void *>(v_list));
    v_list = nullptr;

    while (cfg.img_first != nullptr) {
        img_file *next = cfg.img_first->next;
        free(cfg.img_first);
        cfg.img_first = next;
    }
    cfg.img_last = &cfg.img_first;
    memset(cfg.device, 0, sizeof cfg.device);
    snprintf(cfg.baudrate, sizeof cfg.baudrate, "%s", "9600");
    cfg.freq = 2949;
    cfg.verify = 0;
}

// The number of arguments that name --list, with or without a value.
int list_options(const std::vector<std::string> &args)
{
    int n = 0;
    for (const std::string &a : args) {
        if (a.rfind("--list", 0) == 0 && (a.size() == 6 || a[6] == '='))
            ++n;
    }
    return n;
}

bool within(const char *p, const std::vector<char> &texts)
{
    return p >= texts.data() && p < texts.data() + texts.size();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The image option prints warnings.
    ASSERT(freopen("/dev/null", "w", stdout) != nullptr);
    build_program_table();
    reset_state();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const bool all_kinds = (data[0] & 1) != 0;

    std::vector<std::string> args;
    std::string cur;
    for (size_t i = 1; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(static_cast<char>(data[i]));
        }
    }
    if (size > 1)
        args.push_back(cur);
    if (args.size() > max_args || (all_kinds && list_options(args) > 1))
        return 0;

    // One writable block holds every text, each with its terminator.
    std::vector<char> texts;
    std::vector<size_t> offsets;
    for (const std::string &a : args) {
        offsets.push_back(texts.size());
        texts.insert(texts.end(), a.begin(), a.end());
        texts.push_back('\0');
    }
    std::vector<char *> argv;
    for (size_t off : offsets)
        argv.push_back(texts.data() + off);
    argv.push_back(nullptr);

    reset_state();
    char **const untouched = argv.data() + argv.size(); // never a valid result
    char **next = untouched;
    const opt_desc *table = all_kinds ? every_kind : program_table.data();
    const int result = egetopt(table, argv.data(), &next);

    ASSERT(result == 0 || result == -1);
    if (result == 0) {
        ASSERT(local_errno == ERR_SUCCESS);
        ASSERT(next >= argv.data() && next < argv.data() + argv.size());
        const char *n = *next;
        const bool after_dashes = next > argv.data() && strcmp(next[-1], "--") == 0;
        ASSERT(n == nullptr || n[0] != '-' || n[1] == '\0' || after_dashes);
    } else {
        ASSERT(local_errno != ERR_SUCCESS);
        ASSERT(get_error_string(local_errno) != nullptr);
        ASSERT(next == untouched);
    }

    // Texts as typed, or with one trailing 'L' cut.
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string now(argv[i]);
        const std::string &was = args[i];
        ASSERT(now == was || (now.size() + 1 == was.size() && was.back() == 'L' &&
                              was.compare(0, now.size(), now) == 0));
    }

    if (all_kinds) {
        ASSERT(v_bool == 0 || v_bool == 1);
        ASSERT(v_text == nullptr || within(v_text, texts));
        if (v_list != nullptr) {
            int k = 0;
            for (; v_list[k] != nullptr; ++k)
                ASSERT(within(v_list[k], texts) && k < 40);
        }
    } else {
        ASSERT(memchr(cfg.device, 0, sizeof cfg.device) != nullptr);
        ASSERT(memchr(cfg.baudrate, 0, sizeof cfg.baudrate) != nullptr);
        for (const img_file *f = cfg.img_first; f != nullptr; f = f->next) {
            ASSERT(memchr(f->name, 0, sizeof f->name) != nullptr && f->name[0] != '\0');
            const std::string name(f->name);
            auto ends = [&](const std::string &s) {
                return name.size() > s.size() &&
                       name.compare(name.size() - s.size(), s.size(), s) == 0;
            };
            const image_format_e want = ends(".mot")                    ? IMAGE_SREC
                                        : ends(".hex") || ends(".ihex") ? IMAGE_IHEX
                                        : ends(".elf")                  ? IMAGE_ELF
                                                                        : IMAGE_BIN;
            ASSERT(f->format == want);
        }
        ASSERT(*cfg.img_last == nullptr);
    }
    return 0;
}
