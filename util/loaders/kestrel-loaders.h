// The image loaders, one file each (kestrel-srec.cpp, kestrel-bin.cpp,
// kestrel-ihex.cpp, kestrel-elf.cpp), the helpers they share (image-io.cpp:
// opening a file safely, placing a run of data into the flash copy), and the
// dispatcher that loads every listed image (kestrel-image.cpp).
#pragma once

#include <cstdint>

#include <unistd.h>

// An open file descriptor, closed on every way out.
struct image_fd_t {
    int fd;
    explicit image_fd_t(int f) : fd(f) {}
    image_fd_t(const image_fd_t &) = delete;
    image_fd_t &operator=(const image_fd_t &) = delete;
    ~image_fd_t()
    {
        if (fd >= 0)
            close(fd);
    }
};

/* image_name
 * The name as messages print it: "(null)" for a null pointer. */
inline const char *image_name(const char *imagefile)
{
    return imagefile != nullptr ? imagefile : "(null)";
}

/* read_image_bytes
 * One read of up to n bytes from fd into pb, repeated when a signal interrupts
 * it. Returns the count read, 0 at the end of the file, or -1 (errno set). */
ssize_t read_image_bytes(int fd, void *pb, size_t n);

/* open_image_file
 * Opens imagefile read-only without blocking, so that a FIFO without a writer
 * cannot hang the run, and accepts only a regular file. Returns the open
 * descriptor, or -1 after printing "File \"%s\" not found\n" (it cannot be
 * opened) or "Error: \"%s\" is not a regular file\n"; nothing stays open then. */
int open_image_file(const char *imagefile);

/* place_image_data
 * Places one run of image data: the cb bytes at pb go to cfg.mem + address,
 * the pages holding them are marked and cb is added to total (the caller adds
 * its total to cfg.used once the whole file is in). The run must start inside
 * the flash and may end on its last byte. Returns 0, or -1 after printing
 * "Error: address 0x%X is invalid, image is out of range\n" with address + cb;
 * nothing is changed then. */
int place_image_data(uint64_t address, const uint8_t *pb, uint32_t cb, uint64_t &total);

/* add_ihex_to_map
 * Places the data records of an Intel HEX file into cfg.mem, marks their pages
 * and adds the bytes placed to cfg.used. Returns the bytes placed, or -1 after
 * one message: the file cannot be opened or is not a regular file, a record is
 * malformed ("Error: FILE:LINE: fault"), the end-of-file record is missing or
 * followed by more than white space, or data lies outside the flash. */
int add_ihex_to_map(const char *imagefile);

/* add_elf_to_map
 * Places the file data of every loadable segment of an H8/300, H8/300H or H8S
 * ELF32 big-endian executable at its physical address in cfg.mem, marks the
 * pages and adds the bytes placed to cfg.used. Returns the bytes placed, or -1
 * after one message: the file cannot be opened, is not such an ELF file
 * ("Error: FILE: reason"), or a segment lies outside the flash. */
int add_elf_to_map(const char *imagefile);

// Value of one hexadecimal character; no character is refused.
unsigned char letter2char(unsigned char c);

// Decodes cb bytes from the 2 * cb characters at in into out.
void letters2char(const unsigned char *in, unsigned char *out, unsigned int cb);

/* add_srec_to_map
 * Places the data records of an S-record file into cfg.mem, marks their pages
 * and adds the bytes placed to cfg.used. Returns the bytes placed, or -1 (open,
 * not a regular file, read, truncated record, out of range), -2 malformed
 * record, -3 checksum, -4 byte count. */
int add_srec_to_map(const char *imagefile);

/* add_bin_to_map
 * Places a whole binary file at start in cfg.mem, marks its pages and adds its
 * size to cfg.used. Returns 0 or more, or -1 after a message. */
int add_bin_to_map(uint32_t start, const char *imagefile);

/* read_image_files
 * Loads every listed image in command-line order. Returns 0, or -1 at the
 * first failure (later images are not opened); the loaders print their messages. */
int read_image_files();
