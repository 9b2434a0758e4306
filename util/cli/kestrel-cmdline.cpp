// The driver's command line: the option table, the -s, -i and --read-size
// handlers that fill the configuration record and the image list, and the
// usage text.
#include "kestrel-cmdline.h"

#include "boot-lines.h"
#include "rfc2217.h"

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef KESTREL_VERSION
#define KESTREL_VERSION "unknown"
#endif

const additional_error_t kestrel_errlist[] = {
    {static_cast<local_error_t>(ERR_NO_IMAGES), "No images specified"},
    {static_cast<local_error_t>(ERR_NO_INTERFACE), "No serial interface specified"},
    {ERR_SUCCESS, nullptr},
};

const opt_desc opts[] = {
    {'f', "frequency", OPT_TYPE_INTEGER, 1, 1, 0, &cfg.freq},
    {'s', "serial", OPT_TYPE_FUNCTION, 1, 1, 0, reinterpret_cast<void *>(&set_serial_device)},
    {'i', "image", OPT_TYPE_FUNCTION, 1, 1, 0, reinterpret_cast<void *>(&add_image_file)},
    {'v', "verify", OPT_TYPE_BOOLEAN, 0, 0, 0, &cfg.verify},
    {'q', "quiet", OPT_TYPE_BOOLEAN, 0, 0, 0, &cfg.quiet},
    {0, "sum-check", OPT_TYPE_BOOLEAN, 0, 0, 0, &cfg.sum_check},
    {0, "read-size", OPT_TYPE_FUNCTION, 1, 1, 0, reinterpret_cast<void *>(&set_read_size)},
    {0, "boot", OPT_TYPE_FUNCTION, 1, 1, 0, reinterpret_cast<void *>(&set_boot_sequence)},
    {0, "run", OPT_TYPE_FUNCTION, 1, 1, 0, reinterpret_cast<void *>(&set_run_sequence)},
    // Production runs: the record of the run, blank units, the version.
    {0, "events", OPT_TYPE_STRING, 1, 1, 0, &cfg.events_file},
    {0, "skip-blank", OPT_TYPE_BOOLEAN, 0, 0, 0, &cfg.skip_blank},
    {0, "version", OPT_TYPE_USAGE, 0, 0, 0, reinterpret_cast<void *>(&print_version)},
    {0, "retries", OPT_TYPE_FUNCTION, 1, 1, 0, reinterpret_cast<void *>(&set_retries)},
    {0, "trace", OPT_TYPE_STRING, 1, 1, 0, &cfg.trace_file},
    // The journal that survives a power cut.
    {0, "journal", OPT_TYPE_STRING, 1, 1, 0, &cfg.journal_dir},
    {0, "resume", OPT_TYPE_BOOLEAN, 0, 0, 0, &cfg.resume},
    {0, "if-changed", OPT_TYPE_BOOLEAN, 0, 0, 0, &cfg.if_changed},
    {'?', "help", OPT_TYPE_USAGE, 0, 0, 0, reinterpret_cast<void *>(&usage)},
    {0, nullptr, OPT_TYPE_END, 0, 0, 0, nullptr},
};

void usage()
{
    puts("TALVEN-H8S serial upgrade utility.\n"
         "Usage: kestrel [-f freq] -s device[:baudrate] -i image[,start] [-v]\n"
         "Options:\n"
         " -f: H8S frequency divided by 10000\n"
         " -s: serial device and baudrate\n"
         " -i: image file (BIN or MOT) and start address (for BIN)\n"
         " -v: verify flash content after programming\n"
         " -i: also Intel HEX (.hex, .ihex) and ELF (.elf) image files\n"
         " -s: baudrate auto picks the fastest rate the clock allows\n"
         " -q: no progress percentages or retry counters\n"
         " --sum-check: compare the device's sum of the whole flash\n"
         " --read-size: bytes per memory read when verifying\n"
         " --boot: steps that start the H8S in boot mode\n"
         " --run: steps that restart the H8S after the upgrade\n"
         " --events: JSON Lines record of the run to a file or fd:N\n"
         " --skip-blank: neither program nor erase units that are all 0xFF\n"
         " --version: print the version\n"
         " --retries: recover up to N line faults per command (1 to 100)\n"
         " --trace: log every byte on the serial line to a file\n"
         " --journal: record the upgrade in a directory that survives a power cut\n"
         " --resume: complete the upgrade the journal holds as pending\n"
         " --if-changed: no upgrade when the journal shows these images done\n");
}

void print_version()
{
    printf("kestrel %s\n", KESTREL_VERSION);
}

// Copies len characters of src into a field of cap bytes. A value that does not
// fit is refused rather than cut: a cut path would open something else.
static bool copy_field(char *field, size_t cap, const char *src, size_t len)
{
    if (len >= cap)
        return false;
    memcpy(field, src, len);
    field[len] = '\0';
    return true;
}

int set_serial_device(const opt_desc *opt, int argc, char **args)
{
    ASSERT(argc == 1);
    const char *arg = args[0];
    size_t devlen = strcspn(arg, ":");
    // A port on another machine: rfc2217://HOST:PORT is the device part.
    if (rfc2217_is_url(arg)) {
        const int len = rfc2217_device_length(arg);
        if (len < 0) {
            set_local_errno(ERR_OPTION_INVALID_VALUE,
                            " for option %s: expected rfc2217://HOST:PORT[:baudrate]",
                            get_option_name(opt));
            return -1;
        }
        devlen = static_cast<size_t>(len);
    }
    if (devlen == 0) {
        set_local_errno(ERR_OPTION_INVALID_VALUE, nullptr);
        return -1;
    }
    // The bit rate is the next white-space-free word after the colon.
    const char *rate = nullptr;
    size_t ratelen = 0;
    if (arg[devlen] == ':') {
        rate = arg + devlen + 1;
        while (*rate != '\0' && isspace(static_cast<unsigned char>(*rate)))
            ++rate;
        while (rate[ratelen] != '\0' && !isspace(static_cast<unsigned char>(rate[ratelen])))
            ++ratelen;
    }
    if (devlen >= sizeof cfg.device) {
        set_local_errno(ERR_OPTION_INVALID_VALUE,
                        " for option %s: device name longer than %zu characters",
                        get_option_name(opt), sizeof cfg.device - 1);
        return -1;
    }
    if (ratelen >= sizeof cfg.baudrate) {
        set_local_errno(ERR_OPTION_INVALID_VALUE,
                        " for option %s: baud rate longer than %zu characters",
                        get_option_name(opt), sizeof cfg.baudrate - 1);
        return -1;
    }
    copy_field(cfg.device, sizeof cfg.device, arg, devlen);
    if (ratelen > 0)
        copy_field(cfg.baudrate, sizeof cfg.baudrate, rate, ratelen);
    return 1;
}

// True when name is suffix preceded by at least one character.
static bool ends_in(const char *name, size_t len, const char *suffix)
{
    size_t n = strlen(suffix);
    return len > n && strcmp(name + len - n, suffix) == 0;
}

image_format_e image_format_of(const char *name)
{
    size_t len = strlen(name);
    if (ends_in(name, len, ".mot"))
        return IMAGE_SREC;
    if (ends_in(name, len, ".hex") || ends_in(name, len, ".ihex"))
        return IMAGE_IHEX;
    if (ends_in(name, len, ".elf"))
        return IMAGE_ELF;
    return IMAGE_BIN;
}

// Reads a decimal number from 1 to max into *value. Returns 1, or -1 after
// recording ERR_OPTION_INVALID_VALUE with the accepted range.
static int read_count(const opt_desc *opt, const char *arg, unsigned long max, unsigned long *value)
{
    char *end = nullptr;
    const int saved_errno = errno; // an overflow must not show as a system error
    const unsigned long v =
        isdigit(static_cast<unsigned char>(arg[0])) ? strtoul(arg, &end, 10) : 0;
    errno = saved_errno;
    if (end == nullptr || *end != '\0' || v == 0 || v > max) {
        set_local_errno(ERR_OPTION_INVALID_VALUE, " for option %s: %s is not from 1 to %lu",
                        get_option_name(opt), arg, max);
        return -1;
    }
    *value = v;
    return 1;
}

int set_read_size(const opt_desc *opt, int argc, char **args)
{
    ASSERT(argc == 1);
    // Read-back answers carry at most this much; the buffer for them is sized by it.
    constexpr unsigned long max_read_size = 65536;
    unsigned long v = 0;
    if (read_count(opt, args[0], max_read_size, &v) < 0)
        return -1;
    cfg.read_size = static_cast<uint32_t>(v);
    return 1;
}

int set_retries(const opt_desc *opt, int argc, char **args)
{
    ASSERT(argc == 1);
    constexpr unsigned long max_retries = 100;
    unsigned long v = 0;
    if (read_count(opt, args[0], max_retries, &v) < 0)
        return -1;
    cfg.retries = static_cast<int>(v);
    return 1;
}

int add_image_file(const opt_desc *opt, int argc, char **args)
{
    (void)argc;
    ASSERT(args[0]);
    img_file *rec = static_cast<img_file *>(calloc(1, sizeof(img_file)));
    if (rec == nullptr) {
        set_local_errno(ERR_UNABLE_TO_ALLOCATE_BUFFER, nullptr);
        return -1;
    }
    const char *arg = args[0];
    size_t namelen = strcspn(arg, ",");
    if (namelen == 0) {
        free(rec);
        set_local_errno(ERR_OPTION_INVALID_VALUE, nullptr);
        return -1;
    }
    if (!copy_field(rec->name, sizeof rec->name, arg, namelen)) {
        free(rec);
        set_local_errno(ERR_OPTION_INVALID_VALUE,
                        " for option %s: file name longer than %zu characters",
                        get_option_name(opt), sizeof rec->name - 1);
        return -1;
    }
    // White space, sign, 0x for hex, 0 for octal; the rest ignored. Read in 64
    // bits on every host; a value outside what 32 bits hold (unsigned, or
    // negative two's complement) is refused rather than cut to some other
    // address. A negative one is kept modulo 2^32.
    bool has_offset = false;
    if (arg[namelen] == ',') {
        const char *num = arg + namelen + 1;
        char *end = nullptr;
        // Saturates beyond 64 bits; errno is kept, since the error report
        // would print an ERANGE left behind.
        const int saved_errno = errno;
        const long long v = strtoll(num, &end, 0);
        errno = saved_errno;
        if (end != num) {
            if (v > static_cast<long long>(UINT32_MAX) || v < INT32_MIN) {
                free(rec);
                set_local_errno(ERR_OPTION_INVALID_VALUE,
                                " for option %s: start address does not fit in 32 bits",
                                get_option_name(opt));
                return -1;
            }
            has_offset = true;
            rec->offset = static_cast<uint32_t>(v);
        }
    }
    rec->format = image_format_of(rec->name);

    if (rec->format == IMAGE_SREC && has_offset)
        printf("Warning: start address %" PRIu32 " is ignored for s-record file '%s'\n",
               rec->offset, rec->name);
    else if ((rec->format == IMAGE_IHEX || rec->format == IMAGE_ELF) && has_offset)
        printf("Warning: start address %" PRIu32 " is ignored for %s file '%s'\n", rec->offset,
               rec->format == IMAGE_IHEX ? "intel-hex" : "elf", rec->name);
    else if (rec->format == IMAGE_BIN && !has_offset)
        printf("Warning: no start address is defined for '%s', assuming 0\n", rec->name);

    rec->next = nullptr;
    *cfg.img_last = rec;
    cfg.img_last = &rec->next;
    return 1;
}
