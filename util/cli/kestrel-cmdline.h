// The driver's command line: the option table, its handlers, the usage text and
// the driver's own error codes.
#pragma once

#include "egetopt.h"
#include "error.h"
#include "kestrel.h"

// The driver's own error codes, after the error module's.
enum : int {
    ERR_NO_IMAGES = ERR_ADDITIONAL_ERRORS,
    ERR_NO_INTERFACE,
};

// The driver's texts for its codes, installed as additional_errlist.
extern const additional_error_t kestrel_errlist[];

// The option table that main hands to egetopt.
extern const opt_desc opts[];

/* usage
 * Prints the usage text on stdout with one puts (so an empty line follows). */
void usage();

/* print_version
 * --version: prints "kestrel " and the version (the build's project version)
 * and a line end; the parser then ends the process with status 0. */
void print_version();

/* set_serial_device
 * -s handler: "device[:baudrate]" into cfg.device and cfg.baudrate. Returns 1,
 * or -1 after recording ERR_OPTION_INVALID_VALUE (empty device, or a part too
 * long for its field). */
int set_serial_device(const opt_desc *opt, int argc, char **args);

/* image_format_of
 * The format an image file name selects: ".mot" S-record, ".hex" or ".ihex"
 * Intel HEX, ".elf" ELF, anything else binary. Suffixes are compared
 * case-sensitively and need at least one character before them. */
image_format_e image_format_of(const char *name);

/* set_read_size
 * --read-size handler: a decimal number from 1 to 65536 into cfg.read_size.
 * Returns 1, or -1 after recording ERR_OPTION_INVALID_VALUE. Whether it is a
 * multiple of the programming unit is known only after the layout inquiry. */
int set_read_size(const opt_desc *opt, int argc, char **args);

/* add_image_file
 * -i handler: "file[,start]" appended to the image list, with the warnings for
 * a start address that the file's format ignores or a binary image without
 * one. Returns 1, or -1 after recording an error. */
int add_image_file(const opt_desc *opt, int argc, char **args);

/* set_retries
 * --retries handler: a decimal number from 1 to 100 into cfg.retries.
 * Returns 1, or -1 after recording ERR_OPTION_INVALID_VALUE. */
int set_retries(const opt_desc *opt, int argc, char **args);
