// A small raw client of the simulated boot program, for the simulator's own
// tests: it opens the slave side of the pseudo-terminal and speaks bytes. It
// shares no code with the tool, so the simulator is checked on its own terms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <termios.h>

namespace simclient
{

using Bytes = std::vector<uint8_t>;

// Frame with a size byte: code, size, data, checksum (all bytes sum to 0).
Bytes frame(uint8_t cmd, const Bytes &data);
// Frame without a size byte: code, data, checksum.
Bytes frame_nosize(uint8_t cmd, const Bytes &data);

class Client
{
  public:
    // Opens path read/write, non-blocking, and sets it raw 8N1 at 9600 baud.
    explicit Client(const std::string &path);
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    bool is_open() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // Sets the line raw 8N1 at speed (TCSAFLUSH); raw = false leaves it
    // canonical with echo, as a tool that forgot to set it raw would.
    bool configure(speed_t speed, bool raw = true);
    bool send(const Bytes &b);
    // Reads until n bytes arrived or timeout_ms passed without a byte.
    Bytes recv(size_t n, int timeout_ms = 500);
    // send, then recv(n).
    Bytes exchange(const Bytes &b, size_t n, int timeout_ms = 500);
    void close();

  private:
    int fd_ = -1;
};

// Drives the simulator through synchronisation (true when 0x00 and 0xE6 came
// back).
bool sync(Client &c);
// From synchronisation to the programming/erasing selection state, at the
// given new rate (device "3K64", clock mode 0, ratio 4). True when every step
// was acknowledged.
bool to_select_state(Client &c, uint32_t rate = 115200, speed_t speed = B115200);

} // namespace simclient
