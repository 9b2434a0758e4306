// A simulated H8S boot program behind a Linux pseudo-terminal.
//
// The simulator answers the boot-mode protocol the way the on-chip boot
// program does: bit-rate synchronisation at 9600 baud, the inquiry and
// selection commands, the switch to a new bit rate, block erasure,
// programming one unit per frame and memory read-back. Its flash behaves like
// flash (erasing sets bytes to 0xFF, programming only clears bits, a unit must
// be erased before it is programmed again). Faults can be injected at chosen
// commands, and the line can be paced to the time real bytes would take.
//
// Framing and checksums are written here on their own, apart from the tool's
// code, so that the simulator cannot share the tool's mistakes.
//
// Refusals: a refused command is answered with the response code
// (0x80 | command code) followed by one error byte (the kErr* values below).
// A command not allowed in the current state, or unknown, is answered 0x80
// followed by the command byte. The status inquiry (0x4F) reports the state
// and the error byte of the last command (0 when it was accepted). While a new
// bit rate waits for its confirmation, bytes at any other rate are noise to
// it and get no answer.
//
// Line checks: the simulator reads the client's line settings with tcgetattr
// on the master (Linux reports the slave's). It answers synchronisation bytes
// only while the line is at 9600 baud, and the confirmation 0x06 of a new bit
// rate only while the line is at that rate; both also need the line raw (no
// ICANON, ECHO, ISIG, OPOST, ISTRIP, INLCR, IGNCR, ICRNL), 8N1 (CS8, no PARENB,
// no CSTOPB) and without flow control (no CRTSCTS, IXON, IXOFF). Otherwise it
// stays silent, as a boot program that cannot make out the bytes would.
//
// User MAT sum check (0x4B), accepted in the programming/erasing selection
// state: answered 0x5B, size byte 4, the 32-bit byte-wise total of every user
// MAT area (most significant byte first) and the checksum.
//
// Statuses: 0x11 after synchronisation (device selection wait), 0x12 after
// device selection, 0x13 after clock mode selection and while the new bit rate
// waits for its confirmation, 0x1F after the confirmation, 0x3F after 0x40 and
// after the end of erasure or programming, 0x5F while erasing (after 0x48) and
// 0x4F while programming (after 0x43).
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace bootsim
{

struct Area {
    uint32_t start, end; // inclusive end
};

struct Device {
    std::string code = "3K64"; // 4-character device code
    std::string name = "H8S-SIM";
    // Supported-device count reported; device i > 0 is a copy of the first with
    // the last character of its code replaced by 'a' + i - 1.
    int devices = 1;
    std::vector<uint8_t> clock_modes = {0x00};
    uint8_t ratio = 4; // the only multiplication ratio of the only clock type
    std::vector<std::pair<uint16_t, uint16_t>> freq_ranges = {{800, 3500}}; // 10 kHz units
    std::vector<Area> user_mat = {{0x000000, 0x07FFFF}};
    // Empty: 8 x 4 KiB, 1 x 32 KiB, 7 x 64 KiB end to end from 0.
    std::vector<Area> erase_blocks;
    uint16_t unit = 128;
    bool erased_fill = false; // false: flash starts as seeded non-0xFF data
    // Non-empty: the flash starts with this content (a board that kept its
    // flash across a power cut), padded with 0xFF or cut to the flash size;
    // erased_fill and seed then do not matter.
    std::vector<uint8_t> content;
    uint32_t seed = 1;
    uint32_t erase_us = 0, program_us = 0; // modelled busy time per block / unit
    // true: refuse a new bit rate whose frequency lies outside every entry of
    // freq_ranges (error kErrFrequency); false: accept any frequency.
    bool strict_freq = false;
    // false: the transition to the programming/erasing state (0x40) erases the
    // whole user MAT before it is acknowledged, as the chip does; true: the
    // flash keeps its content, so that only the blocks the client erased
    // itself are erased.
    bool keep_content = false;
    // Largest memory read (0x52) accepted, in bytes; 0: any read inside the
    // flash. A larger one is refused with kErrLength.
    uint32_t max_read = 0;
    // true: a new bit rate that the serial interface cannot make within 2 %
    // from the clock (the frequency sent times the multiplication ratio) is
    // refused with kErrBitRate.
    bool check_rate = true;
    // A noisy line, in both directions: each bit of each byte flips with
    // probability noise_ber, and each byte is lost with probability drop,
    // independently, from a generator seeded with noise_seed (the same seed
    // and the same client give the same faults). 0: a clean line.
    double noise_ber = 0;
    double drop = 0;
    uint64_t noise_seed = 1;
    // 0: the receiver counts bytes strictly, so a frame missing a byte takes
    // the first byte of the next one. N > 0: a partial frame is forgotten
    // when no byte has arrived for N milliseconds.
    int rx_idle_reset_ms = 0;
};

enum class Fault {
    Silence,             // nothing is sent and the command has no effect
    Refuse,              // no effect; answered (0x80 | command) and the error byte `value`
    BadChecksum,         // processed; checksum byte + 1 (one-byte answers: the code inverted)
    Truncate,            // processed; only the first `value` bytes sent (0: half, rounded down)
    WrongSize,           // processed; size field one more than the data sent, checksum still
                         // makes the sent bytes sum to 0 (answers without a size field: unchanged)
    OversizeSize,        // processed; only the response code and a size field of all 0xFF sent
                         // (answers without a size field: unchanged)
    HangUp,              // no effect; the master side is closed, the client sees EOF/EIO
    Garble,              // processed; first byte replaced by `value` (synchronisation: the
                         // answer is `value` and synchronisation does not advance)
    Status,              // 0x4F only: reports status `value`
    ReadDifferent,       // 0x52 only: data byte `value` (modulo the length) inverted
    ReadShort,           // 0x52 only: one data byte fewer than asked, valid size and checksum
    ProgramWrong,        // 0x50 only: the unit is programmed with its data byte `value` (modulo
                         // the unit) inverted, and the answer is lost
    ProgramUnseen,       // 0x50 only: as ProgramWrong, but acknowledged: a frame the line changed
                         // without its checksum showing it
    ProgramWrongRefused, // 0x50 only: the unit is programmed with its data byte `value`
                         // inverted, then the frame is refused with kErrProgram
    LoseByte,            // the frame's last byte is lost on its way in: the receiver takes the
                         // next byte in its place (or forgets the part, rx_idle_reset_ms)
    Late,                // processed; the answer is held back `value` tenths of a second, as by
                         // a device still at work (nothing else is read meanwhile)
};

// The fault hits the occurrence-th time (1-based; 0: every time) that a frame
// starting with `command` is received, synchronisation bytes 0x00 and 0x55
// included. The first matching entry wins. Faults on a synchronisation byte
// never let synchronisation advance.
struct FaultSpec {
    uint8_t command;
    int occurrence = 1;
    Fault kind;
    uint8_t value = 0;
};

struct Stats {
    uint64_t bytes_rx = 0, bytes_tx = 0;
    double wire_seconds = 0; // sum over bytes of 10 / bit rate in force
    double busy_seconds = 0; // modelled erase and programming time
    // The noisy line (Device::noise_ber, drop).
    uint64_t bits_flipped = 0, bytes_dropped = 0;
    // Frames that held a byte the line changed (or followed a lost one) and
    // were acted on all the same: corruptions the checksum could not see.
    uint64_t unseen_corruptions = 0;
    // Programming frames refused because their unit was programmed by the
    // client and not erased since: the client's fault (a unit that a frame
    // changed by the line programmed does not count).
    uint64_t programmed_twice = 0;
};

// Error bytes of refusals.
inline constexpr uint8_t kErrChecksum = 0x11;
inline constexpr uint8_t kErrDevice = 0x21;
inline constexpr uint8_t kErrClockMode = 0x22;
inline constexpr uint8_t kErrBitRate = 0x24;
inline constexpr uint8_t kErrRatio = 0x26;
inline constexpr uint8_t kErrFrequency = 0x27;
inline constexpr uint8_t kErrBlock = 0x29;
inline constexpr uint8_t kErrAddress = 0x2A;
inline constexpr uint8_t kErrLength = 0x2B;
inline constexpr uint8_t kErrProgram = 0x53;
inline constexpr uint8_t kErrCommand = 0x80; // unknown command or command out of order

// The erase blocks a device reports (its own list, or the default one).
std::vector<Area> erase_blocks_of(const Device &dev);
// Size of the simulated flash: end of the last user MAT area + 1 (0 without
// areas), capped at 64 MiB.
uint32_t flash_size_of(const Device &dev);

class Sim
{
  public:
    explicit Sim(Device dev = Device{});
    ~Sim(); // stop()
    Sim(const Sim &) = delete;
    Sim &operator=(const Sim &) = delete;

    void add_fault(const FaultSpec &f); // before start()
    // Paced: every byte takes 10 bits at the bit rate in force, each direction
    // of the line is busy until its bytes are through, a frame cannot arrive
    // before the client wrote it, and erasure/programming add their busy
    // time; answers are written when their bytes would have arrived.
    // Unpaced: answers go at once (the statistics are kept the same way).
    void set_pace(bool on); // before start()
    // A USB serial adapter between the simulator and the client: bytes to the
    // client are held until 62 are waiting (one USB packet) or ms milliseconds
    // have passed since the first of them arrived. 0: no adapter.
    void set_latency(int ms); // before start()

    // Opens the pseudo-terminal and starts serving it on a thread of its own.
    // Returns false when the terminal cannot be set up.
    bool start();
    const std::string &slave_path() const;
    // Stops the thread and closes the terminal; idempotent.
    void stop();

    // Results; safe while running (snapshots) and after stop().
    // Every frame received after synchronisation, exactly as received.
    std::vector<std::vector<uint8_t>> frames() const;
    std::set<unsigned> erased_blocks() const;    // block numbers erased
    std::set<uint32_t> programmed_units() const; // start addresses of units programmed
    std::vector<uint8_t> flash() const;          // current content
    std::vector<uint8_t> initial_flash() const;  // content at start
    uint32_t current_rate() const;               // bit rate of the simulator's side
    Stats stats() const;

    // True once a client has closed the terminal after synchronising. The
    // simulator watches the slave device for opens and closes (inotify): it
    // keeps a descriptor of the slave open itself, so the master never sees a
    // hang-up, and counts the clients' open file descriptions instead. When
    // the last one closes after synchronisation the session is over and the
    // simulator waits for a new synchronisation (the flash is kept).
    bool session_over() const;
    // Waits up to timeout_ms for session_over(); returns its value.
    bool wait_session_over(int timeout_ms) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace bootsim
