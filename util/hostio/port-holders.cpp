// Who holds a local serial port, from the descriptors listed in /proc.
#include "port-holders.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

// A directory stream that closes itself.
class dir_t
{
  public:
    explicit dir_t(const char *path) : d_(opendir(path)) {}
    ~dir_t()
    {
        if (d_ != nullptr)
            closedir(d_);
    }
    dir_t(const dir_t &) = delete;
    dir_t &operator=(const dir_t &) = delete;
    DIR *get() const { return d_; }

  private:
    DIR *d_;
};

// The pid a /proc entry names, or -1 for any other entry.
int pid_of(const char *entry)
{
    if (*entry == '\0' || strspn(entry, "0123456789") != strlen(entry) || strlen(entry) > 9)
        return -1;
    return static_cast<int>(strtol(entry, nullptr, 10));
}

// Whether process pid has a descriptor open on the character device rdev.
bool holds(int pid, dev_t rdev)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/fd", pid);
    dir_t fds(path);
    if (fds.get() == nullptr)
        return false;
    while (const dirent *e = readdir(fds.get())) {
        if (e->d_name[0] == '.')
            continue;
        char fd_path[320];
        snprintf(fd_path, sizeof fd_path, "/proc/%d/fd/%s", pid, e->d_name);
        struct stat st = {};
        if (stat(fd_path, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == rdev)
            return true;
    }
    return false;
}

// The program's name (/proc/PID/comm), "?" when it cannot be read.
void name_of(int pid, char *name, size_t n)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/comm", pid);
    snprintf(name, n, "?");
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    const ssize_t r = read(fd, name, n - 1);
    close(fd);
    if (r <= 0) {
        snprintf(name, n, "?");
        return;
    }
    name[r] = '\0';
    name[strcspn(name, "\n")] = '\0';
}

} // namespace

void print_port_holders(const char *name)
{
    const int saved_errno = errno;
    struct stat want = {};
    if (stat(name, &want) != 0 || !S_ISCHR(want.st_mode)) {
        errno = saved_errno;
        return;
    }
    dir_t proc("/proc");
    if (proc.get() == nullptr) {
        errno = saved_errno;
        return;
    }
    // /proc lists processes in no promised order: collected, then sorted.
    constexpr size_t max_holders = 64;
    int pids[max_holders];
    size_t count = 0;
    const int self = getpid();
    while (const dirent *e = readdir(proc.get())) {
        const int pid = pid_of(e->d_name);
        if (pid <= 0 || pid == self || !holds(pid, want.st_rdev))
            continue;
        if (count < max_holders)
            pids[count++] = pid;
    }
    std::sort(pids, pids + count);
    for (size_t i = 0; i < count; ++i) {
        char comm[64];
        name_of(pids[i], comm, sizeof comm);
        printf("\tHeld by %s (pid %d)\n", comm, pids[i]);
    }
    errno = saved_errno;
}
