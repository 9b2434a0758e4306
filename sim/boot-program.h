// The simulated boot program itself: the protocol state machine, the flash and
// the injected faults. It sees whole frames and produces whole answers; the
// terminal, the thread and the pacing live in bootsim.cpp.
#pragma once

#include "bootsim.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <vector>

#include <termios.h>

namespace bootsim
{

// What the simulator sees of the client's line settings.
struct LineSettings {
    uint32_t rate = 0;   // bit rate of both directions, 0 when unknown or they differ
    bool raw8n1 = false; // raw, 8 data bits, no parity, 1 stop bit, no flow control
};

// Bit rate of a terminal speed constant (0 when unknown), and back.
uint32_t rate_of_speed(speed_t speed);
bool speed_of_rate(uint32_t rate, speed_t *speed);
// The client's line as a terminal attributes record describes it.
LineSettings line_settings(const termios &t);

// Sum of n bytes modulo 256.
uint8_t byte_sum(const uint8_t *p, size_t n);

class BootProgram
{
  public:
    enum class State {
        Sync,           // waiting for 0x00 / 0x55
        Inquiry,        // synchronised: inquiries, device selection
        DeviceSelected, // clock mode selection
        ClockSelected,  // new bit rate
        RateAcked,      // waiting for the confirmation at the new rate
        Switched,       // waiting for the programming/erasing state transition
        Select,         // programming/erasing selection, memory read
        Erasing,        // block numbers
        Programming,    // programming frames
        Dead,           // hung up
    };

    struct Outcome {
        bool hang_up = false;    // close the line instead of answering
        double busy_seconds = 0; // modelled erase/programming time before the answer
        double held_seconds = 0; // the answer held back this long, paced or not (Fault::Late)
        bool lost_last = false;  // the frame's last byte never arrived (Fault::LoseByte)
    };

    BootProgram(const Device &dev, std::function<LineSettings()> line);

    void add_fault(const FaultSpec &f) { faults_.push_back(f); }

    // Length of the frame that starts at p, given avail bytes there; 0 when
    // more bytes are needed to tell.
    size_t frame_length(const uint8_t *p, size_t avail) const;
    // Handles one whole frame; the answer is then in reply() (empty: none).
    // corrupted: the line changed the frame (or lost a byte before it), so a
    // unit it programs is the line's doing, not the client's.
    Outcome handle(const uint8_t *p, size_t n, bool corrupted = false);
    const std::vector<uint8_t> &reply() const { return reply_; }

    // The client closed the line: wait for a new synchronisation.
    void end_session();
    bool synchronised() const { return synchronised_; }
    State state() const { return state_; }
    uint32_t rate() const { return rate_; }

    const std::vector<std::vector<uint8_t>> &frames() const { return frames_; }
    const std::set<unsigned> &erased_blocks() const { return erased_; }
    const std::set<uint32_t> &programmed_units() const { return programmed_; }
    const std::vector<uint8_t> &flash() const { return flash_; }
    const std::vector<uint8_t> &initial_flash() const { return initial_; }
    // Programming frames refused for a unit programmed twice without erasure,
    // when the client programmed it the first time: the client's fault. A unit
    // first programmed by a frame the line changed does not count.
    uint64_t programmed_twice() const { return programmed_twice_; }

  private:
    const FaultSpec *match_fault(uint8_t cmd);
    void sync_byte(uint8_t b, const FaultSpec *f, Outcome &out);
    void dispatch(const uint8_t *p, size_t n, const FaultSpec *f, Outcome &out);
    void corrupt(const FaultSpec &f);
    bool inquiry_state() const;

    void ack();
    void refuse(uint8_t cmd, uint8_t err);
    void refuse_command(uint8_t cmd); // not allowed now, or unknown: 0x80 and the command
    void data_reply(uint8_t code, int width, const std::vector<uint8_t> &data);

    void status(const FaultSpec *f);
    void mat_info();
    void block_info();
    void devices();
    void select_device(const uint8_t *p, size_t n);
    void select_clock(const uint8_t *p);
    void new_rate(const uint8_t *p);
    void confirm_rate();
    void enter_prog_erase();
    void sum_check();
    void erase(const uint8_t *p, Outcome &out);
    void program(const uint8_t *p, size_t n, const FaultSpec *f, Outcome &out);
    void read(const uint8_t *p, const FaultSpec *f);

    Device dev_;
    std::vector<Area> blocks_;
    std::function<LineSettings()> line_;
    std::vector<FaultSpec> faults_;
    std::array<int, 256> seen_{};

    State state_ = State::Sync;
    bool got_zero_ = false;
    bool synchronised_ = false;
    uint32_t rate_ = 9600;
    uint8_t last_error_ = 0;

    std::vector<uint8_t> reply_;
    int reply_width_ = 0; // width of the answer's size field, 0 when it has none

    std::vector<uint8_t> flash_, initial_;
    std::vector<uint8_t> dirty_; // per byte: programmed since its last erasure
    std::vector<std::vector<uint8_t>> frames_;
    std::set<unsigned> erased_;
    std::set<uint32_t> programmed_;
    uint64_t programmed_twice_ = 0;
    bool corrupted_ = false;             // the frame being handled was changed by the line
    std::set<uint32_t> line_programmed_; // units programmed by such frames, until erased
};

} // namespace bootsim
