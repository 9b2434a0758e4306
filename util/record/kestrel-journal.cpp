// The journal: the record file "record" and the image copies "<sha256>.<ext>"
// in one directory, each written atomically (temporary name, fsync, rename,
// fsync of the directory).
#include "kestrel-journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nettle/sha2.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "boot-lines.h"
#include "egetopt.h"
#include "error.h"
#include "kestrel-events.h"
#include "kestrel.h"

namespace
{

constexpr const char *RECORD = "record";
constexpr const char *RECORD_MAGIC = "kestrel-journal 1";
constexpr size_t DIGEST_HEX = size_t{2} * SHA256_DIGEST_SIZE;
constexpr size_t COPY_NAME = DIGEST_HEX + 4;                       // "<digest>.mot"
constexpr size_t MAX_DIR = sizeof(img_file::name) - 2 - COPY_NAME; // DIR "/" copy, terminated
constexpr size_t MAX_RECORD = size_t{1024} * 1024; // a record is a few hundred bytes
constexpr int STATUS_INTERRUPTED = -1;             // no end of the try was recorded

struct journal_image_t {
    std::string digest; // SHA-256, lower-case hexadecimal
    image_format_e format;
    uint32_t start;
    std::string name; // the file named with -i, for people reading the record
};

struct journal_record_t {
    bool pending = true;
    int64_t time = 0; // seconds since the epoch
    int tries = 0;    // tries of --resume
    int last_status = STATUS_INTERRUPTED;
    std::string device_code; // last-success record only
    // What is flashed and how: -s, -f, -v, --sum-check, --read-size,
    // --retries, --skip-blank, --boot, --run and the images.
    std::string port, baudrate;
    uint32_t frequency = 0; // Hz
    int verify = 0, sum_check = 0, skip_blank = 0, retries = 0;
    uint32_t read_size = 0;
    std::string boot, run; // sequences as written, "" for none
    std::vector<journal_image_t> images;
};

int journal_fd = -1;
std::string prev_raw; // the record file before this run
bool have_prev = false;
journal_record_t prev; // prev_raw read, when prev_ok
bool prev_ok = false;
std::string prev_why;  // why prev_raw is unreadable
journal_record_t rec;  // the record of this run
bool recorded = false; // rec is in DIR as pending
bool resuming = false;

// Options that --resume allows; parsing the arguments again with these alone
// finds any other.
const opt_desc resume_opts[] = {
    {'q', "quiet", OPT_TYPE_BOOLEAN, 0, 0, 0, &cfg.quiet},
    {0, "events", OPT_TYPE_STRING, 1, 1, 0, &cfg.events_file},
    {0, "trace", OPT_TYPE_STRING, 1, 1, 0, &cfg.trace_file},
    {0, "journal", OPT_TYPE_STRING, 1, 1, 0, &cfg.journal_dir},
    {0, "resume", OPT_TYPE_BOOLEAN, 0, 0, 0, &cfg.resume},
    {0, nullptr, OPT_TYPE_END, 0, 0, 0, nullptr},
};

const char *suffix_of(image_format_e f)
{
    switch (f) {
    case IMAGE_SREC:
        return "mot";
    case IMAGE_IHEX:
        return "hex";
    case IMAGE_ELF:
        return "elf";
    case IMAGE_BIN:
        break;
    }
    return "bin";
}

bool format_of(const std::string &s, image_format_e *f)
{
    constexpr std::array<image_format_e, 4> formats = {IMAGE_BIN, IMAGE_SREC, IMAGE_IHEX,
                                                       IMAGE_ELF};
    const auto *g = std::find_if(formats.begin(), formats.end(),
                                 [&s](image_format_e x) { return s == suffix_of(x); });
    if (g == formats.end())
        return false;
    *f = *g;
    return true;
}

std::string copy_name(const journal_image_t &img)
{
    return img.digest + "." + suffix_of(img.format);
}

// A value on one record line: bytes outside the printable ASCII, the blank
// and '%' as %XX.
std::string escape(const std::string &s)
{
    std::string out;
    for (unsigned char c : s) {
        if (c <= 0x20 || c >= 0x7F || c == '%') {
            char hex[4];
            snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool unescape(const std::string &s, std::string *out)
{
    out->clear();
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            *out += s[i];
            continue;
        }
        if (i + 2 >= s.size() || !isxdigit(static_cast<unsigned char>(s[i + 1])) ||
            !isxdigit(static_cast<unsigned char>(s[i + 2])))
            return false;
        *out += static_cast<char>(strtoul(s.substr(i + 1, 2).c_str(), nullptr, 16));
        i += 2;
    }
    return true;
}

std::string hex_of(const uint8_t *p, size_t n)
{
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

std::string sha256_hex(const std::string &data)
{
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, data.size(), reinterpret_cast<const uint8_t *>(data.data()));
    std::array<uint8_t, SHA256_DIGEST_SIZE> d{};
    sha256_digest(&ctx, d.size(), d.data());
    return hex_of(d.data(), d.size());
}

std::string time_text(int64_t t)
{
    const time_t tt = static_cast<time_t>(t);
    tm when{};
    char buf[64];
    if (gmtime_r(&tt, &when) == nullptr ||
        strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &when) == 0)
        snprintf(buf, sizeof buf, "%" PRId64 " s after the epoch", t);
    return buf;
}

// The record's lines of what is flashed and how: equal for two records
// exactly when they flash the same images the same way on the same port.
std::string identity(const journal_record_t &r)
{
    std::string s;
    s += "port " + escape(r.port) + "\n";
    s += "baudrate " + escape(r.baudrate) + "\n";
    s += "frequency " + std::to_string(r.frequency) + "\n";
    s += "verify " + std::to_string(r.verify) + "\n";
    s += "sum_check " + std::to_string(r.sum_check) + "\n";
    s += "read_size " + std::to_string(r.read_size) + "\n";
    s += "retries " + std::to_string(r.retries) + "\n";
    s += "skip_blank " + std::to_string(r.skip_blank) + "\n";
    s += "boot " + (r.boot.empty() ? std::string("-") : escape(r.boot)) + "\n";
    s += "run " + (r.run.empty() ? std::string("-") : escape(r.run)) + "\n";
    for (const journal_image_t &img : r.images)
        s += "image " + img.digest + " " + suffix_of(img.format) + " " + std::to_string(img.start) +
             "\n";
    return s;
}

std::string serialize(const journal_record_t &r)
{
    std::string s = std::string(RECORD_MAGIC) + "\n";
    s += std::string("state ") + (r.pending ? "pending" : "done") + "\n";
    s += "time " + std::to_string(r.time) + "\n";
    s += "tries " + std::to_string(r.tries) + "\n";
    s += "last_status " +
         (r.last_status == STATUS_INTERRUPTED ? std::string("interrupted")
                                              : std::to_string(r.last_status)) +
         "\n";
    if (!r.pending)
        s += "device_code " + escape(r.device_code) + "\n";
    s += identity(r);
    for (const journal_image_t &img : r.images)
        s += "name " + escape(img.name) + "\n";
    s += "end " + sha256_hex(s) + "\n";
    return s;
}

bool parse_number(const std::string &s, uint64_t max, uint64_t *v)
{
    if (s.empty() || s.size() > 20 || s.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *v = strtoull(s.c_str(), nullptr, 10);
    return *v <= max;
}

template <typename T> bool parse_field(const std::string &s, uint64_t max, T *field)
{
    uint64_t v = 0;
    if (!parse_number(s, max, &v))
        return false;
    *field = static_cast<T>(v);
    return true;
}

// image <digest> <format> <start>
bool parse_image(const std::string &value, journal_image_t *img)
{
    const size_t a = value.find(' ');
    const size_t b = a == std::string::npos ? a : value.find(' ', a + 1);
    if (b == std::string::npos)
        return false;
    img->digest = value.substr(0, a);
    return img->digest.size() == DIGEST_HEX &&
           img->digest.find_first_not_of("0123456789abcdef") == std::string::npos &&
           format_of(value.substr(a + 1, b - a - 1), &img->format) &&
           parse_field(value.substr(b + 1), UINT32_MAX, &img->start);
}

// One line of a record into r.
bool parse_line(const std::string &key, const std::string &value, journal_record_t *r,
                size_t *names)
{
    if (key == "state") {
        r->pending = value == "pending";
        return value == "pending" || value == "done";
    }
    if (key == "time")
        return parse_field(value, INT64_MAX, &r->time);
    if (key == "tries")
        return parse_field(value, 1000, &r->tries);
    if (key == "last_status") {
        r->last_status = STATUS_INTERRUPTED;
        return value == "interrupted" || parse_field(value, 255, &r->last_status);
    }
    if (key == "device_code")
        return unescape(value, &r->device_code);
    if (key == "port")
        return unescape(value, &r->port) && !r->port.empty() && r->port.size() < sizeof cfg.device;
    if (key == "baudrate")
        return unescape(value, &r->baudrate) && r->baudrate.size() < sizeof cfg.baudrate;
    if (key == "frequency")
        return parse_field(value, UINT32_MAX, &r->frequency);
    if (key == "verify")
        return parse_field(value, 1, &r->verify);
    if (key == "sum_check")
        return parse_field(value, 1, &r->sum_check);
    if (key == "skip_blank")
        return parse_field(value, 1, &r->skip_blank);
    if (key == "read_size")
        return parse_field(value, 65536, &r->read_size);
    if (key == "retries")
        return parse_field(value, 100, &r->retries);
    if (key == "boot" || key == "run") {
        std::string &text = key == "boot" ? r->boot : r->run;
        text.clear();
        return value == "-" || (unescape(value, &text) && !text.empty());
    }
    if (key == "image") {
        journal_image_t img{};
        if (!parse_image(value, &img))
            return false;
        r->images.push_back(img);
        return true;
    }
    if (key == "name")
        return *names < r->images.size() && unescape(value, &r->images[(*names)++].name);
    return false;
}

// Reads a record; false with *why set when it is not one this program wrote
// whole.
bool parse(const std::string &raw, journal_record_t *r, std::string *why)
{
    const size_t end = raw.rfind("end ");
    if (end == std::string::npos || (end != 0 && raw[end - 1] != '\n') ||
        raw.compare(end + 4, std::string::npos, sha256_hex(raw.substr(0, end)) + "\n") != 0) {
        *why = "its digest does not match";
        return false;
    }
    if (raw.compare(0, strlen(RECORD_MAGIC) + 1, std::string(RECORD_MAGIC) + "\n") != 0) {
        *why = "it is not a kestrel journal of this version";
        return false;
    }
    *r = journal_record_t{};
    size_t names = 0;
    std::set<std::string> seen;
    for (size_t at = strlen(RECORD_MAGIC) + 1; at < end;) {
        const size_t nl = raw.find('\n', at);
        const std::string line = raw.substr(at, nl - at);
        at = nl + 1;
        const size_t sp = line.find(' ');
        const std::string key = line.substr(0, sp);
        const std::string value = sp == std::string::npos ? "" : line.substr(sp + 1);
        const bool once = key == "image" || key == "name" || seen.insert(key).second;
        if (!once || !parse_line(key, value, r, &names)) {
            *why = "line \"" + line.substr(0, 80) + "\" is not valid";
            return false;
        }
    }
    for (const char *key :
         {"state", "time", "tries", "last_status", "port", "baudrate", "frequency", "verify",
          "sum_check", "skip_blank", "read_size", "retries", "boot", "run"})
        if (!seen.contains(key)) {
            *why = std::string("it has no ") + key;
            return false;
        }
    if (r->images.empty()) {
        *why = "it names no image";
        return false;
    }
    return true;
}

bool write_all(int fd, const void *p, size_t n)
{
    const char *c = static_cast<const char *>(p);
    while (n > 0) {
        const ssize_t w = write(fd, c, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        c += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// The directory's own entries are durable only once it is synced too.
bool sync_dir()
{
    return fsync(journal_fd) == 0;
}

// Writes data to DIR/name: a temporary file, synced, renamed over name, and
// the directory synced. On failure name is as before and errno says why.
bool write_atomic(const char *name, const std::string &data)
{
    const std::string tmp = std::string(".tmp-") + name;
    const int fd = openat(journal_fd, tmp.c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    bool ok = write_all(fd, data.data(), data.size()) && fsync(fd) == 0;
    const int why = errno;
    ok = close(fd) == 0 && ok;
    if (ok && renameat(journal_fd, tmp.c_str(), journal_fd, name) == 0 && sync_dir())
        return true;
    const int why2 = errno;
    unlinkat(journal_fd, tmp.c_str(), 0);
    errno = ok ? why2 : why;
    return false;
}

// Reads DIR/record into raw. False when there is none (ENOENT) or it cannot
// be read.
bool read_record(std::string *raw)
{
    const int fd = openat(journal_fd, RECORD, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st = {};
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= off_t(MAX_RECORD);
    raw->clear();
    char buf[4096];
    while (ok) {
        const ssize_t r = read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            ok = r == 0;
            break;
        }
        raw->append(buf, static_cast<size_t>(r));
        ok = raw->size() <= MAX_RECORD;
    }
    close(fd);
    if (!ok && errno == 0)
        errno = EINVAL;
    return ok;
}

// One read, repeated when a signal interrupts it.
ssize_t read_some(int fd, void *p, size_t n)
{
    for (;;) {
        const ssize_t r = read(fd, p, n);
        if (r >= 0 || errno != EINTR)
            return r;
    }
}

// An image file opened read-only without blocking (a FIFO without a writer
// cannot hang the run), regular files only; -1 with errno set.
int open_image(const char *name)
{
    const int fd = open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    struct stat st = {};
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

// SHA-256 of the file open at in, copied to out on the way when out >= 0.
// False on a read or write error (errno set).
bool digest_fd(int in, int out, std::string *digest)
{
    sha256_ctx ctx;
    sha256_init(&ctx);
    static std::array<uint8_t, 65536> buf;
    for (;;) {
        const ssize_t r = read_some(in, buf.data(), buf.size());
        if (r < 0)
            return false;
        if (r == 0)
            break;
        sha256_update(&ctx, static_cast<size_t>(r), buf.data());
        if (out >= 0 && !write_all(out, buf.data(), static_cast<size_t>(r)))
            return false;
    }
    std::array<uint8_t, SHA256_DIGEST_SIZE> d{};
    sha256_digest(&ctx, d.size(), d.data());
    *digest = hex_of(d.data(), d.size());
    return true;
}

// Removes what this program leaves in DIR and no record needs: temporary
// files, and copies whose name is not in keep (null: every copy stays, for a
// record that cannot be read). Other files are not touched.
void clean(const std::set<std::string> *keep)
{
    const int fd = openat(journal_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *d = fd >= 0 ? fdopendir(fd) : nullptr;
    if (d == nullptr) {
        if (fd >= 0)
            close(fd);
        return;
    }
    std::vector<std::string> doomed;
    // readdir64: a 32-bit program's readdir ends early (EOVERFLOW) on a file
    // system whose 64-bit directory offsets do not fit 32 bits.
    while (const dirent64 *e = readdir64(d)) {
        const std::string n = e->d_name;
        image_format_e f{};
        const bool copy = n.size() == COPY_NAME && n[DIGEST_HEX] == '.' &&
                          n.find_first_not_of("0123456789abcdef") == DIGEST_HEX &&
                          format_of(n.substr(DIGEST_HEX + 1), &f);
        if ((copy && keep != nullptr && !keep->contains(n)) || n.rfind(".tmp-", 0) == 0)
            doomed.push_back(n);
    }
    closedir(d);
    for (const std::string &n : doomed)
        unlinkat(journal_fd, n.c_str(), 0);
    if (!doomed.empty())
        sync_dir();
}

// clean() for a DIR whose record is r (readable: ok) or none (exists false):
// r's copies stay, and every copy stays beside a record that cannot be read.
void clean_for(bool exists, bool ok, const journal_record_t &r)
{
    std::set<std::string> keep;
    for (const journal_image_t &img : r.images)
        keep.insert(copy_name(img));
    if (!exists)
        keep.clear();
    clean(exists && !ok ? nullptr : &keep);
}

// Creates DIR (and missing parents) and opens it, owner-only.
bool open_dir(const char *dir)
{
    const std::string full = dir;
    for (size_t at = 0; at != std::string::npos;) {
        const size_t slash = full.find('/', at + 1);
        const std::string path = full.substr(0, slash);
        at = slash;
        if (!path.empty() && path != "/" &&
            mkdir(path.c_str(), slash == std::string::npos ? 0700 : 0755) != 0 && errno != EEXIST)
            return false;
    }
    journal_fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (journal_fd < 0)
        return false;
    // It holds firmware: owner-only, when it is ours to change.
    struct stat st = {};
    if (fstat(journal_fd, &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 077) != 0)
        fchmod(journal_fd, 0700);
    return true;
}

// The --boot or --run sequence as it would be written on the command line.
std::string sequence_text(const boot_seq_t *seq)
{
    std::string s;
    for (int i = 0; seq != nullptr && i < seq->count; ++i) {
        char step[128];
        format_step(&seq->steps[i], step, sizeof step);
        if (i > 0)
            s += ',';
        s += step;
    }
    return s;
}

// The options of this run, as a record holds them (images not yet).
journal_record_t record_of_cfg()
{
    journal_record_t r;
    r.pending = true;
    r.time = static_cast<int64_t>(::time(nullptr));
    r.port = cfg.device;
    r.baudrate = cfg.baudrate;
    r.frequency = cfg.freq;
    r.verify = cfg.verify != 0;
    r.sum_check = cfg.sum_check != 0;
    r.skip_blank = cfg.skip_blank != 0;
    r.read_size = cfg.read_size;
    r.retries = cfg.retries;
    r.boot = sequence_text(cfg.boot_seq);
    r.run = sequence_text(cfg.run_seq);
    return r;
}

// An open file descriptor, closed on every way out.
struct fd_guard_t {
    int fd;
    explicit fd_guard_t(int f) : fd(f) {}
    fd_guard_t(const fd_guard_t &) = delete;
    fd_guard_t &operator=(const fd_guard_t &) = delete;
    ~fd_guard_t()
    {
        if (fd >= 0)
            close(fd);
    }
};

// SHA-256 of every listed image (copied into DIR when copy), into r.images.
// EXIT_OK; EXIT_LOAD after a message for an image file that cannot be read,
// EXIT_JOURNAL after one for a copy that cannot be written.
kestrel_exit_e take_images(journal_record_t &r, bool copy)
{
    int n = 0;
    for (const img_file *img = cfg.img_first; img != nullptr; img = img->next, ++n) {
        const fd_guard_t in(open_image(img->name));
        if (in.fd < 0) {
            printf("Cannot read \"%s\" for the journal: %s\n", img->name,
                   errno == EINVAL ? "not a regular file" : strerror(errno));
            return EXIT_LOAD;
        }
        journal_image_t j{};
        j.format = img->format;
        j.start = img->offset;
        j.name = img->name;
        const std::string tmp = ".tmp-image-" + std::to_string(n);
        int out = -1;
        if (copy) {
            out = openat(journal_fd, tmp.c_str(),
                         O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (out < 0) {
                printf("Cannot copy \"%s\" into the journal %s: %s\n", img->name, cfg.journal_dir,
                       strerror(errno));
                return EXIT_JOURNAL;
            }
        }
        bool ok = digest_fd(in.fd, out, &j.digest);
        const int why = errno;
        if (copy) {
            ok = ok && fsync(out) == 0;
            ok = close(out) == 0 && ok;
            ok = ok && renameat(journal_fd, tmp.c_str(), journal_fd, copy_name(j).c_str()) == 0;
            if (!ok)
                unlinkat(journal_fd, tmp.c_str(), 0);
        }
        if (!ok) {
            printf("Cannot %s \"%s\" into the journal %s: %s\n", copy ? "copy" : "read", img->name,
                   cfg.journal_dir, strerror(why != 0 ? why : errno));
            return copy ? EXIT_JOURNAL : EXIT_LOAD;
        }
        r.images.push_back(j);
    }
    return EXIT_OK;
}

// Points the image list at the journal's copies of r's images: what is
// flashed is what the record names.
bool use_copies(const journal_record_t &r)
{
    img_file **link = &cfg.img_first;
    for (const journal_image_t &j : r.images) {
        img_file *img = *link;
        if (img == nullptr) {
            img = static_cast<img_file *>(calloc(1, sizeof(img_file)));
            if (img == nullptr)
                return false;
            *link = img;
        }
        snprintf(img->name, sizeof img->name, "%s/%s", cfg.journal_dir, copy_name(j).c_str());
        img->offset = j.start;
        img->format = j.format;
        link = &img->next;
    }
    cfg.img_last = link;
    return true;
}

// The run as a pending record holds it: the options into cfg.
bool load_options(const journal_record_t &r)
{
    snprintf(cfg.device, sizeof cfg.device, "%s", r.port.c_str());
    snprintf(cfg.baudrate, sizeof cfg.baudrate, "%s", r.baudrate.c_str());
    cfg.freq = r.frequency;
    cfg.verify = r.verify;
    cfg.sum_check = r.sum_check;
    cfg.skip_blank = r.skip_blank;
    cfg.read_size = r.read_size;
    cfg.retries = r.retries;
    for (auto [text, target, option] : {std::tuple{&r.boot, &cfg.boot_seq, "--boot"},
                                        std::tuple{&r.run, &cfg.run_seq, "--run"}}) {
        if (text->empty())
            continue;
        boot_seq_t seq{};
        if (parse_sequence(text->c_str(), option, &seq) < 0) {
            local_errno = ERR_SUCCESS;
            return false;
        }
        *target = static_cast<boot_seq_t *>(malloc(sizeof(boot_seq_t)));
        if (*target == nullptr)
            return false;
        **target = seq;
    }
    return true;
}

int begin_resume()
{
    if (!have_prev || (prev_ok && !prev.pending)) {
        puts("Nothing to resume");
        return EXIT_OK;
    }
    if (!prev_ok) {
        printf("The journal %s is unreadable: %s\n", cfg.journal_dir, prev_why.c_str());
        return EXIT_JOURNAL;
    }
    const std::string when = time_text(prev.time);
    if (prev.tries >= JOURNAL_MAX_TRIES) {
        if (prev.last_status == STATUS_INTERRUPTED)
            printf("The upgrade recorded at %s needs a person: %i tries to resume it failed, "
                   "the last was interrupted\n",
                   when.c_str(), prev.tries);
        else
            printf("The upgrade recorded at %s needs a person: %i tries to resume it failed, "
                   "the last with status %i\n",
                   when.c_str(), prev.tries, prev.last_status);
        return EXIT_JOURNAL;
    }
    printf("Resuming the upgrade recorded at %s\n", when.c_str());
    for (const journal_image_t &j : prev.images) {
        const std::string name = copy_name(j);
        const int in =
            openat(journal_fd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        std::string digest;
        const bool ok = in >= 0 && digest_fd(in, -1, &digest);
        if (in >= 0)
            close(in);
        if (!ok || digest != j.digest) {
            printf("The journal's copy %s/%s of \"%s\" %s; nothing was sent\n", cfg.journal_dir,
                   name.c_str(), j.name.c_str(),
                   ok ? "does not match its SHA-256" : "cannot be read");
            return EXIT_JOURNAL;
        }
    }
    if (!load_options(prev) || !use_copies(prev)) {
        printf("The journal %s holds options this kestrel cannot use\n", cfg.journal_dir);
        return EXIT_JOURNAL;
    }
    rec = prev;
    rec.tries += 1;
    rec.last_status = STATUS_INTERRUPTED;
    if (!write_atomic(RECORD, serialize(rec))) {
        printf("Cannot write the journal %s: %s\n", cfg.journal_dir, strerror(errno));
        return EXIT_JOURNAL;
    }
    recorded = true;
    resuming = true;
    return JOURNAL_RUN;
}

int begin_run()
{
    journal_record_t r = record_of_cfg();
    if (cfg.if_changed != 0 && prev_ok && !prev.pending) {
        // Read-only first: a board that checks at every boot writes nothing
        // when nothing changed.
        const kestrel_exit_e t = take_images(r, false);
        if (t != EXIT_OK)
            return t;
        if (identity(r) == identity(prev)) {
            printf("Firmware unchanged since %s\n", time_text(prev.time).c_str());
            return EXIT_OK;
        }
        r.images.clear();
    }
    const kestrel_exit_e t = take_images(r, true);
    if (t != EXIT_OK || !write_atomic(RECORD, serialize(r))) {
        if (t == EXIT_OK)
            printf("Cannot write the journal %s: %s\n", cfg.journal_dir, strerror(errno));
        clean_for(have_prev, prev_ok, prev);
        return t != EXIT_OK ? t : EXIT_JOURNAL;
    }
    rec = r;
    recorded = true;
    if (!use_copies(rec)) {
        puts("Out of memory for the image list");
        return EXIT_JOURNAL;
    }
    return JOURNAL_RUN;
}

} // namespace

int journal_check_cmdline(char **argv)
{
    if (cfg.journal_dir == nullptr) {
        if (cfg.resume != 0 || cfg.if_changed != 0) {
            set_local_errno(ERR_OPTION_INVALID_VALUE, " for option %s: it needs --journal",
                            cfg.resume != 0 ? "--resume" : "--if-changed");
            return -1;
        }
        return 0;
    }
    if (cfg.journal_dir[0] == '\0' || strlen(cfg.journal_dir) > MAX_DIR) {
        set_local_errno(ERR_OPTION_INVALID_VALUE,
                        " for option --journal: give a directory of 1 to %zu characters", MAX_DIR);
        return -1;
    }
    if (cfg.resume != 0 && cfg.if_changed != 0) {
        set_local_errno(ERR_OPTION_INVALID_VALUE,
                        " for option --resume: --if-changed cannot go with it");
        return -1;
    }
    if (cfg.resume != 0 && egetopt(resume_opts, argv, nullptr) < 0) {
        local_errno = ERR_SUCCESS;
        set_local_errno(ERR_OPTION_INVALID_VALUE,
                        " for option --resume: besides --journal, only -q, --events and --trace "
                        "may go with it");
        return -1;
    }
    return 0;
}

int journal_begin()
{
    if (cfg.journal_dir == nullptr)
        return JOURNAL_RUN;
    if (!open_dir(cfg.journal_dir)) {
        printf("Cannot use the journal %s: %s\n", cfg.journal_dir, strerror(errno));
        return EXIT_JOURNAL;
    }
    // One kestrel at a time on a journal (the service at boot and an update
    // system's install, say).
    if (flock(journal_fd, LOCK_EX | LOCK_NB) != 0) {
        printf("The journal %s is in use by another kestrel\n", cfg.journal_dir);
        return EXIT_JOURNAL;
    }
    errno = 0;
    have_prev = read_record(&prev_raw);
    if (!have_prev && errno != ENOENT) {
        printf("The journal %s is unreadable: %s\n", cfg.journal_dir, strerror(errno));
        return EXIT_JOURNAL;
    }
    prev_ok = have_prev && parse(prev_raw, &prev, &prev_why);
    // Temporary files of a run that was cut short; copies stay until a record
    // no longer needs them.
    clean_for(have_prev, prev_ok, prev);
    return cfg.resume != 0 ? begin_resume() : begin_run();
}

void journal_end(kestrel_exit_e status)
{
    if (cfg.journal_dir == nullptr)
        return;
    if (!recorded) {
        events_journal_state(!prev_ok ? nullptr : prev.pending ? "pending" : "done");
        return;
    }
    const int exit_status = status;
    if (status == EXIT_OK) {
        journal_record_t done = rec;
        done.pending = false;
        done.time = static_cast<int64_t>(::time(nullptr));
        done.tries = 0;
        done.last_status = 0;
        done.device_code = selected_device().code;
        if (write_atomic(RECORD, serialize(done))) {
            const std::set<std::string> none;
            clean(&none);
            events_journal_state("done");
        } else {
            printf("Warning: cannot record the upgrade as done in the journal %s: %s\n",
                   cfg.journal_dir, strerror(errno));
            events_journal_state("pending");
        }
        return;
    }
    if (!stage_begun(STAGE_ENTER)) {
        // The device's flash was not touched: the journal as before the run
        // (a resume keeps the try it made).
        bool ok = true;
        if (resuming) {
            rec.last_status = exit_status;
            ok = write_atomic(RECORD, serialize(rec));
        } else if (have_prev) {
            ok = write_atomic(RECORD, prev_raw);
        } else {
            ok = (unlinkat(journal_fd, RECORD, 0) == 0 || errno == ENOENT) && sync_dir();
        }
        if (ok)
            clean_for(have_prev || resuming, prev_ok || resuming, resuming ? rec : prev);
        events_journal_state(ok ? "restored" : "pending");
        return;
    }
    rec.last_status = exit_status;
    write_atomic(RECORD, serialize(rec));
    clean_for(true, true, rec);
    events_journal_state("pending");
}
