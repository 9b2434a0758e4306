// The program's entry: command line, then the upgrade as a fixed sequence of
// stages. The first stage that fails ends the run with a summary line and an
// exit status that names the stage.
#include <fcntl.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "boot-lines.h"
#include "kestrel-cmdline.h"
#include "kestrel-loaders.h"
#include "kestrel-stages.h"
#include "kestrel-sumcheck.h"
#include "kestrel.h"
#include "serial-linux.h"

namespace
{

// A stage after synchronisation failed: summary line (if any), close the port.
int fail(const char *summary, int status)
{
    if (summary != nullptr)
        puts(summary);
    serial_close();
    return status;
}

void print_parameters()
{
    puts("\nProgramming parameters:");
    printf("\tDevice: %s\n", cfg.device);
    printf("\tBaud rate: %s baud\n", cfg.baudrate);
    printf("\tFrequency: %" PRIu32 " Hz\n", cfg.freq);
    printf("\tMemory size: %" PRIu32 " bytes\n", cfg.size);
    printf("\tProgramming unit size: %i bytes\n", static_cast<int>(cfg.unit));
    printf("\tBytes to program: %" PRIu32 " bytes\n\n", cfg.used);
}

} // namespace

int main(int argc, char **argv)
{
    (void)argc; // the parser relies on the null entry that ends argv
    char **next = nullptr;

    additional_errlist = kestrel_errlist;
    snprintf(cfg.baudrate, sizeof cfg.baudrate, "%s", "9600");
    cfg.freq = 2949;
    cfg.img_last = &cfg.img_first;

    if (egetopt(opts, argv + 1, &next) == 0) {
        if (cfg.img_first == nullptr)
            set_local_errno(static_cast<local_error_t>(ERR_NO_IMAGES), nullptr);
        else if (cfg.device[0] == '\0')
            set_local_errno(static_cast<local_error_t>(ERR_NO_INTERFACE), nullptr);
        cfg.freq *= 10000u; // 10 kHz units to hertz
    }
    if (local_errno == ERR_SUCCESS && cfg.trace_file != nullptr) {
        const int fd = open(cfg.trace_file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            // The reason goes into the detail text: a pending errno would be
            // reported on a line of its own.
            set_local_errno(ERR_OPTION_INVALID_VALUE, " for option --trace: cannot open %s: %s",
                            cfg.trace_file, strerror(errno));
            errno = 0;
        }
        serial_set_trace(fd);
    }
    setbuf(stdout, nullptr);

    if (local_errno != ERR_SUCCESS) {
        local_perror("Command line error");
        usage();
        return -2;
    }
    printf("Baud rate %s has been set\n", "9600");

    if (boot_sequence(cfg.boot_seq, cfg.device) < 0)
        return fail("Failed to adjust baud rate", -3);
    if (adjust_baud_rate(cfg.device) < 0) {
        puts("Failed to adjust baud rate");
        return -3;
    }
    if (get_info() < 0)
        return fail("Failed to retrieve controller information", -4);
    if (prepare() < 0)
        return fail("Failed to prepare the controller", -5);
    if (enter_erase_program_state() < 0)
        return fail("Failed to switch to erase/program state", -5);
    if (read_image_files() < 0)
        return fail(nullptr, -1);
    print_parameters();
    if (erase_flash() < 0)
        return fail("Failed to erasing the flash memory", -6);
    if (program_flash() < 0)
        return fail("Error while writing to the flash memory", -7);
    if (cfg.verify != 0 && verify_flash() < 0)
        return fail("Error while verifying the flash memory", -8);
    if (cfg.sum_check != 0 && sum_check() < 0)
        return fail("Error while verifying the flash memory", -8);
    if (run_sequence(cfg.run_seq) < 0)
        return fail(nullptr, -11);
    if (serial_close() != 0)
        return -10;
    return 0;
}
