// Runs a program as a child process for end-to-end tests: its standard output
// and standard error captured apart, its exit status, and a time limit after
// which it is killed.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace testproc
{

struct Result {
    std::string out; // standard output
    std::string err; // standard error
    int status = -1; // exit status, or -1 when it did not exit normally
    int signal = 0;  // the signal that ended it, if any
    bool timed_out = false;
    double seconds = 0; // wall time
};

// The words that start the target program path: path alone in a native build,
// the emulator, its arguments and path in a cross build.
std::vector<std::string> target_command(const std::string &path);

// Called about every 20 ms while the child runs, with its process id.
using Watch = std::function<void(pid_t)>;

// Runs path with args (argv[0] is path), standard input from /dev/null.
Result run(const std::string &path, const std::vector<std::string> &args, int timeout_ms = 60000,
           const Watch &watch = nullptr);

// Runs the kestrel binary of this build (through the emulator in a cross build).
Result kestrel(const std::vector<std::string> &args, int timeout_ms = 60000,
               const Watch &watch = nullptr);

} // namespace testproc
