// Runs a program as a child process for end-to-end tests: its standard output
// and standard error captured apart, its exit status, and a time limit after
// which it is killed.
#pragma once

#include <string>
#include <vector>

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

// Runs path with args (argv[0] is path), standard input from /dev/null.
Result run(const std::string &path, const std::vector<std::string> &args, int timeout_ms = 60000);

// Runs the kestrel binary of this build.
Result kestrel(const std::vector<std::string> &args, int timeout_ms = 60000);

} // namespace testproc
