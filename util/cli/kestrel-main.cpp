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
#include "kestrel-events.h"
#include "kestrel-exit.h"
#include "kestrel-journal.h"
#include "kestrel-loaders.h"
#include "kestrel-signal.h"
#include "kestrel-stages.h"
#include "kestrel-sumcheck.h"
#include "kestrel.h"
#include "serial-linux.h"

namespace
{

// Runs one stage between its begin and end in the record (STAGE_NONE: not
// recorded). False when it failed or a signal arrived while it ran.
template <typename Call> bool run_stage(stage_e stage, Call call)
{
    if (stage != STAGE_NONE)
        stage_begin(stage);
    const bool ok = call() >= 0 && interrupted_by() == 0;
    if (stage != STAGE_NONE)
        stage_end(ok);
    return ok;
}

// The run ends with status: the journal and the record told.
int finish(kestrel_exit_e status)
{
    journal_end(status);
    events_result(status);
    return status;
}

// A stage failed: summary line (if any), the port closed when close_port,
// the result recorded. After SIGINT or SIGTERM the summary is the signal's.
int fail(const char *summary, kestrel_exit_e status, bool close_port = true)
{
    if (interrupted_by() != 0) {
        serial_close();
        printf("Interrupted by signal %i\n", interrupted_by());
        return finish(EXIT_INTERRUPTED);
    }
    if (summary != nullptr)
        puts(summary);
    if (close_port)
        serial_close();
    return finish(status);
}

void print_parameters()
{
    puts("\nProgramming parameters:");
    printf("\tDevice: %s\n", cfg.device);
    printf("\tBaud rate: %s baud\n", cfg.baudrate);
    printf("\tFrequency: %" PRIu32 " Hz\n", cfg.freq);
    printf("\tMemory size: %" PRIu32 " bytes\n", cfg.size);
    printf("\tProgramming unit size: %i bytes\n", static_cast<int>(cfg.unit));
    printf("\tBytes to program: %" PRIu32 " bytes\n", cfg.used);
    if (cfg.skip_blank != 0)
        printf("\tBlank units skipped: %" PRIu32 "\n", run_counts().skipped_units);
    putchar('\n');
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

    if (egetopt(opts, argv + 1, &next) == 0 && journal_check_cmdline(argv + 1) == 0) {
        if (cfg.img_first == nullptr && cfg.resume == 0) // --resume: the journal names them
            set_local_errno(static_cast<local_error_t>(ERR_NO_IMAGES), nullptr);
        else if (cfg.device[0] == '\0' && cfg.resume == 0)
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
    // The record is opened once the command line is known to be good, so that
    // a run refused there leaves no file behind.
    if (local_errno == ERR_SUCCESS && cfg.events_file != nullptr &&
        events_open(cfg.events_file) < 0) {
        const int why = errno;
        errno = 0; // the detail text says why; local_perror must not print errno instead
        set_local_errno(ERR_OPTION_INVALID_VALUE, " for option --events: cannot write to %s: %s",
                        cfg.events_file, strerror(why));
    }
    setbuf(stdout, nullptr);

    if (local_errno != ERR_SUCCESS) {
        local_perror("Command line error");
        usage();
        return EXIT_COMMAND_LINE;
    }
    signals_install();
    serial_set_wakeup(signals_wakeup_fd());
    const int journal = journal_begin(); // --journal: the run recorded as pending, or no run
    events_start();
    if (journal != JOURNAL_RUN)
        return finish(static_cast<kestrel_exit_e>(journal));
    printf("Baud rate %s has been set\n", "9600");

    if (!run_stage(cfg.boot_seq != nullptr ? STAGE_BOOT : STAGE_NONE,
                   [] { return boot_sequence(cfg.boot_seq, cfg.device); }))
        return fail("Failed to adjust baud rate", EXIT_SYNC);
    if (!run_stage(STAGE_SYNC, [] { return adjust_baud_rate(cfg.device); }))
        return fail("Failed to adjust baud rate", EXIT_SYNC, false);
    if (!run_stage(STAGE_LAYOUT, get_info))
        return fail("Failed to retrieve controller information", EXIT_LAYOUT);
    if (!run_stage(STAGE_SELECT, prepare))
        return fail("Failed to prepare the controller", EXIT_SELECT);
    events_device();
    if (!run_stage(STAGE_ENTER, enter_erase_program_state))
        return fail("Failed to switch to erase/program state", EXIT_SELECT);
    if (!run_stage(STAGE_LOAD, read_image_files))
        return fail(nullptr, EXIT_LOAD);
    if (cfg.skip_blank != 0)
        set_skipped_units(count_blank_units());
    print_parameters();
    if (!run_stage(STAGE_ERASE, erase_flash))
        return fail("Failed to erasing the flash memory", EXIT_ERASE);
    if (!run_stage(STAGE_PROGRAM, program_flash))
        return fail("Error while writing to the flash memory", EXIT_PROGRAM);
    if (cfg.verify != 0 && !run_stage(STAGE_VERIFY, verify_flash))
        return fail("Error while verifying the flash memory", EXIT_VERIFY);
    if (cfg.sum_check != 0 && !run_stage(STAGE_SUM_CHECK, sum_check))
        return fail("Error while verifying the flash memory", EXIT_VERIFY);
    if (!run_stage(cfg.run_seq != nullptr ? STAGE_RUN : STAGE_NONE,
                   [] { return run_sequence(cfg.run_seq); }))
        return fail(nullptr, EXIT_RUN);
    return finish(serial_close() != 0 ? EXIT_CLOSE : EXIT_OK);
}
