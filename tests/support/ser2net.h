// Debian's ser2net as the serial server of end-to-end tests: started by the
// test on loopback in front of a pseudo-terminal (the simulator's), with a
// configuration file written for it, and stopped by its pid.
#pragma once

#include <string>

#include <signal.h>
#include <sys/types.h>

namespace testser2net
{

enum class Settings {
    Fast,     // telnet(rfc2217),tcp(nodelay), chardelay off, one connection, no kicking
    Defaults, // telnet(rfc2217),tcp with ser2net's defaults for everything else
};

// Why ser2net cannot be run here ("" when it can): the tests that need it
// skip with this reason.
std::string missing();

// The ser2net 4 YAML that serves device at 127.0.0.1:port.
std::string config(const std::string &device, int port, Settings settings);

class Server
{
  public:
    Server() = default;
    ~Server() { stop(); }
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Writes the configuration into dir and starts ser2net for device on a
    // free loopback port. True once it listens (within 5 s, scaled).
    bool start(const std::string &device, const std::string &dir,
               Settings settings = Settings::Fast);
    // rfc2217://127.0.0.1:PORT, followed by ":rate" when rate is given.
    std::string url(const std::string &rate = "") const;
    pid_t pid() const { return pid_; }
    // Ends ser2net with signo (SIGKILL after 5 s) and reaps it; idempotent.
    void stop(int signo = SIGTERM);
    // What ser2net wrote on its standard output and standard error.
    std::string log() const;

  private:
    bool start_once(const std::string &device, const std::string &dir, Settings settings);

    pid_t pid_ = -1;
    int port_ = 0;
    std::string log_path_;
};

} // namespace testser2net
