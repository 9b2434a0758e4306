// h8s-bootsim: serves a simulated H8S boot program on a pseudo-terminal.
//
// Prints the slave's path as the one line on standard output, then serves
// until SIGTERM or SIGINT (or, with --once, until the client's session is
// over), writes the flash content with --dump, and prints a summary on
// standard error.
#include "bootsim.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <getopt.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

const char kUsage[] =
    "Usage: h8s-bootsim [options]\n"
    "Serves a simulated H8S boot program on a pseudo-terminal and prints the\n"
    "terminal's path on standard output.\n"
    "\n"
    "  --link PATH         also make the symbolic link PATH to the terminal\n"
    "                      (an existing symbolic link is replaced)\n"
    "  --once              exit when the client closes the line after\n"
    "                      synchronising (default: serve until SIGTERM/SIGINT)\n"
    "  --pace              take the time real bytes take on the line\n"
    "  --dump FILE         write the final flash content to FILE at exit\n"
    "  --flash FILE        the flash lives in FILE: it starts with FILE's\n"
    "                      content when FILE exists (a board restarted after a\n"
    "                      power cut) and is written back to it at exit\n"
    "  --erased            flash starts erased (all 0xFF) instead of random data\n"
    "  --keep-content      the programming/erasing state transition (0x40)\n"
    "                      keeps the flash content (default: it erases the\n"
    "                      whole user MAT, as the chip does)\n"
    "  --max-read N        refuse memory reads larger than N bytes\n"
    "  --latency MS        hold bytes to the client until 62 are waiting or MS\n"
    "                      milliseconds have passed, as a USB serial adapter's\n"
    "                      latency timer does\n"
    "  --seed N            seed of the initial random flash content (default 1)\n"
    "  --unit N            programming unit in bytes (default 128)\n"
    "  --erase-us N        modelled time of one block erasure, microseconds\n"
    "  --program-us N      modelled time of programming one unit, microseconds\n"
    "  --fault CMD:OCC:KIND[:VALUE]\n"
    "                      inject a fault the OCC-th time (1-based, 0: every\n"
    "                      time) command CMD (hexadecimal) arrives; KIND is one\n"
    "                      of silence, refuse, badchecksum, truncate, wrongsize,\n"
    "                      oversize, hangup, garble, status, readdifferent,\n"
    "                      readshort, programwrong, programunseen,\n"
    "                      programwrongrefused, losebyte, late; VALUE is\n"
    "                      decimal or 0x-prefixed hexadecimal\n"
    "                      (repeatable)\n"
    "  --noise BER         flip each bit of each byte, both directions, with\n"
    "                      probability BER (e.g. 1e-5)\n"
    "  --drop P            lose each byte, both directions, with probability P\n"
    "  --noise-seed N      seed of the noise and the lost bytes (default 1): the\n"
    "                      same seed and the same client give the same faults\n"
    "  --rx-idle-reset MS  forget a partial frame after MS milliseconds without\n"
    "                      a byte (default: count bytes strictly)\n"
    "  --help              show this text\n";

struct KindName {
    const char *name;
    bootsim::Fault kind;
};

constexpr KindName kKinds[] = {
    {"silence", bootsim::Fault::Silence},
    {"refuse", bootsim::Fault::Refuse},
    {"badchecksum", bootsim::Fault::BadChecksum},
    {"truncate", bootsim::Fault::Truncate},
    {"wrongsize", bootsim::Fault::WrongSize},
    {"oversize", bootsim::Fault::OversizeSize},
    {"oversizesize", bootsim::Fault::OversizeSize},
    {"hangup", bootsim::Fault::HangUp},
    {"garble", bootsim::Fault::Garble},
    {"status", bootsim::Fault::Status},
    {"readdifferent", bootsim::Fault::ReadDifferent},
    {"readshort", bootsim::Fault::ReadShort},
    {"programwrong", bootsim::Fault::ProgramWrong},
    {"programunseen", bootsim::Fault::ProgramUnseen},
    {"programwrongrefused", bootsim::Fault::ProgramWrongRefused},
    {"losebyte", bootsim::Fault::LoseByte},
    {"late", bootsim::Fault::Late},
};

bool parse_number(const char *s, int base, unsigned long max, unsigned long *out)
{
    if (!s || !*s)
        return false;
    char *end;
    errno = 0;
    unsigned long v = strtoul(s, &end, base);
    if (errno || *end || v > max || s[0] == '-')
        return false;
    *out = v;
    return true;
}

bool parse_fault(const char *arg, bootsim::FaultSpec *f)
{
    std::string s = arg;
    std::string parts[4];
    size_t count = 0, at = 0;
    for (;;) {
        size_t colon = s.find(':', at);
        if (count == 4)
            return false;
        parts[count++] = s.substr(at, colon == std::string::npos ? colon : colon - at);
        if (colon == std::string::npos)
            break;
        at = colon + 1;
    }
    if (count < 3)
        return false;
    unsigned long cmd, occ, value = 0;
    if (!parse_number(parts[0].c_str(), 16, 0xFF, &cmd) ||
        !parse_number(parts[1].c_str(), 10, 1000000, &occ) ||
        (count == 4 && !parse_number(parts[3].c_str(), 0, 0xFF, &value)))
        return false;
    for (const auto &k : kKinds)
        if (strcasecmp(parts[2].c_str(), k.name) == 0) {
            *f = {uint8_t(cmd), int(occ), k.kind, uint8_t(value)};
            return true;
        }
    return false;
}

int usage_error(const char *what, const char *arg)
{
    fprintf(stderr, "h8s-bootsim: %s: %s\n%s", what, arg ? arg : "", kUsage);
    return 2;
}

bool parse_probability(const char *s, double *out)
{
    if (!s || !*s)
        return false;
    char *end;
    errno = 0;
    double v = strtod(s, &end);
    if (errno || *end || !(v >= 0 && v < 1))
        return false;
    *out = v;
    return true;
}

bool make_link(const std::string &link, const std::string &target)
{
    struct stat st;
    if (lstat(link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            fprintf(stderr, "h8s-bootsim: %s exists and is not a symbolic link\n", link.c_str());
            return false;
        }
        unlink(link.c_str());
    }
    if (symlink(target.c_str(), link.c_str()) != 0) {
        fprintf(stderr, "h8s-bootsim: cannot link %s: %s\n", link.c_str(), strerror(errno));
        return false;
    }
    return true;
}

// Removes the link at exit when it still points at this simulator's terminal.
void remove_link(const std::string &link, const std::string &target)
{
    char buf[256];
    ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    if (n < 0)
        return;
    buf[n] = 0;
    if (target == buf)
        unlink(link.c_str());
}

// Reads the whole of file into out; false when it cannot be read (errno set).
bool load(const char *file, std::vector<uint8_t> *out)
{
    FILE *f = fopen(file, "rb");
    if (!f)
        return false;
    out->clear();
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out->insert(out->end(), buf, buf + n);
    const bool ok = !ferror(f);
    fclose(f);
    return ok;
}

// Writes the flash to file through a temporary file and a rename, so that a
// simulator killed while writing leaves the old content whole.
bool save(const char *file, const std::vector<uint8_t> &flash)
{
    const std::string tmp = std::string(file) + ".tmp";
    FILE *f = fopen(tmp.c_str(), "wb");
    bool ok = f && fwrite(flash.data(), 1, flash.size(), f) == flash.size();
    ok = f && fflush(f) == 0 && fsync(fileno(f)) == 0 && ok;
    ok = f && fclose(f) == 0 && ok;
    ok = ok && rename(tmp.c_str(), file) == 0;
    if (!ok) {
        fprintf(stderr, "h8s-bootsim: cannot write %s: %s\n", file, strerror(errno));
        unlink(tmp.c_str());
    }
    return ok;
}

bool dump(const char *file, const std::vector<uint8_t> &flash)
{
    FILE *f = fopen(file, "wb");
    if (!f) {
        fprintf(stderr, "h8s-bootsim: cannot write %s: %s\n", file, strerror(errno));
        return false;
    }
    bool ok = fwrite(flash.data(), 1, flash.size(), f) == flash.size();
    ok = fclose(f) == 0 && ok;
    if (!ok)
        fprintf(stderr, "h8s-bootsim: cannot write %s\n", file);
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    enum {
        kLink = 1,
        kOnce,
        kPace,
        kDump,
        kFlash,
        kErased,
        kSeed,
        kUnit,
        kEraseUs,
        kProgUs,
        kFault,
        kKeep,
        kMaxRead,
        kLatency,
        kNoise,
        kDrop,
        kNoiseSeed,
        kIdleReset,
        kHelp
    };
    static const option longopts[] = {
        {"link", required_argument, nullptr, kLink},
        {"once", no_argument, nullptr, kOnce},
        {"pace", no_argument, nullptr, kPace},
        {"dump", required_argument, nullptr, kDump},
        {"flash", required_argument, nullptr, kFlash},
        {"erased", no_argument, nullptr, kErased},
        {"seed", required_argument, nullptr, kSeed},
        {"unit", required_argument, nullptr, kUnit},
        {"erase-us", required_argument, nullptr, kEraseUs},
        {"program-us", required_argument, nullptr, kProgUs},
        {"fault", required_argument, nullptr, kFault},
        {"keep-content", no_argument, nullptr, kKeep},
        {"max-read", required_argument, nullptr, kMaxRead},
        {"latency", required_argument, nullptr, kLatency},
        {"noise", required_argument, nullptr, kNoise},
        {"drop", required_argument, nullptr, kDrop},
        {"noise-seed", required_argument, nullptr, kNoiseSeed},
        {"rx-idle-reset", required_argument, nullptr, kIdleReset},
        {"help", no_argument, nullptr, kHelp},
        {nullptr, 0, nullptr, 0},
    };
    bootsim::Device dev;
    std::vector<bootsim::FaultSpec> faults;
    std::string link;
    const char *dump_file = nullptr;
    const char *flash_file = nullptr;
    bool once = false, pace = false;
    int latency = 0;
    int c;
    opterr = 0;
    while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
        unsigned long v;
        bootsim::FaultSpec f{};
        switch (c) {
        case kLink:
            link = optarg;
            break;
        case kOnce:
            once = true;
            break;
        case kPace:
            pace = true;
            break;
        case kDump:
            dump_file = optarg;
            break;
        case kFlash:
            flash_file = optarg;
            break;
        case kErased:
            dev.erased_fill = true;
            break;
        case kSeed:
            if (!parse_number(optarg, 0, 0xFFFFFFFFul, &v))
                return usage_error("bad --seed", optarg);
            dev.seed = uint32_t(v);
            break;
        case kUnit:
            if (!parse_number(optarg, 0, 0xFFFF, &v))
                return usage_error("bad --unit", optarg);
            dev.unit = uint16_t(v);
            break;
        case kEraseUs:
        case kProgUs:
            if (!parse_number(optarg, 0, 0xFFFFFFFFul, &v))
                return usage_error("bad time", optarg);
            (c == kEraseUs ? dev.erase_us : dev.program_us) = uint32_t(v);
            break;
        case kFault:
            if (!parse_fault(optarg, &f))
                return usage_error("bad --fault", optarg);
            faults.push_back(f);
            break;
        case kKeep:
            dev.keep_content = true;
            break;
        case kMaxRead:
            if (!parse_number(optarg, 0, 0xFFFFFFFFul, &v))
                return usage_error("bad --max-read", optarg);
            dev.max_read = uint32_t(v);
            break;
        case kLatency:
            if (!parse_number(optarg, 10, 60000, &v))
                return usage_error("bad --latency", optarg);
            latency = int(v);
            break;
        case kNoise:
        case kDrop:
            if (!parse_probability(optarg, c == kNoise ? &dev.noise_ber : &dev.drop))
                return usage_error(c == kNoise ? "bad --noise" : "bad --drop", optarg);
            break;
        case kNoiseSeed:
            if (!parse_number(optarg, 0, 0xFFFFFFFFul, &v))
                return usage_error("bad --noise-seed", optarg);
            dev.noise_seed = v;
            break;
        case kIdleReset:
            if (!parse_number(optarg, 10, 60000, &v) || v == 0)
                return usage_error("bad --rx-idle-reset", optarg);
            dev.rx_idle_reset_ms = int(v);
            break;
        case kHelp:
            fputs(kUsage, stdout);
            return 0;
        default:
            return usage_error("unknown option", argv[optind - 1]);
        }
    }
    if (optind < argc)
        return usage_error("unexpected argument", argv[optind]);
    if (flash_file && !load(flash_file, &dev.content) && errno != ENOENT) {
        fprintf(stderr, "h8s-bootsim: cannot read %s: %s\n", flash_file, strerror(errno));
        return 1;
    }

    // The signals are taken with sigtimedwait; block them before the serving
    // thread starts so that it inherits the mask.
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGTERM);
    sigaddset(&sigs, SIGINT);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);

    bootsim::Sim sim(dev);
    for (const auto &f : faults)
        sim.add_fault(f);
    sim.set_pace(pace);
    sim.set_latency(latency);
    if (!sim.start()) {
        fprintf(stderr, "h8s-bootsim: cannot open a pseudo-terminal: %s\n", strerror(errno));
        return 1;
    }
    if (!link.empty() && !make_link(link, sim.slave_path()))
        return 1;
    printf("%s\n", sim.slave_path().c_str());
    fflush(stdout);

    const timespec tick = {0, 50 * 1000 * 1000};
    for (;;) {
        if (sigtimedwait(&sigs, nullptr, &tick) >= 0)
            break;
        if (once && sim.session_over())
            break;
    }
    sim.stop();

    int status = 0;
    if (dump_file && !dump(dump_file, sim.flash()))
        status = 1;
    if (flash_file && !save(flash_file, sim.flash()))
        status = 1;
    if (!link.empty())
        remove_link(link, sim.slave_path());
    bootsim::Stats st = sim.stats();
    fprintf(stderr,
            "h8s-bootsim: %zu frames, %zu blocks erased, %zu units programmed, "
            "%.3f s on the wire, %.3f s busy\n",
            sim.frames().size(), sim.erased_blocks().size(), sim.programmed_units().size(),
            st.wire_seconds, st.busy_seconds);
    if (dev.noise_ber > 0 || dev.drop > 0)
        fprintf(stderr,
                "h8s-bootsim: %llu bits flipped, %llu bytes lost, %llu corruptions acted on, "
                "%llu units programmed twice\n",
                (unsigned long long)st.bits_flipped, (unsigned long long)st.bytes_dropped,
                (unsigned long long)st.unseen_corruptions, (unsigned long long)st.programmed_twice);
    return status;
}
