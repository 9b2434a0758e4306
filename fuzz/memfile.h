// An in-memory file with a path, for loaders that open files by name: the
// fuzz input is written into it before each run.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "error.h"

class memfile_t
{
  public:
    explicit memfile_t(const char *name) : fd(memfd_create(name, 0))
    {
        ASSERT(fd >= 0);
        snprintf(path_, sizeof path_, "/proc/self/fd/%d", fd);
    }
    memfile_t(const memfile_t &) = delete;
    memfile_t &operator=(const memfile_t &) = delete;

    const char *path() const { return path_; }

    // Replaces the content with the size bytes at data.
    void write(const uint8_t *data, size_t size) const
    {
        ASSERT(ftruncate(fd, 0) == 0);
        size_t done = 0;
        while (done < size) {
            ssize_t w = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
            ASSERT(w > 0);
            done += static_cast<size_t>(w);
        }
    }

  private:
    int fd;
    char path_[64];
};
