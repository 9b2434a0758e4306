// A serial port on another machine: the client side of Telnet's
// COM-PORT-OPTION (RFC 2217), as serial servers such as ser2net offer it.
// The device is named rfc2217://HOST:PORT, HOST a name, an IPv4 address or
// an IPv6 address in brackets. The serial module reaches it through
// rfc2217_port_ops; nothing above that module knows it is there.
//
// The protocol has no authentication and no encryption: it belongs on a
// trusted network or inside a tunnel.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "port-ops.h"

// Telnet (RFC 854, 855) and the options this client speaks.
constexpr uint8_t TELNET_IAC = 255;
constexpr uint8_t TELNET_DONT = 254;
constexpr uint8_t TELNET_DO = 253;
constexpr uint8_t TELNET_WONT = 252;
constexpr uint8_t TELNET_WILL = 251;
constexpr uint8_t TELNET_SB = 250;
constexpr uint8_t TELNET_SE = 240;
constexpr uint8_t TELNET_BINARY = 0;
constexpr uint8_t TELNET_SGA = 3; // suppress go-ahead
constexpr uint8_t TELNET_COM_PORT = 44;

// COM-PORT-OPTION commands from the client; the server answers with the
// same command plus CPO_SERVER.
constexpr uint8_t CPO_SET_BAUDRATE = 1;
constexpr uint8_t CPO_SET_DATASIZE = 2;
constexpr uint8_t CPO_SET_PARITY = 3;
constexpr uint8_t CPO_SET_STOPSIZE = 4;
constexpr uint8_t CPO_SET_CONTROL = 5;
constexpr uint8_t CPO_PURGE_DATA = 12;
constexpr uint8_t CPO_SERVER = 100;

// Values of the commands above.
constexpr uint8_t CPO_PARITY_NONE = 1;
constexpr uint8_t CPO_STOPSIZE_1 = 1;
constexpr uint8_t CPO_CONTROL_NO_FLOW = 1;
constexpr uint8_t CPO_CONTROL_BREAK_ON = 5;
constexpr uint8_t CPO_CONTROL_BREAK_OFF = 6;
constexpr uint8_t CPO_CONTROL_DTR_ON = 8;
constexpr uint8_t CPO_CONTROL_DTR_OFF = 9;
constexpr uint8_t CPO_CONTROL_RTS_ON = 11;
constexpr uint8_t CPO_CONTROL_RTS_OFF = 12;
constexpr uint8_t CPO_PURGE_BOTH = 3;

constexpr const char RFC2217_PREFIX[] = "rfc2217://";

/* rfc2217_is_url
 * Whether name begins with "rfc2217://". */
bool rfc2217_is_url(const char *name);

/* rfc2217_device_length
 * For an -s value that begins with "rfc2217://": the length of its device
 * part, "rfc2217://HOST:PORT" (HOST may be "[IPv6]"), which may be followed
 * by ":baudrate". -1 when the value has no host, no port or a port that is
 * not a number from 1 to 65535. */
int rfc2217_device_length(const char *arg);

// The transport, for serial-linux's dispatch.
extern const port_ops_t rfc2217_port_ops;

/* rfc2217_set_wakeup
 * The descriptor that ends the transport's own waits (connecting, answers
 * of the server) as soon as it is readable, as serial_set_wakeup does for
 * the port's; -1 for none. */
void rfc2217_set_wakeup(int fd);

// ---- The receiving side, apart from the socket (and fuzzed on its own) ----

// Called by telnet_receive for what is not serial data.
struct telnet_handler_t {
    // A negotiation: verb TELNET_WILL, TELNET_WONT, TELNET_DO or TELNET_DONT.
    void (*negotiation)(void *ctx, uint8_t verb, uint8_t option);
    /* A subnegotiation IAC SB ... IAC SE, option byte first, IAC undoubled;
     * data_before: the serial data bytes this call of telnet_receive has
     * produced before it. One longer than TELNET_SB_MAX is cut to it. */
    void (*subnegotiation)(void *ctx, const uint8_t *pb, size_t cb, size_t data_before);
    void *ctx;
};

constexpr size_t TELNET_SB_MAX = 64;

// The decoder's state between calls: a command may be split anywhere.
struct telnet_rx_t {
    enum state_e : uint8_t { DATA, IAC, VERB, SB, SB_IAC } state = DATA;
    uint8_t verb = 0;
    std::array<uint8_t, TELNET_SB_MAX> sb{};
    size_t sb_len = 0;
};

/* telnet_receive
 * Decodes n bytes of the stream from the server: serial data goes to data
 * (room for n bytes), IAC IAC as one 0xFF; negotiations and
 * subnegotiations go to h wherever they arrive; other commands (NOP, GA,
 * ...) are dropped. Returns the number of data bytes written. */
size_t telnet_receive(telnet_rx_t &rx, const uint8_t *in, size_t n, uint8_t *data,
                      const telnet_handler_t &h);

/* telnet_escape
 * Writes the n bytes of data to out with every 0xFF doubled; out holds 2n
 * bytes. Returns the bytes written. */
size_t telnet_escape(const uint8_t *data, size_t n, uint8_t *out);
