// The helpers every image loader shares: reading a file safely and placing a
// run of its data into the flash copy.
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kestrel-loaders.h"
#include "kestrel.h"

ssize_t read_image_bytes(int fd, void *pb, size_t n)
{
    ssize_t r;
    do {
        r = read(fd, pb, n);
    } while (r < 0 && errno == EINTR);
    return r;
}

int open_image_file(const char *imagefile)
{
    // Non-blocking: opening a FIFO without a writer would otherwise wait for
    // one for ever. Regular files ignore the flag.
    int fd = imagefile != nullptr ? open(imagefile, O_RDONLY | O_NONBLOCK) : -1;
    if (fd < 0) {
        printf("File \"%s\" not found\n", image_name(imagefile));
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        printf("Error: \"%s\" is not a regular file\n", imagefile);
        return -1;
    }
    return fd;
}

int place_image_data(uint64_t address, const uint8_t *pb, uint32_t cb, uint64_t &total)
{
    // A run starts inside the flash and may reach its last byte, not beyond.
    const uint64_t end = address + cb;
    if (address >= cfg.size || end > cfg.size) {
        printf("Error: address 0x%" PRIX64 " is invalid, image is out of range\n", end);
        return -1;
    }
    memcpy(cfg.mem + address, pb, cb);
    mark_range(static_cast<uint32_t>(address), cb);
    total += cb;
    return 0;
}
