// The boot-mode command exchange: framing, response check, status inquiry.
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "error.h"
#include "h8s-wire.h"
#include "kestrel-proto.h"
#include "kestrel-signal.h"
#include "serial-linux.h"

namespace
{

// The largest frame: a programming frame of command, address, a programming
// unit of at most 65535 bytes and the checksum.
constexpr int max_frame = 1 + 4 + 65535 + 1;

// The frame under construction. Static so that no exchange allocates or puts
// 64 KiB on the stack; nothing in it outlives a call.
std::array<uint8_t, max_frame> tmpwritebuf;

exchange_outcome_t outcome{};
bool messages = true;            // false: failures are only recorded, not printed
std::array<char, 160> message{}; // the message of the last failed exchange

// printf for the message of a failed exchange, which is also kept.
__attribute__((format(printf, 1, 2))) void fail_message(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    vsnprintf(message.data(), message.size(), format, ap);
    va_end(ap);
    if (messages)
        fputs(message.data(), stdout);
}
int reply_byte_ms = 0; // 0: the rest of a reply waits the time-out in force

// Shortens the serial time-out for the rest of a reply, and puts the old one
// back when the exchange returns.
class rest_of_reply
{
  public:
    rest_of_reply() = default;
    rest_of_reply(const rest_of_reply &) = delete;
    rest_of_reply &operator=(const rest_of_reply &) = delete;
    void begin()
    {
        if (reply_byte_ms <= 0)
            return;
        saved_ = serial_get_timeout();
        if (saved_ >= 0 && saved_ <= reply_byte_ms)
            return;
        active_ = true;
        serial_set_timeout(reply_byte_ms);
    }
    ~rest_of_reply()
    {
        if (active_)
            serial_set_timeout(saved_);
    }

  private:
    int saved_ = 0;
    bool active_ = false;
};

// Records the outcome of this exchange and passes its result on.
int outcome_is(exchange_fault_e fault, int result)
{
    outcome.fault = fault;
    return result;
}

} // namespace

uint8_t get_checksum(const uint8_t *pb, int cb)
{
    uint8_t sum = 0;
    for (int i = 0; i < cb; ++i)
        sum = static_cast<uint8_t>(sum + pb[i]);
    return sum;
}

void calc_checksum(uint8_t *pb, int cb)
{
    pb[cb - 1] = static_cast<uint8_t>(-get_checksum(pb, cb - 1));
}

int exchange(const exchange_t &x)
{
    const uint8_t *const pbWrite = x.pbWrite;
    const int cbWrite = x.cbWrite;
    const uint8_t cbWriteSize = x.cbWriteSize;
    const uint8_t response = x.response;
    uint8_t *const pbRead = x.pbRead;
    const int cbMaxRead = x.cbMaxRead;
    const int cbRead = x.cbRead;
    const uint8_t cbReadSize = x.cbReadSize;
    // Holds the response code and, after a refusal, the error code.
    std::array<uint8_t, 2> tmpreadbuf{};
    uint8_t *const buf = pbRead != nullptr ? pbRead : tmpreadbuf.data();
    const int cap = pbRead != nullptr ? cbMaxRead : static_cast<int>(tmpreadbuf.size());
    ASSERT(cap >= 1);
    ASSERT(cbReadSize <= 4);
    ASSERT(cbWrite >= 0);
    ASSERT(cbRead >= 0);
    // After SIGINT or SIGTERM no new exchange starts; the caller's stage ends.
    if (interrupted_by() != 0)
        return -1;

    outcome = exchange_outcome_t{};
    message[0] = '\0';
    rest_of_reply rest;

    // 1. The frame.
    int len = 0;
    tmpwritebuf[len++] = x.cmd;
    if (pbWrite != nullptr && cbWrite != 0) {
        if (cbWriteSize > 1) {
            fail_message("Invalid cbWriteSize: %i\n", cbWriteSize);
            return outcome_is(XF_SEND, -1);
        }
        ASSERT(cbWrite <= (cbWriteSize == 1 ? 255 : max_frame - 2));
        if (cbWriteSize == 1)
            tmpwritebuf[len++] = static_cast<uint8_t>(cbWrite);
        memcpy(tmpwritebuf.data() + len, pbWrite, static_cast<size_t>(cbWrite));
        len += cbWrite + 1;
        calc_checksum(tmpwritebuf.data(), len);
    }

    // 2. Send it whole.
    const int sent = serial_write(tmpwritebuf.data(), len);
    if (sent != len) {
        fail_message("Failed to send %i bytes, %i bytes sent, errno = %i\n", len, sent, errno);
        return outcome_is(XF_SEND, -1);
    }

    // 3. The response code, or a refusal with its error code. A missing error
    // byte prints as 00. The response code waits for the exchange's deadline
    // when that is the shorter wait.
    const int in_force = serial_get_timeout();
    const bool deadline = x.deadline_ms > 0 && (in_force < 0 || in_force > x.deadline_ms);
    if (deadline)
        serial_set_timeout(x.deadline_ms);
    const int first = serial_read(buf, 1);
    if (deadline)
        serial_set_timeout(in_force);
    if (first < 0) {
        outcome.late = deadline;
        return outcome_is(XF_TIMEOUT, -2);
    }
    rest.begin();
    if (buf[0] != response) {
        uint8_t error = 0;
        const bool got_error = serial_read(&error, 1) == 1;
        if (cap >= 2)
            buf[1] = error;
        fail_message(
            "Command %02X with waiting response %02X failed with response %02X, error %02X\n",
            x.cmd, response, buf[0], error);
        outcome.code = buf[0];
        outcome.error = error;
        return outcome_is(got_error ? XF_REFUSED : XF_TIMEOUT, -2);
    }

    // 4. The size field, when the response has one. It must fit the buffer
    // before it is read.
    uint32_t n = static_cast<uint32_t>(cbRead);
    if (cbReadSize != 0) {
        if (1 + cbReadSize > cap) {
            fail_message("Buffer is too small\n");
            return outcome_is(XF_TOO_LONG, -3);
        }
        if (serial_read(buf + 1, cbReadSize) < 0) {
            fail_message("Cannot get size of response\n");
            return outcome_is(XF_SHORT, -2);
        }
        n = 0;
        for (int i = 0; i < cbReadSize; ++i)
            n = (n << 8) | buf[1 + i];
    }
    if (n == 0)
        return 0;

    // 5. Data and checksum, only when all of it fits. 64-bit sum: n may be
    // anything up to 0xFFFFFFFF.
    const uint64_t total = 1u + cbReadSize + static_cast<uint64_t>(n) + 1u;
    if (total > static_cast<uint64_t>(cap)) {
        fail_message("Buffer is too small\n");
        return outcome_is(XF_TOO_LONG, -3);
    }
    const int cbData = static_cast<int>(n); // fits: total <= cap <= INT_MAX
    if (serial_read(buf + 1 + cbReadSize, cbData + 1) < 0) {
        fail_message("Cannot receive the command\n");
        return outcome_is(XF_SHORT, -4);
    }
    const int cbAll = static_cast<int>(total);
    const uint8_t sum = get_checksum(buf, cbAll);
    if (sum != 0) {
        fail_message("Invalid checksum: %02X, cb = %i, %02X\n", sum, cbAll, buf[0]);
        return outcome_is(XF_CHECKSUM, -5);
    }

    // 6. The data to the front; the regions overlap.
    memmove(buf, buf + 1 + cbReadSize, static_cast<size_t>(cbData));
    return cbData;
}

int cmd_readwrite(uint8_t cmd, const uint8_t *pbWrite, int cbWrite, uint8_t cbWriteSize,
                  uint8_t response, uint8_t *pbRead, int cbMaxRead, int cbRead, uint8_t cbReadSize)
{
    return exchange({.cmd = cmd,
                     .pbWrite = pbWrite,
                     .cbWrite = cbWrite,
                     .cbWriteSize = cbWriteSize,
                     .response = response,
                     .pbRead = pbRead,
                     .cbMaxRead = cbMaxRead,
                     .cbRead = cbRead,
                     .cbReadSize = cbReadSize});
}

const exchange_outcome_t &last_exchange()
{
    return outcome;
}

bool exchange_refused()
{
    return outcome.fault == XF_REFUSED;
}

bool set_exchange_messages(bool on)
{
    const bool was = messages;
    messages = on;
    return was;
}

const char *exchange_message()
{
    return message.data();
}

void print_exchange_message()
{
    fputs(message.data(), stdout);
}

void set_reply_byte_timeout(int ms)
{
    reply_byte_ms = ms;
}

int cmd_refusable(uint8_t cmd, const uint8_t *pbWrite, int cbWrite, uint8_t cbWriteSize,
                  uint8_t response, uint8_t *pbRead, int cbMaxRead, int cbRead, uint8_t cbReadSize,
                  bool *refused)
{
    ASSERT(pbRead != nullptr && cbMaxRead >= 2);
    ASSERT(refused != nullptr);
    const int r = cmd_readwrite(cmd, pbWrite, cbWrite, cbWriteSize, response, pbRead, cbMaxRead,
                                cbRead, cbReadSize);
    *refused = exchange_refused();
    return r;
}

int cmd_read(uint8_t cmd, uint8_t response, uint8_t *pbRead, int cbMaxRead, int cbRead,
             uint8_t cbReadSize)
{
    return exchange({.cmd = cmd,
                     .response = response,
                     .pbRead = pbRead,
                     .cbMaxRead = cbMaxRead,
                     .cbRead = cbRead,
                     .cbReadSize = cbReadSize});
}

int cmd_write(uint8_t cmd, const uint8_t *pbWrite, int cbWrite, uint8_t cbWriteSize,
              uint8_t response)
{
    return exchange({.cmd = cmd,
                     .pbWrite = pbWrite,
                     .cbWrite = cbWrite,
                     .cbWriteSize = cbWriteSize,
                     .response = response});
}

int cmd(uint8_t cmd, uint8_t response)
{
    return exchange({.cmd = cmd, .response = response});
}

int check_status(uint8_t checkstate)
{
    std::array<uint8_t, 5> buf{};
    const int r =
        cmd_read(CMD_STATUS, REPLY_STATUS, buf.data(), static_cast<int>(buf.size()), 0, 1);
    return report_status(r, buf.data(), checkstate);
}

int report_status(int r, const uint8_t *buf, uint8_t checkstate)
{
    if (r < 0) {
        puts("Status check failed");
        return -1;
    }
    // A reply without data has no status to compare.
    if (r > 0 && checkstate != 0 && buf[0] != checkstate)
        printf("Wrong status code: %02X, should be %02X\n", buf[0], checkstate);
    return 0;
}
