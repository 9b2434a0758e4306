// The end-to-end fault matrix: every command kestrel sends, every fault the
// simulated boot program can put into its answer, and what a whole upgrade
// must then do. The commands form one table; the expectations of each case
// (exit status, the end of standard output, how long the tool may wait, how
// far erasure and programming got) are derived from its row and its fault.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "bootsim.h"

namespace faultmatrix
{

// The stages of an upgrade run, in their order.
enum class Stage { Sync, Layout, Prepare, Transition, Erase, Program, Verify };

// One command of the run. `occurrence` counts the frames that start with the
// command code (1-based); kEnd is the end frame after the last block or unit.
struct Row {
    const char *name; // readable case name, e.g. "Cmd50_Unit3"
    uint8_t command;
    int occurrence;
    Stage stage;         // the stage that must fail
    uint8_t response;    // the answer code the tool waits for
    int size_width;      // width of the answer's size field; 0: one-byte answer
    bool snug;           // the tool's buffer holds exactly one well-formed answer
    uint8_t state;       // 0x4F only: the status the stage expects
    const char *line;    // what the stage prints after a failed exchange; %u: the
                         // erase block number or the unit's address
    bool representative; // its silence runs in the default set even when slow
};
inline constexpr int kEnd = -1;

struct Case {
    const Row *row;
    bootsim::Fault kind;
    std::string name; // e.g. "Cmd50_Unit3_Truncate"
    int wait_ms;      // the time-outs and pauses the tool must sit out
    uint8_t value;    // the fault's value (a refusal's error byte, a garbled code, ...)
    // Run with --retries (and --sum-check): the fault is a line fault the
    // tool must recover, ending with exit 0 and the exact flash.
    bool retries = false;
};

enum class Set {
    Default, // every case that waits less than the 15-s time-out, and a few that do
    Slow,    // the other cases that wait out the 15-s time-out
};

std::vector<Case> cases(Set set);

// Shows a case by its name in test reports.
inline void PrintTo(const Case &c, std::ostream *os)
{
    *os << c.name;
}

// Runs one whole upgrade against the simulator with the case's fault and
// checks it with gtest expectations.
void run_case(const Case &c);

} // namespace faultmatrix
