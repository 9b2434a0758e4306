// The boot-mode command exchange: checksums, one framed command and its
// response, and the status inquiry. Every stage after synchronisation talks to
// the device through it.
#pragma once

#include <cstdint>

#include "h8s-wire.h"

// The 8-bit sum of cb bytes at pb.
uint8_t get_checksum(const uint8_t *pb, int cb);

// Writes into pb[cb - 1] the two's complement of the sum of the cb - 1 bytes before it.
void calc_checksum(uint8_t *pb, int cb);

// One exchange, described: the command and the data it carries, the response
// it expects and where the reply goes. The fields are cmd_readwrite's
// parameters; left out, an exchange sends the bare command and expects ACK.
struct exchange_t {
    uint8_t cmd;                      // command code
    const uint8_t *pbWrite = nullptr; // data to send, may be null
    int cbWrite = 0;                  // bytes of data
    uint8_t cbWriteSize = 0;          // 1: a size byte goes before the data; 0: none
    uint8_t response = ACK;           // the response code expected
    uint8_t *pbRead = nullptr;        // the reply (null: an internal 2-byte buffer)
    int cbMaxRead = 0;                // capacity of pbRead
    int cbRead = 0;                   // data bytes expected when the reply has no size field
    uint8_t cbReadSize = 0;           // width of the reply's size field: 0, 1, 2 or 4
    int deadline_ms = 0; // > 0: the answer's first byte waits at most this long (or the
                         // time-out in force, when shorter); 0: the time-out in force
};

/* exchange
 * Sends one framed command and receives its response, as cmd_readwrite. */
int exchange(const exchange_t &x);

/* cmd_readwrite
 * Sends one framed command and receives its response. Returns the number of
 * data bytes now at the start of pbRead (null: an internal 2-byte buffer), or
 * -1 bad cbWriteSize / frame not sent whole / SIGINT or SIGTERM received
 * before it (nothing sent, nothing printed), -2 no or wrong response code or
 * short size field, -3 response larger than cbMaxRead, -4 data or checksum
 * short, -5 wrong checksum. Each failure but a missing response code prints. */
int cmd_readwrite(uint8_t cmd, const uint8_t *pbWrite, int cbWrite, uint8_t cbWriteSize,
                  uint8_t response, uint8_t *pbRead, int cbMaxRead, int cbRead, uint8_t cbReadSize);

// What went wrong in the last cmd_readwrite.
enum exchange_fault_e : int {
    XF_NONE,     // success
    XF_SEND,     // the frame was not sent whole (or not built)
    XF_TIMEOUT,  // no response code, or the error byte of a refusal, in time
    XF_REFUSED,  // another response code followed by its error byte
    XF_SHORT,    // the size field, or the data and checksum, did not arrive whole
    XF_TOO_LONG, // the size field announced more than the buffer holds
    XF_CHECKSUM, // the reply's checksum was wrong
};

struct exchange_outcome_t {
    exchange_fault_e fault;
    uint8_t code;  // the response code received (XF_REFUSED)
    uint8_t error; // the error byte received (XF_REFUSED)
    bool late;     // XF_TIMEOUT: no response code within the exchange's deadline_ms,
                   // which was shorter than the time-out in force
};

/* last_exchange
 * The outcome of the last cmd_readwrite (and of its short forms): what went
 * wrong and, after a refusal, the code and error byte that arrived. */
const exchange_outcome_t &last_exchange();

/* exchange_refused
 * Whether the last exchange ended with the device's refusal: another response
 * code followed by its error byte. A silent, cut or failed answer is not one. */
bool exchange_refused();

/* set_exchange_messages
 * false: cmd_readwrite prints nothing when it fails (the outcome and the
 * message are still kept); true (the default): it prints its messages.
 * Returns the setting before. */
bool set_exchange_messages(bool on);

/* print_exchange_message
 * Prints the message of the last cmd_readwrite, the one it printed or would
 * have printed (nothing when it succeeded or failed without one). */
void print_exchange_message();

/* exchange_message
 * The message of the last cmd_readwrite, the one print_exchange_message
 * prints ("" when it had none), until the next exchange. */
const char *exchange_message();

/* set_reply_byte_timeout
 * ms > 0: once the first byte of a reply has arrived, each of its other bytes
 * waits at most ms (or the time-out in force, when shorter); the time-out in
 * force is put back when the exchange ends. 0 (the default): every byte waits
 * the time-out in force. */
void set_reply_byte_timeout(int ms);

/* cmd_refusable
 * cmd_readwrite for a command the device may refuse on purpose; pbRead must
 * not be null and must hold at least 2 bytes. Returns what cmd_readwrite
 * returns, and sets *refused to exchange_refused(). */
int cmd_refusable(uint8_t cmd, const uint8_t *pbWrite, int cbWrite, uint8_t cbWriteSize,
                  uint8_t response, uint8_t *pbRead, int cbMaxRead, int cbRead, uint8_t cbReadSize,
                  bool *refused);

// A command without data whose response has data.
int cmd_read(uint8_t cmd, uint8_t response, uint8_t *pbRead, int cbMaxRead, int cbRead,
             uint8_t cbReadSize);

// A command with data acknowledged by one response byte.
int cmd_write(uint8_t cmd, const uint8_t *pbWrite, int cbWrite, uint8_t cbWriteSize,
              uint8_t response);

// A single command byte acknowledged by one response byte.
int cmd(uint8_t cmd, uint8_t response);

/* check_status
 * Asks for the boot program's status (CMD_STATUS). Returns 0 when the inquiry
 * succeeded, warning when checkstate is non-zero and differs; -1 after "Status
 * check failed". */
int check_status(uint8_t checkstate);

/* report_status
 * What check_status makes of its inquiry, for an inquiry made another way:
 * r is the exchange's result and buf its reply. Prints "Status check failed"
 * and returns -1 when r is negative; otherwise warns when checkstate is
 * non-zero and differs from the status, and returns 0. */
int report_status(int r, const uint8_t *buf, uint8_t checkstate);
