// Recording fakes of the lowest layer under the boot-mode lines, linked into
// the tests that need them only: the modem-line and break requests of ioctl
// (interposed; only for a watched terminal device, everything else goes to the
// system), and libgpiod's calls (defined here, so the product's GPIO module
// links them instead of the library). Every call is logged with a time stamp.
#pragma once

#include <string>
#include <vector>

namespace fakelines
{

struct Event {
    double ms;        // milliseconds since reset()
    std::string what; // "dtr=1", "rts=0", "break on", "break off",
                      // "request CHIP:LINE=L by CONSUMER", "set CHIP:LINE=L",
                      // "release CHIP:LINE" (a chip closed with the line)
};

// Empties the log, restarts its clock and stops watching a port. Chips and the
// lines requested on them stay: a process holds its lines until it ends.
void reset();

// The terminal device at path has modem lines from now on: TIOCMBIS, TIOCMBIC,
// TIOCSBRK and TIOCCBRK on a descriptor of it succeed and are logged.
void watch_port(const std::string &path);

// A GPIO chip that lookups find by its name, /dev/ path, label or number (the
// number in its name). Adding a chip that exists changes nothing.
void add_chip(const std::string &name, const std::string &label, unsigned lines);

// Requests a line of a chip for another consumer, as another program would.
void hold_line_elsewhere(const std::string &chip, unsigned line);

const std::vector<Event> &log();

// The what of every event, in order.
std::vector<std::string> whats();

// Time of the last event whose what is w, or -1.
double time_of(const std::string &w);

// Milliseconds since reset().
double now();

} // namespace fakelines
