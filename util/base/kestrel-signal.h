// SIGINT and SIGTERM end a run at the next exchange boundary instead of
// killing it in the middle of one: the port's settings are put back and the
// run reports how it ended.
#pragma once

/* signals_install
 * Installs the handler for SIGINT and SIGTERM. It only records the signal; it
 * is installed without SA_RESTART, so that a wait on the line that the signal
 * interrupts ends at once (EINTR) instead of running out its time-out. */
void signals_install();

/* signals_wakeup_fd
 * The read end of a pipe that becomes readable when SIGINT or SIGTERM
 * arrives (after signals_install; -1 before, or when no pipe could be made),
 * for the serial module to end a wait that the signal's EINTR missed. */
int signals_wakeup_fd();

/* interrupted_by
 * The number of the first SIGINT or SIGTERM received, or 0. */
int interrupted_by();
