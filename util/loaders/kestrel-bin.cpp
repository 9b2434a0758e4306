// The binary image loader: a whole raw file placed at its start address.
#include <cinttypes>
#include <cstdint>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kestrel-loaders.h"
#include "kestrel.h"

namespace
{

// Reads on until n bytes are in or the file ends. The count read, or -1 on an error.
ssize_t read_all(int fd, uint8_t *pb, size_t n)
{
    size_t got = 0;
    while (got < n) {
        const ssize_t r = read_image_bytes(fd, pb + got, n - got);
        if (r < 0)
            return -1;
        if (r == 0)
            break;
        got += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

} // namespace

int add_bin_to_map(uint32_t start, const char *imagefile)
{
    printf("Reading %s binary image at %" PRIu32 "...", image_name(imagefile), start);
    // Non-blocking so that a FIFO without a writer is refused below instead of
    // hanging the open; regular files ignore the flag.
    int fd = imagefile != nullptr ? open(imagefile, O_RDONLY | O_NONBLOCK) : -1;
    if (fd < 0) {
        printf("\nFile \"%s\" not found\n", image_name(imagefile));
        return -1;
    }
    image_fd_t image(fd);

    // Only a regular file has a size to place; pipes and devices have none.
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
        printf("\nError: the size of \"%s\" cannot be found, it is not a regular file\n",
               imagefile);
        return -1;
    }
    uint64_t total = static_cast<uint64_t>(st.st_size);

    // An image starts inside the flash and may fill it to its last byte. The
    // sum is taken and printed in 64 bits so that a huge start can neither wrap
    // round into range nor print as some other address.
    if (start >= cfg.size || total > cfg.size - start) {
        printf("\nError: address 0x%" PRIX64 " is invalid, image is out of range\n",
               uint64_t{start} + total);
        return -1;
    }

    ssize_t got = read_all(fd, cfg.mem + start, static_cast<size_t>(total));
    if (got < 0 || static_cast<uint64_t>(got) != total)
        return -1;

    mark_range(static_cast<uint32_t>(start), static_cast<uint32_t>(total));
    cfg.used += static_cast<uint32_t>(total);
    puts(" ok");
    return 0;
}
