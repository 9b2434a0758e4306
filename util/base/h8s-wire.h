// The H8S boot program's wire facts: every command, response, status and
// error byte that kestrel sends or expects, the byte order of every value on
// the line, and the frames whose layout is pure arithmetic. Nothing else in
// the program writes a protocol code as a number.
#pragma once

#include <array>
#include <cstdint>

// Synchronisation at 9600 baud: raw bytes outside the command framing.
constexpr uint8_t SYNC_PROBE = 0x00;   // answered by itself
constexpr uint8_t SYNC_REQUEST = 0x55; // answered by SYNC_ANSWER
constexpr uint8_t SYNC_ANSWER = 0xE6;

// The acknowledgement of a command without reply data; sent on its own at the
// new bit rate it is also that rate's confirmation, answered by itself.
constexpr uint8_t ACK = 0x06;

// Inquiries and their responses (each reply carries a size field).
constexpr uint8_t CMD_DEVICES = 0x20; // supported devices
constexpr uint8_t REPLY_DEVICES = 0x30;
constexpr uint8_t CMD_CLOCK_MODES = 0x21; // clock modes (the reply is not used)
constexpr uint8_t REPLY_CLOCK_MODES = 0x31;
constexpr uint8_t CMD_RATIOS = 0x22; // multiplication ratios
constexpr uint8_t REPLY_RATIOS = 0x32;
constexpr uint8_t CMD_FREQUENCIES = 0x23; // operating clock frequencies
constexpr uint8_t REPLY_FREQUENCIES = 0x33;
constexpr uint8_t CMD_USER_MAT_INFO = 0x25; // user MAT areas and their addresses
constexpr uint8_t REPLY_USER_MAT_INFO = 0x35;
constexpr uint8_t CMD_BLOCK_INFO = 0x26; // erase blocks and their addresses
constexpr uint8_t REPLY_BLOCK_INFO = 0x36;
constexpr uint8_t CMD_UNIT_INFO = 0x27; // programming unit
constexpr uint8_t REPLY_UNIT_INFO = 0x37;
constexpr uint8_t CMD_STATUS = 0x4F; // boot program status
constexpr uint8_t REPLY_STATUS = 0x5F;
constexpr uint8_t CMD_SUM_CHECK = 0x4B; // user MAT sum
constexpr uint8_t REPLY_SUM_CHECK = 0x5B;
constexpr uint8_t CMD_READ_MEMORY = 0x52; // memory read, answered with the same code
constexpr uint8_t REPLY_READ_MEMORY = 0x52;

// Selections and programming, each acknowledged with ACK.
constexpr uint8_t CMD_SELECT_DEVICE = 0x10;
constexpr uint8_t CMD_SELECT_CLOCK_MODE = 0x11;
constexpr uint8_t CMD_NEW_BIT_RATE = 0x3F;
constexpr uint8_t CMD_ENTER_PROGRAM_ERASE = 0x40; // transition to the programming/erasing state
constexpr uint8_t CMD_SELECT_ERASE = 0x48;
constexpr uint8_t CMD_ERASE_BLOCK = 0x58;
constexpr uint8_t CMD_SELECT_PROGRAM = 0x43; // user MAT programming
constexpr uint8_t CMD_PROGRAM = 0x50;        // address and one programming unit

// The data of some commands.
constexpr uint8_t CLOCK_MODE = 0x00;         // the clock mode selected
constexpr uint8_t RATE_RATIO_COUNT = 0x01;   // ratios that follow in a new-bit-rate frame
constexpr uint8_t ERASE_END = 0xFF;          // as the block number: erasure ends
constexpr uint32_t PROGRAM_END = 0xFFFFFFFF; // as the address, without data: programming ends
constexpr uint8_t AREA_USER_MAT = 0x01;      // the memory a read reads

// A refusal: the command's code with this bit set, then one error byte.
constexpr uint8_t REFUSAL_BIT = 0x80;

constexpr uint8_t refusal_of(uint8_t cmd)
{
    return static_cast<uint8_t>(REFUSAL_BIT | cmd);
}

// The error bytes of a refusal.
constexpr uint8_t ERROR_CHECKSUM = 0x11;   // the frame's checksum was wrong
constexpr uint8_t ERROR_DEVICE = 0x21;     // device code
constexpr uint8_t ERROR_CLOCK_MODE = 0x22; // clock mode
constexpr uint8_t ERROR_BIT_RATE = 0x24;   // bit rate, the first of four rate errors:
constexpr uint8_t ERROR_RATE_LAST = 0x27;  // frequency, ratio and operating frequency follow
constexpr uint8_t ERROR_BLOCK = 0x29;      // block number
constexpr uint8_t ERROR_ADDRESS = 0x2A;    // address
constexpr uint8_t ERROR_SIZE = 0x2B;       // data size
constexpr uint8_t ERROR_ERASE = 0x51;      // erasure failed
constexpr uint8_t ERROR_PROGRAM = 0x53;    // programming failed
constexpr uint8_t ERROR_COMMAND = 0x80;    // command out of order

// The boot program's statuses (the first byte of the status reply).
constexpr uint8_t STATUS_WAIT_DEVICE = 0x11;     // for the device selection
constexpr uint8_t STATUS_WAIT_CLOCK_MODE = 0x12; // for the clock mode selection
constexpr uint8_t STATUS_WAIT_RATE = 0x13;       // for the bit-rate selection
constexpr uint8_t STATUS_WAIT_STATE = 0x1F;      // for the programming/erasing state
constexpr uint8_t STATUS_BUSY = 0x31;            // programming or erasing in progress
constexpr uint8_t STATUS_WAIT_SELECT = 0x3F;     // for a programming/erasing selection
constexpr uint8_t STATUS_WAIT_DATA = 0x4F;       // for programming data
constexpr uint8_t STATUS_WAIT_BLOCK = 0x5F;      // for the number of a block to erase
constexpr uint8_t STATUS_REPLY_SIZE = 2;         // status and error byte

// Byte order: every multi-byte value on the line, both ways, most significant
// byte first.

// Writes n as four bytes, most significant first.
constexpr void long2char(uint32_t n, uint8_t *pb)
{
    pb[0] = static_cast<uint8_t>(n >> 24);
    pb[1] = static_cast<uint8_t>(n >> 16);
    pb[2] = static_cast<uint8_t>(n >> 8);
    pb[3] = static_cast<uint8_t>(n);
}

// Writes v as two bytes, most significant first.
constexpr void short2char(uint16_t v, uint8_t *pb)
{
    pb[0] = static_cast<uint8_t>(v >> 8);
    pb[1] = static_cast<uint8_t>(v);
}

// The 32-bit value of four bytes, most significant first.
constexpr uint32_t char2long(const uint8_t *pb)
{
    return static_cast<uint32_t>(pb[0]) << 24 | static_cast<uint32_t>(pb[1]) << 16 |
           static_cast<uint32_t>(pb[2]) << 8 | pb[3];
}

// The 16-bit value of two bytes, most significant first.
constexpr uint16_t char2short(const uint8_t *pb)
{
    return static_cast<uint16_t>(pb[0] << 8 | pb[1]);
}

// The data of a new-bit-rate frame: the rate in units of 100 baud and the
// clock in units of 10 kHz (each cut to 16 bits, as the device reads them),
// one multiplication ratio.
constexpr std::array<uint8_t, 6> new_bit_rate_data(uint64_t baudrate, uint32_t freq_10khz,
                                                   uint8_t ratio)
{
    std::array<uint8_t, 6> d{};
    short2char(static_cast<uint16_t>(baudrate / 100), d.data());
    short2char(static_cast<uint16_t>(freq_10khz), d.data() + 2);
    d[4] = RATE_RATIO_COUNT;
    d[5] = ratio;
    return d;
}
