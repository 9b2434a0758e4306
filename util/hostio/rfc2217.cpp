// The network transport of the serial module: Telnet with BINARY both ways
// and COM-PORT-OPTION (RFC 2217) to a serial server such as ser2net.
//
// One connection at a time. It is made by open and kept across close until
// the device is opened again (or the process ends): a new connection would
// make the server close and reopen its serial device, which drops the modem
// lines the boot sequence set and may find the port still taken by the
// connection just closed. Opening the kept connection again purges both of
// the server's buffers instead, as opening a local port starts it clean.
#include "rfc2217.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "error.h"

namespace
{

constexpr int CONNECT_MS = 5000;      // connecting and setting the line up
constexpr int ANSWER_WAIT_MS = 2000;  // the server's answer to a rate or a purge
constexpr int CONTROL_WAIT_MS = 250;  // its answer to DTR, RTS or break, which may never come
constexpr size_t RAW_CHUNK = 4096;    // bytes taken from the socket at a time
constexpr size_t WRITE_CHUNK = 8192;  // data bytes sent at a time: every frame but the
                                      // largest programming frames goes in one send
constexpr size_t BANNER_MAX = 120;    // text of a server that refuses, kept for the message
constexpr int GOODBYE_MS = 1000;      // the server's end of the connection, awaited at exit
constexpr int GREETING_MS = 200;      // the wait for a server that speaks first
constexpr int GREETING_QUIET_MS = 50; // ... and for the rest of what it says

enum side_e : uint8_t { NO, WANT_YES, YES }; // one side of one Telnet option

struct answer_t {
    unsigned count = 0; // answers received so far
    std::array<uint8_t, 4> value{};
    size_t len = 0;
};

int sock = -1;
bool kept = false; // closed by the serial module but still connected
bool dead = false; // the stream ended or failed
char device[96] = "";
int wakeup_fd = -1;
char why_text[256] = "";

telnet_rx_t rx;
std::array<uint8_t, 65536> rxbuf;
size_t rx_head = 0;
size_t rx_tail = 0;
std::array<side_e, 256> us{};     // options this client performs
std::array<side_e, 256> him{};    // options the server performs
std::array<answer_t, 13> answers; // by COM-PORT-OPTION command
std::array<uint8_t, 64> replies;  // negotiation answers waiting to be sent
size_t replies_len = 0;
bool hold_replies = false; // while the server's greeting is awaited
bool owed_iac = false;     // the first half of a doubled 0xFF went out, the second did not

// While an answer that cuts the stream is awaited: the command, and where in
// the data of the current chunk it arrived (SIZE_MAX: not yet).
int cut_command = -1;
size_t cut_at = SIZE_MAX;
// While the line is set up: the text the server sends, for the message when
// it closes the connection instead.
bool collect_banner = false;
char banner[BANNER_MAX + 1] = "";
size_t banner_len = 0;

long long now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

__attribute__((format(printf, 1, 2))) void why(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    vsnprintf(why_text, sizeof why_text, format, ap);
    va_end(ap);
}

void queue_reply(uint8_t verb, uint8_t option)
{
    if (replies_len + 3 > replies.size())
        return; // a server that floods negotiations gets no more answers this chunk
    replies[replies_len++] = TELNET_IAC;
    replies[replies_len++] = verb;
    replies[replies_len++] = option;
}

bool we_accept(uint8_t option)
{
    return option == TELNET_BINARY || option == TELNET_SGA || option == TELNET_COM_PORT;
}

bool he_may(uint8_t option)
{
    return option == TELNET_BINARY || option == TELNET_SGA;
}

// Negotiation without loops: an answer only where the state changes.
void on_negotiation(void * /*ctx*/, uint8_t verb, uint8_t option)
{
    side_e &u = us[option];
    side_e &h = him[option];
    switch (verb) {
    case TELNET_DO:
        if (u == NO) {
            if (we_accept(option)) {
                u = YES;
                queue_reply(TELNET_WILL, option);
            } else {
                queue_reply(TELNET_WONT, option);
            }
        } else {
            u = YES;
        }
        break;
    case TELNET_DONT:
        if (u == YES)
            queue_reply(TELNET_WONT, option);
        u = NO;
        break;
    case TELNET_WILL:
        if (h == NO) {
            if (he_may(option)) {
                h = YES;
                queue_reply(TELNET_DO, option);
            } else {
                queue_reply(TELNET_DONT, option);
            }
        } else {
            h = YES;
        }
        break;
    case TELNET_WONT:
        if (h == YES)
            queue_reply(TELNET_DONT, option);
        h = NO;
        break;
    default:
        break;
    }
}

// The server's answers to COM-PORT-OPTION commands; its notifications
// (line and modem state, flow control) are of no use here.
void on_subnegotiation(void * /*ctx*/, const uint8_t *pb, size_t cb, size_t data_before)
{
    if (cb < 2 || pb[0] != TELNET_COM_PORT || pb[1] < CPO_SERVER)
        return;
    const size_t code = pb[1] - CPO_SERVER;
    if (code >= answers.size())
        return;
    answer_t &a = answers[code];
    ++a.count;
    a.len = std::min(cb - 2, a.value.size());
    std::copy_n(pb + 2, a.len, a.value.begin());
    if (static_cast<int>(code) == cut_command && cut_at == SIZE_MAX)
        cut_at = data_before;
}

const telnet_handler_t handler = {on_negotiation, on_subnegotiation, nullptr};

void keep_banner(const uint8_t *pb, size_t n)
{
    for (size_t i = 0; i < n && banner_len < BANNER_MAX; ++i) {
        const uint8_t c = pb[i];
        if (c >= 0x20 && c < 0x7F)
            banner[banner_len++] = static_cast<char>(c);
        else if ((c == '\r' || c == '\n') && banner_len > 0 && banner[banner_len - 1] != ' ')
            banner[banner_len++] = ' ';
    }
    while (banner_len > 0 && banner[banner_len - 1] == ' ')
        --banner_len;
    banner[banner_len] = '\0';
}

// Sends all of n bytes of Telnet stream (commands, not data) before the
// deadline. False when the connection fails or has no room in time.
bool send_all(const uint8_t *pb, size_t n, long long deadline)
{
    while (n > 0) {
        const ssize_t r = send(sock, pb, n, MSG_NOSIGNAL);
        if (r > 0) {
            pb += r;
            n -= static_cast<size_t>(r);
            continue;
        }
        if (r < 0 && errno != EAGAIN) {
            dead = true;
            return false;
        }
        pollfd pfd{sock, POLLOUT, 0};
        const long long left = deadline - now_ms();
        if (left <= 0 || poll(&pfd, 1, static_cast<int>(left)) <= 0) {
            errno = EAGAIN;
            return false;
        }
    }
    return true;
}

void flush_replies()
{
    if (replies_len == 0 || hold_replies)
        return;
    const int saved_errno = errno;
    send_all(replies.data(), replies_len, now_ms() + ANSWER_WAIT_MS);
    replies_len = 0;
    errno = saved_errno;
}

// Takes what the socket has and decodes it: serial data to rxbuf (while a
// cutting answer is awaited, only what follows it; while the line is set up,
// nothing), the rest to the handlers. Returns the bytes received, 0 at the
// end of the stream, -1 with errno (EAGAIN: nothing there, or no room).
ssize_t receive_some()
{
    if (rx_head == rx_tail) {
        rx_head = 0;
        rx_tail = 0;
    }
    if (rx_head > 0 && rxbuf.size() - rx_tail < RAW_CHUNK) {
        std::copy(rxbuf.begin() + static_cast<long>(rx_head),
                  rxbuf.begin() + static_cast<long>(rx_tail), rxbuf.begin());
        rx_tail -= rx_head;
        rx_head = 0;
    }
    const size_t room = std::min(RAW_CHUNK, rxbuf.size() - rx_tail);
    if (room == 0) {
        errno = EAGAIN;
        return -1;
    }
    std::array<uint8_t, RAW_CHUNK> raw;
    const ssize_t r = recv(sock, raw.data(), room, 0);
    if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) {
        dead = true;
        return r;
    }
    if (r < 0)
        return r;
    uint8_t *const data = rxbuf.data() + rx_tail;
    size_t n = telnet_receive(rx, raw.data(), static_cast<size_t>(r), data, handler);
    if (cut_command >= 0) {
        const size_t cut = std::min(cut_at, n);
        if (collect_banner)
            keep_banner(data, cut);
        std::copy(data + cut, data + n, data);
        n -= cut;
        if (cut_at != SIZE_MAX)
            cut_command = -1;
        else
            n = 0;
    } else if (collect_banner) {
        keep_banner(data, n);
        n = 0;
    }
    cut_at = SIZE_MAX;
    rx_tail += n;
    flush_replies();
    return r;
}

// Receives until done() holds or the deadline passes. 1 done, 0 time-out,
// -1 the stream ended (errno 0 then) or failed, or the wake-up descriptor
// became readable (errno EINTR).
template <typename Done> int pump_until(Done done, long long deadline)
{
    while (!done()) {
        const long long left = deadline - now_ms();
        if (left <= 0)
            return 0;
        std::array<pollfd, 2> pfd{};
        pfd[0] = {sock, POLLIN, 0};
        pfd[1] = {wakeup_fd, POLLIN, 0};
        const int p = poll(pfd.data(), pfd.size(), static_cast<int>(left));
        if (p < 0 && errno != EINTR)
            return -1;
        if (p > 0 && (pfd[1].revents & POLLIN) != 0) {
            errno = EINTR;
            return -1;
        }
        if (p <= 0)
            continue;
        const ssize_t r = receive_some();
        if (r == 0) {
            errno = 0;
            return -1;
        }
        if (r < 0 && errno != EAGAIN && errno != EINTR)
            return -1;
    }
    return 1;
}

// Receives what the server says on its own after the connection is made:
// until nothing more has come for GREETING_QUIET_MS, or until the deadline
// when it says nothing. 1, or -1 as pump_until.
int await_greeting(long long deadline)
{
    bool heard = false;
    for (;;) {
        const long long left = deadline - now_ms();
        if (left <= 0 && !heard)
            return 1;
        std::array<pollfd, 2> pfd{};
        pfd[0] = {sock, POLLIN, 0};
        pfd[1] = {wakeup_fd, POLLIN, 0};
        const int wait = heard ? GREETING_QUIET_MS : static_cast<int>(std::max(left, 0LL));
        const int p = poll(pfd.data(), pfd.size(), wait);
        if (p < 0 && errno != EINTR)
            return -1;
        if (p > 0 && (pfd[1].revents & POLLIN) != 0) {
            errno = EINTR;
            return -1;
        }
        if (p == 0)
            return 1;
        if (p < 0)
            continue;
        const ssize_t r = receive_some();
        if (r == 0) {
            errno = 0;
            return -1;
        }
        if (r < 0 && errno != EAGAIN && errno != EINTR)
            return -1;
        heard = true;
    }
}

// Sends one COM-PORT-OPTION command with its value (escaped).
bool send_command(uint8_t command, const uint8_t *value, size_t n, long long deadline)
{
    std::array<uint8_t, 3 + 2 * 4 + 2> frame{};
    size_t len = 0;
    frame[len++] = TELNET_IAC;
    frame[len++] = TELNET_SB;
    frame[len++] = TELNET_COM_PORT;
    frame[len++] = command;
    len += telnet_escape(value, n, frame.data() + len);
    frame[len++] = TELNET_IAC;
    frame[len++] = TELNET_SE;
    return send_all(frame.data(), len, deadline);
}

// Sends a command and waits for its answer. cut: the serial data that
// arrives before the answer is dropped (and whatever was buffered), since
// the server sends its answer after every byte it received before it.
// 1 answered, 0 no answer in time, -1 the connection failed.
int command(uint8_t cmd, const uint8_t *value, size_t n, int wait_ms, bool cut)
{
    const long long deadline = now_ms() + wait_ms;
    const unsigned since = answers[cmd].count;
    if (cut) {
        rx_head = 0;
        rx_tail = 0;
        cut_command = cmd;
        cut_at = SIZE_MAX;
    }
    int r = send_command(cmd, value, n, deadline) ? 1 : -1;
    if (r > 0)
        r = pump_until([&] { return answers[cmd].count > since; }, deadline);
    if (r <= 0 && cut) {
        // No cut came: whatever arrived is dropped all the same.
        cut_command = -1;
        rx_head = 0;
        rx_tail = 0;
    }
    return r;
}

// Why the connection ended or failed while the line was set up. Text the
// server sent before it closed the connection says why best ("Port already
// in use").
void why_lost(int r)
{
    if (r < 0 && errno == EINTR)
        why("interrupted");
    else if (r < 0 && banner_len > 0)
        why("the server closed the connection: %s", banner);
    else if (r < 0 && (errno == 0 || errno == ECONNRESET || errno == EPIPE))
        why("the server closed the connection");
    else if (r < 0)
        why("%s", strerror(errno));
    else
        why("no answer from the server within %d s", CONNECT_MS / 1000);
}

void drop_connection()
{
    if (sock >= 0)
        close(sock);
    sock = -1;
    kept = false;
    dead = false;
}

// Host and port of a device name; false when it is not rfc2217://HOST:PORT.
bool split_name(const char *name, char *host, size_t host_cap, char *port, size_t port_cap)
{
    const int len = rfc2217_device_length(name);
    if (len < 0 || name[len] != '\0')
        return false;
    const char *h = name + sizeof RFC2217_PREFIX - 1;
    const char *colon = strrchr(h, ':');
    const char *hend = colon;
    if (*h == '[') {
        ++h;
        hend = colon - 1; // the ']'
    }
    const size_t hlen = static_cast<size_t>(hend - h);
    if (hlen >= host_cap || strlen(colon + 1) >= port_cap)
        return false;
    memcpy(host, h, hlen);
    host[hlen] = '\0';
    snprintf(port, port_cap, "%s", colon + 1);
    return true;
}

// Connects to host:port, trying each address it resolves to, before the
// deadline. The socket (non-blocking), or -1 with the reason in why_text.
int connect_to(const char *host, const char *port, long long deadline)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *res = nullptr;
    const int gai = getaddrinfo(host, port, &hints, &res);
    if (gai != 0) {
        why("%s", gai == EAI_SYSTEM ? strerror(errno) : gai_strerror(gai));
        errno = EHOSTUNREACH;
        return -1;
    }
    int s = -1;
    int err = ECONNREFUSED;
    for (addrinfo *ai = res; ai != nullptr && s < 0; ai = ai->ai_next) {
        s = socket(ai->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (s < 0) {
            err = errno;
            continue;
        }
        if (connect(s, ai->ai_addr, ai->ai_addrlen) == 0)
            break;
        err = errno;
        if (err == EINPROGRESS) {
            std::array<pollfd, 2> pfd{};
            pfd[0] = {s, POLLOUT, 0};
            pfd[1] = {wakeup_fd, POLLIN, 0};
            const long long left = deadline - now_ms();
            const int p = left > 0 ? poll(pfd.data(), pfd.size(), static_cast<int>(left)) : 0;
            socklen_t l = sizeof err;
            if (p > 0 && (pfd[1].revents & POLLIN) != 0)
                err = EINTR;
            else if (p == 0)
                err = ETIMEDOUT;
            else if (p < 0)
                err = errno;
            else if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &l) == 0 && err == 0)
                break;
        }
        close(s);
        s = -1;
        if (err == ETIMEDOUT || err == EINTR)
            break;
    }
    freeaddrinfo(res);
    if (s < 0) {
        if (err == ETIMEDOUT)
            why("no connection within %d s", CONNECT_MS / 1000);
        else
            why("%s", strerror(err));
        errno = err;
    }
    return s;
}

// Purges both of the server's buffers and drops the serial data that arrives
// before its answer. A server that does not answer is waited for, then
// taken as done. 0, or -1 when the connection failed.
int purge()
{
    const uint8_t both = CPO_PURGE_BOTH;
    return command(CPO_PURGE_DATA, &both, 1, ANSWER_WAIT_MS, true) < 0 ? -1 : 0;
}

// The line as this program needs it: BINARY both ways, COM-PORT-OPTION,
// then 8 data bits, no parity, 1 stop bit, no flow control, each answer
// checked. 0, or -1 with the reason in why_text.
int set_up_line(long long deadline)
{
    // The server speaks first: its offers are taken up, and a server that
    // refuses the connection has said so and closed it before this client
    // sends anything (a close with unread data would be a reset that can
    // discard its words).
    hold_replies = true;
    int r = await_greeting(std::min(deadline, now_ms() + GREETING_MS));
    hold_replies = false;
    if (r < 0) {
        why_lost(r);
        return -1;
    }
    // The answers to its offers, and this client's own offers where the
    // server made none, in one send.
    for (const uint8_t option : {TELNET_BINARY, TELNET_SGA, TELNET_COM_PORT})
        if (us[option] == NO) {
            us[option] = WANT_YES;
            queue_reply(TELNET_WILL, option);
        }
    for (const uint8_t option : {TELNET_BINARY, TELNET_SGA})
        if (him[option] == NO) {
            him[option] = WANT_YES;
            queue_reply(TELNET_DO, option);
        }
    const bool sent = send_all(replies.data(), replies_len, deadline);
    replies_len = 0;
    if (!sent) {
        why_lost(-1);
        return -1;
    }
    r = pump_until(
        [] {
            return us[TELNET_COM_PORT] != WANT_YES && us[TELNET_BINARY] != WANT_YES &&
                   him[TELNET_BINARY] != WANT_YES;
        },
        deadline);
    if (r <= 0) {
        why_lost(r);
        return -1;
    }
    if (us[TELNET_COM_PORT] != YES) {
        why("the server does not offer COM-PORT-OPTION (RFC 2217)");
        return -1;
    }
    if (us[TELNET_BINARY] != YES || him[TELNET_BINARY] != YES) {
        why("the server refuses binary transmission");
        return -1;
    }

    struct setting_t {
        uint8_t command;
        uint8_t value;
        const char *name;
    };
    static constexpr setting_t settings[] = {
        {CPO_SET_DATASIZE, 8, "data size"},
        {CPO_SET_PARITY, CPO_PARITY_NONE, "parity"},
        {CPO_SET_STOPSIZE, CPO_STOPSIZE_1, "stop size"},
        {CPO_SET_CONTROL, CPO_CONTROL_NO_FLOW, "flow control"},
    };
    std::array<unsigned, std::size(settings)> since{};
    for (size_t i = 0; i < std::size(settings); ++i) {
        since[i] = answers[settings[i].command].count;
        if (!send_command(settings[i].command, &settings[i].value, 1, deadline)) {
            why_lost(-1);
            return -1;
        }
    }
    for (size_t i = 0; i < std::size(settings); ++i) {
        const setting_t &s = settings[i];
        const unsigned after = since[i];
        r = pump_until([&] { return answers[s.command].count > after; }, deadline);
        if (r <= 0) {
            why_lost(r);
            return -1;
        }
        const answer_t &a = answers[s.command];
        if (a.len != 1 || a.value[0] != s.value) {
            why("the server set %s %u instead of %u", s.name, a.len > 0 ? a.value[0] : 0u, s.value);
            return -1;
        }
    }
    return 0;
}

void reset_state()
{
    rx = telnet_rx_t{};
    rx_head = 0;
    rx_tail = 0;
    us.fill(NO);
    him.fill(NO);
    answers.fill(answer_t{});
    replies_len = 0;
    owed_iac = false;
    cut_command = -1;
    cut_at = SIZE_MAX;
    banner_len = 0;
    banner[0] = '\0';
}

// At the end of the process the kept connection is ended in order: the
// process's own end would close it with whatever the server sent still
// unread, which the kernel answers with a reset that can discard requests not
// yet delivered (the last steps of --run). Here the server is told that
// nothing more comes, and its own end is awaited briefly.
void goodbye()
{
    if (sock < 0)
        return;
    if (!dead && shutdown(sock, SHUT_WR) == 0) {
        const long long deadline = now_ms() + GOODBYE_MS;
        std::array<uint8_t, RAW_CHUNK> junk;
        for (;;) {
            pollfd pfd{sock, POLLIN, 0};
            const long long left = deadline - now_ms();
            if (left <= 0 || poll(&pfd, 1, static_cast<int>(left)) <= 0)
                break;
            const ssize_t r = recv(sock, junk.data(), junk.size(), 0);
            if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR))
                break;
        }
    }
    close(sock);
    sock = -1;
}

int net_open(const char *name)
{
    static const bool goodbye_registered = atexit(goodbye) == 0;
    (void)goodbye_registered;
    why_text[0] = '\0';
    if (sock >= 0 && kept && !dead && strcmp(name, device) == 0) {
        kept = false;
        if (purge() == 0)
            return sock;
        // The kept connection is gone: a new one below.
    }
    drop_connection();
    char host[256];
    char port[8];
    if (!split_name(name, host, sizeof host, port, sizeof port)) {
        why("not rfc2217://HOST:PORT");
        errno = EINVAL;
        return -1;
    }
    const long long deadline = now_ms() + CONNECT_MS;
    sock = connect_to(host, port, deadline);
    if (sock < 0)
        return -1;
    snprintf(device, sizeof device, "%s", name);
    const int one = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    reset_state();
    collect_banner = true;
    int r = set_up_line(deadline);
    if (r == 0 && purge() < 0) {
        why_lost(-1);
        r = -1;
    }
    collect_banner = false;
    if (r < 0) {
        const int saved_errno = errno;
        drop_connection();
        errno = saved_errno != 0 ? saved_errno : ECONNRESET;
        return -1;
    }
    return sock;
}

int net_close(int fd)
{
    (void)fd;
    if (sock < 0)
        return -1;
    if (!dead) {
        kept = true;
        return 0;
    }
    const int r = close(sock);
    sock = -1;
    kept = false;
    dead = false;
    return r;
}

int net_set_rate(int fd, int baudinit, int baudrate)
{
    (void)fd;
    (void)baudinit;
    why_text[0] = '\0';
    const uint32_t rate = static_cast<uint32_t>(baudrate);
    const uint8_t value[4] = {static_cast<uint8_t>(rate >> 24), static_cast<uint8_t>(rate >> 16),
                              static_cast<uint8_t>(rate >> 8), static_cast<uint8_t>(rate)};
    const int r = command(CPO_SET_BAUDRATE, value, sizeof value, ANSWER_WAIT_MS, true);
    if (r <= 0) {
        if (r == 0)
            why("no answer from the server to the bit rate %d", baudrate);
        else
            why_lost(r);
        return -1;
    }
    const answer_t &a = answers[CPO_SET_BAUDRATE];
    const uint32_t set = a.len == 4 ? static_cast<uint32_t>(a.value[0]) << 24 |
                                          static_cast<uint32_t>(a.value[1]) << 16 |
                                          static_cast<uint32_t>(a.value[2]) << 8 | a.value[3]
                                    : 0;
    if (set != rate) {
        why("the server set %u baud instead of %d", static_cast<unsigned>(set), baudrate);
        return -1;
    }
    return 0;
}

ssize_t net_read(int fd, unsigned char *buf, size_t max)
{
    (void)fd;
    if (rx_head == rx_tail) {
        const ssize_t r = receive_some();
        if (r <= 0)
            return r;
        if (rx_head == rx_tail) { // only Telnet commands came
            errno = EAGAIN;
            return -1;
        }
    }
    const size_t n = std::min(max, rx_tail - rx_head);
    std::copy_n(rxbuf.begin() + static_cast<long>(rx_head), n, buf);
    rx_head += n;
    return static_cast<ssize_t>(n);
}

// Sends the data escaped, as one send where the socket takes it. Returns the
// data bytes taken; a 0xFF whose doubling was cut in half stays owed and is
// finished by the next call, which begins with the same byte.
ssize_t net_write(int fd, const unsigned char *buf, size_t n)
{
    (void)fd;
    if (n == 0)
        return 0;
    ASSERT(!owed_iac || buf[0] == TELNET_IAC);
    const size_t take = std::min(n, WRITE_CHUNK);
    std::array<uint8_t, 2 * WRITE_CHUNK> out;
    const size_t len = telnet_escape(buf, take, out.data());
    const size_t skip = owed_iac ? 1 : 0;
    const ssize_t r = send(sock, out.data() + skip, len - skip, MSG_NOSIGNAL);
    if (r < 0) {
        if (errno != EAGAIN)
            dead = true;
        return -1;
    }
    // Data bytes whose encoding went out whole.
    const size_t sent = static_cast<size_t>(r) + skip;
    size_t used = 0;
    size_t i = 0;
    while (i < take) {
        const size_t w = buf[i] == TELNET_IAC ? 2 : 1;
        if (used + w > sent)
            break;
        used += w;
        ++i;
    }
    owed_iac = used < sent;
    if (i == 0 && sent > 0) { // only half of a doubled 0xFF went out
        errno = EAGAIN;
        return -1;
    }
    return static_cast<ssize_t>(i);
}

size_t net_buffered(int fd)
{
    (void)fd;
    return rx_tail - rx_head;
}

int net_flush(int fd)
{
    (void)fd;
    return purge();
}

// DTR, RTS and break: the server's answer is waited for briefly and not
// checked (servers leave it out, or answer what they did not do). Only a
// failed connection fails.
int set_control(uint8_t value)
{
    return command(CPO_SET_CONTROL, &value, 1, CONTROL_WAIT_MS, false) < 0 ? -1 : 0;
}

int net_set_line(int fd, int line, int level)
{
    (void)fd;
    if (line == 0)
        return set_control(level != 0 ? CPO_CONTROL_DTR_ON : CPO_CONTROL_DTR_OFF);
    return set_control(level != 0 ? CPO_CONTROL_RTS_ON : CPO_CONTROL_RTS_OFF);
}

int net_set_break(int fd, int on)
{
    (void)fd;
    return set_control(on != 0 ? CPO_CONTROL_BREAK_ON : CPO_CONTROL_BREAK_OFF);
}

const char *net_why()
{
    return why_text;
}

} // namespace

const port_ops_t rfc2217_port_ops = {
    net_open,     net_close, net_set_rate, net_read,      net_write,
    net_buffered, net_flush, net_set_line, net_set_break, net_why,
};

bool rfc2217_is_url(const char *name)
{
    return strncmp(name, RFC2217_PREFIX, sizeof RFC2217_PREFIX - 1) == 0;
}

int rfc2217_device_length(const char *arg)
{
    if (!rfc2217_is_url(arg))
        return -1;
    const char *host = arg + sizeof RFC2217_PREFIX - 1;
    const char *after = nullptr;
    if (*host == '[') {
        const char *close = strchr(host, ']');
        if (close == nullptr || close == host + 1)
            return -1;
        after = close + 1;
    } else {
        after = host + strcspn(host, ":/[] \t");
    }
    if (after == host || *after != ':')
        return -1;
    const char *port = after + 1;
    const size_t digits = strspn(port, "0123456789");
    if (digits == 0 || digits > 5)
        return -1;
    const long value = strtol(port, nullptr, 10);
    if (value < 1 || value > 65535 || (port[digits] != '\0' && port[digits] != ':'))
        return -1;
    return static_cast<int>(port + digits - arg);
}

void rfc2217_set_wakeup(int fd)
{
    wakeup_fd = fd;
}

size_t telnet_receive(telnet_rx_t &rx_state, const uint8_t *in, size_t n, uint8_t *data,
                      const telnet_handler_t &h)
{
    size_t out = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t c = in[i];
        switch (rx_state.state) {
        case telnet_rx_t::DATA:
            if (c == TELNET_IAC)
                rx_state.state = telnet_rx_t::IAC;
            else
                data[out++] = c;
            break;
        case telnet_rx_t::IAC:
            if (c == TELNET_IAC) {
                data[out++] = c;
                rx_state.state = telnet_rx_t::DATA;
            } else if (c >= TELNET_WILL && c <= TELNET_DONT) {
                rx_state.verb = c;
                rx_state.state = telnet_rx_t::VERB;
            } else if (c == TELNET_SB) {
                rx_state.sb_len = 0;
                rx_state.state = telnet_rx_t::SB;
            } else {
                rx_state.state = telnet_rx_t::DATA; // NOP, GA, AYT, ...: nothing to do
            }
            break;
        case telnet_rx_t::VERB:
            if (h.negotiation != nullptr)
                h.negotiation(h.ctx, rx_state.verb, c);
            rx_state.state = telnet_rx_t::DATA;
            break;
        case telnet_rx_t::SB:
            if (c == TELNET_IAC)
                rx_state.state = telnet_rx_t::SB_IAC;
            else if (rx_state.sb_len < rx_state.sb.size())
                rx_state.sb[rx_state.sb_len++] = c;
            break;
        case telnet_rx_t::SB_IAC:
            if (c == TELNET_IAC) {
                if (rx_state.sb_len < rx_state.sb.size())
                    rx_state.sb[rx_state.sb_len++] = c;
                rx_state.state = telnet_rx_t::SB;
            } else if (c == TELNET_SE) {
                if (h.subnegotiation != nullptr)
                    h.subnegotiation(h.ctx, rx_state.sb.data(), rx_state.sb_len, out);
                rx_state.state = telnet_rx_t::DATA;
            } else {
                // IAC and anything else inside a subnegotiation: the server
                // broke off; the block is dropped and the byte read as a command.
                rx_state.state = telnet_rx_t::IAC;
                --i;
            }
            break;
        }
    }
    return out;
}

size_t telnet_escape(const uint8_t *data, size_t n, uint8_t *out)
{
    size_t len = 0;
    for (size_t i = 0; i < n; ++i) {
        out[len++] = data[i];
        if (data[i] == TELNET_IAC)
            out[len++] = TELNET_IAC;
    }
    return len;
}
