// The recording fakes behind fake-lines.h.
#include "fake-lines.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <memory>

#include <gpiod.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{

using clock_type = std::chrono::steady_clock;

struct chip_model {
    std::string name, label;
    std::vector<int> holder; // per line: 0 free, 1 this process, 2 another consumer
};

clock_type::time_point start = clock_type::now();
std::vector<fakelines::Event> events;
std::vector<std::unique_ptr<chip_model>> models;
dev_t watched = 0;
bool watching = false;

void record(std::string what)
{
    events.push_back({fakelines::now(), std::move(what)});
}

chip_model *find_model(const std::string &descr)
{
    for (auto &m : models) {
        if (descr == m->name || descr == "/dev/" + m->name || descr == m->label ||
            "gpiochip" + descr == m->name)
            return m.get();
    }
    return nullptr;
}

bool is_watched(int fd)
{
    struct stat st {
    };
    return watching && fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == watched;
}

} // namespace

// libgpiod's handles: each opening of a chip has its own line objects, and a
// line requested through one handle is busy for every other, as in the kernel.
struct gpiod_line {
    gpiod_chip *chip;
    unsigned offset;
    bool requested;
};

struct gpiod_chip {
    chip_model *model;
    std::vector<gpiod_line> lines;
};

namespace
{

// Every handle ever opened, so that the product's table never points at freed
// memory, also across tests.
std::vector<std::unique_ptr<gpiod_chip>> handles;

std::string line_name(const gpiod_line *line)
{
    return line->chip->model->name + ":" + std::to_string(line->offset);
}

void release(gpiod_line *line)
{
    if (!line->requested)
        return;
    line->requested = false;
    line->chip->model->holder[line->offset] = 0;
    record("release " + line_name(line));
}

} // namespace

namespace fakelines
{

void reset()
{
    events.clear();
    start = clock_type::now();
    watching = false;
}

void watch_port(const std::string &path)
{
    struct stat st {
    };
    watching = stat(path.c_str(), &st) == 0;
    watched = st.st_rdev;
}

void add_chip(const std::string &name, const std::string &label, unsigned lines)
{
    if (find_model(name) != nullptr)
        return;
    auto m = std::make_unique<chip_model>();
    m->name = name;
    m->label = label;
    m->holder.assign(lines, 0);
    models.push_back(std::move(m));
}

void hold_line_elsewhere(const std::string &chip, unsigned line)
{
    find_model(chip)->holder.at(line) = 2;
}

const std::vector<Event> &log()
{
    return events;
}

std::vector<std::string> whats()
{
    std::vector<std::string> w;
    for (const Event &e : events)
        w.push_back(e.what);
    return w;
}

double time_of(const std::string &w)
{
    for (auto e = events.rbegin(); e != events.rend(); ++e) {
        if (e->what == w)
            return e->ms;
    }
    return -1;
}

double now()
{
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

} // namespace fakelines

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    const bool modem = request == TIOCMBIS || request == TIOCMBIC;
    if ((!modem && request != TIOCSBRK && request != TIOCCBRK) || !is_watched(fd))
        return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
    if (!modem) {
        record(request == TIOCSBRK ? "break on" : "break off");
        return 0;
    }
    const int bits = *static_cast<int *>(arg);
    const char *level = request == TIOCMBIS ? "1" : "0";
    if ((bits & TIOCM_DTR) != 0)
        record(std::string("dtr=") + level);
    if ((bits & TIOCM_RTS) != 0)
        record(std::string("rts=") + level);
    return 0;
}

struct gpiod_chip *gpiod_chip_open_lookup(const char *descr)
{
    chip_model *m = find_model(descr);
    if (m == nullptr) {
        errno = ENOENT;
        return nullptr;
    }
    auto h = std::make_unique<gpiod_chip>();
    h->model = m;
    for (unsigned i = 0; i < m->holder.size(); ++i)
        h->lines.push_back({h.get(), i, false});
    handles.push_back(std::move(h));
    return handles.back().get();
}

void gpiod_chip_close(struct gpiod_chip *chip)
{
    for (gpiod_line &l : chip->lines)
        release(&l);
    chip->lines.clear();
}

const char *gpiod_chip_name(struct gpiod_chip *chip)
{
    return chip->model->name.c_str();
}

struct gpiod_line *gpiod_chip_get_line(struct gpiod_chip *chip, unsigned int offset)
{
    if (offset >= chip->lines.size()) {
        errno = EINVAL;
        return nullptr;
    }
    return &chip->lines[offset];
}

bool gpiod_line_is_requested(struct gpiod_line *line)
{
    return line->requested;
}

int gpiod_line_request_output(struct gpiod_line *line, const char *consumer, int default_val)
{
    if (line->chip->model->holder[line->offset] != 0) {
        errno = EBUSY;
        return -1;
    }
    line->chip->model->holder[line->offset] = 1;
    line->requested = true;
    record("request " + line_name(line) + "=" + std::to_string(default_val) + " by " + consumer);
    return 0;
}

int gpiod_line_set_value(struct gpiod_line *line, int value)
{
    if (!line->requested) {
        errno = EPERM;
        return -1;
    }
    record("set " + line_name(line) + "=" + std::to_string(value));
    return 0;
}
