// The far end of a serial line for tests: the master side of a pseudo-terminal
// whose slave device the code under test opens by name. Used directly from the
// test thread, or through a script of steps that runs on a thread of its own
// while the test thread blocks in the code under test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

namespace ptypeer
{

class PtyPeer
{
  public:
    // Opens a new pseudo-terminal; ok() tells whether that worked.
    PtyPeer();
    // Waits for a running script, then closes the master.
    ~PtyPeer();
    PtyPeer(const PtyPeer &) = delete;
    PtyPeer &operator=(const PtyPeer &) = delete;

    bool ok() const { return master >= 0; }
    const std::string &slave_name() const { return slave; }
    int master_fd() const { return master; }

    // ---- Direct use -------------------------------------------------------

    // Sends bytes to the slave side. True when all were taken.
    bool send(const std::vector<uint8_t> &bytes);
    bool send(std::initializer_list<uint8_t> bytes) { return send(std::vector<uint8_t>(bytes)); }

    // Reads n bytes written on the slave side, waiting up to ms for each one.
    // Returns what arrived (fewer than n on a time-out).
    std::vector<uint8_t> receive(size_t n, int ms = 1000);

    // Everything written on the slave side that arrives within ms of the last byte.
    std::vector<uint8_t> drain(int ms = 20);

    // Waits until the slave side holds no unread input. The input queue is
    // polled; since a byte just sent may not be queued yet, an empty queue
    // counts only after grace_ms without input or once input was seen. False
    // when input is still waiting after limit_ms.
    bool wait_consumed(int grace_ms = 20 * TEST_TIME_SCALE, int limit_ms = 2000 * TEST_TIME_SCALE);

    // Closes the master: the slave side sees a hang-up.
    void hang_up();

    // ---- Script -----------------------------------------------------------

    PtyPeer &then_send(std::vector<uint8_t> bytes);
    PtyPeer &then_expect(size_t n, int ms = 1000); // receive n bytes into received()
    PtyPeer &then_pause(int ms);
    PtyPeer &then_wait_consumed();
    PtyPeer &then_hang_up();
    PtyPeer &then_call(std::function<void(PtyPeer &)> step);

    // Runs the steps in order on a thread of their own.
    void start();
    // Waits for the end of the script.
    void join();

    // After join(): the bytes that the expect steps received, and whether every
    // expect and wait step succeeded.
    const std::vector<uint8_t> &received() const { return got; }
    bool script_ok() const { return script_fine; }

  private:
    int master = -1;
    std::string slave;
    std::vector<std::function<void(PtyPeer &)>> steps;
    std::thread runner;
    std::vector<uint8_t> got;
    bool script_fine = true;
};

} // namespace ptypeer
