// Who holds a local serial port: the processes that have it open, as /proc
// shows them, for the message about a port that another program holds.
#pragma once

/* print_port_holders
 * Prints "\tHeld by %s (pid %d)\n" with the program's name and process id
 * for every other process that has the character device name open, in
 * ascending pid order. Processes whose descriptors this one may not see (of
 * another user, without privileges) are left out; nothing is printed for a
 * name that is not a character device. */
void print_port_holders(const char *name);
