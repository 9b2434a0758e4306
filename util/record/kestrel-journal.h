// The journal (--journal DIR): a record of the upgrade kept on the board, so
// that a run cut short by a power cut or a killed process can be completed
// later (--resume) and firmware already in place can be left alone
// (--if-changed). DIR holds one record file and a copy of every image it
// names; each is written under a temporary name, synced and renamed, and the
// directory is synced, so that a power cut at any instant leaves DIR holding
// either what it held before or the whole new record.
#pragma once

#include "kestrel-exit.h"

// journal_begin: go on with the run.
constexpr int JOURNAL_RUN = -1;

// Tries of --resume on one pending record; after that many failed, it needs a person.
constexpr int JOURNAL_MAX_TRIES = 3;

/* journal_check_cmdline
 * After the whole command line (argv: the arguments after the program name)
 * parsed well: --resume and --if-changed need --journal and exclude each
 * other, and --resume allows besides --journal only -q, --events and
 * --trace (the arguments are parsed again with those options alone). Returns
 * 0, or -1 after recording ERR_OPTION_INVALID_VALUE. Does nothing without
 * the journal's options. */
int journal_check_cmdline(char **argv);

/* journal_begin
 * Before the line is touched. Without --journal: JOURNAL_RUN at once.
 * --resume: a pending record is loaded into cfg (images from the journal's
 * copies, whose SHA-256 digests are checked) after "Resuming the upgrade
 * recorded at <time>"; nothing pending prints "Nothing to resume". --if-changed: when nothing is
 * pending and the last-success record matches the port, the options and the images' digests, order
 * and start addresses, prints "Firmware unchanged since <time>". Otherwise the run is recorded as
 * pending (the images copied into DIR, and the image list pointed at the copies, so that what is
 * flashed is what was recorded). Returns 1 to run the upgrade, 0 when there is nothing to do (exit
 * 0, the line untouched), or the status to end with without touching the line: STATUS_JOURNAL after
 * a message, -1 after the loaders' message for an image file that cannot be opened. */
int journal_begin();

/* journal_end
 * The run ends with status. EXIT_OK turns a pending
 * record into the last-success record; a failure before the transition to the
 * programming/erasing state puts DIR back as it was before the run (for a
 * resume: the record with this try counted); any other failure leaves it
 * pending with its status. Tells the run record (--events) the journal's
 * state. Does nothing without --journal. */
void journal_end(kestrel_exit_e status);
