// kestrel's exit statuses, one per stage that can fail. kestrel-gang reads
// them from its runs.
#pragma once

enum kestrel_exit_e : int {
    EXIT_OK = 0,
    EXIT_LOAD = 255,         // image loading
    EXIT_COMMAND_LINE = 254, // command-line error
    EXIT_SYNC = 253,         // synchronisation, or the --boot sequence before it
    EXIT_LAYOUT = 252,       // flash layout inquiry
    EXIT_SELECT = 251,       // device selection, new bit rate or state transition
    EXIT_ERASE = 250,        // erasure
    EXIT_PROGRAM = 249,      // programming
    EXIT_VERIFY = 248,       // verification or the sum check
    EXIT_CLOSE = 246,        // closing the port after an otherwise successful run
    EXIT_RUN = 245,          // the --run sequence after a successful upgrade
    EXIT_INTERRUPTED = 244,  // SIGINT or SIGTERM
    EXIT_JOURNAL = 243,      // the journal (--journal) cannot be used; nothing sent
};
