// The receiving side of the network port: arbitrary bytes from a serial
// server through the Telnet decoder, cut into pieces of a size the input's
// first byte chooses. An oracle written apart from the decoder, over the whole
// stream at once, decides the serial data, the negotiations and the
// subnegotiations (with where in the data each arrived); the decoder must
// agree with it whatever the cuts. The data, escaped again, must decode to
// itself.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "error.h"
#include "rfc2217.h"

namespace
{

using Bytes = std::vector<uint8_t>;

struct event_t {
    int kind; // 0 negotiation, 1 subnegotiation
    uint8_t verb, option;
    Bytes body;
    size_t at; // serial data bytes before it, in the whole stream

    bool operator==(const event_t &o) const
    {
        return kind == o.kind && verb == o.verb && option == o.option && body == o.body &&
               at == o.at;
    }
};

struct seen_t {
    Bytes data;
    std::vector<event_t> events;
    size_t before_call = 0; // data of earlier calls
};

// The oracle: commands found by looking ahead in the whole stream. A
// command cut off by the end of the stream is not (yet) an event.
seen_t oracle(const uint8_t *in, size_t n)
{
    seen_t s;
    size_t i = 0;
    while (i < n) {
        if (in[i] != TELNET_IAC) {
            s.data.push_back(in[i++]);
            continue;
        }
        if (i + 1 >= n)
            break;
        const uint8_t c = in[i + 1];
        if (c == TELNET_IAC) {
            s.data.push_back(0xFF);
            i += 2;
        } else if (c >= TELNET_WILL && c <= TELNET_DONT) {
            if (i + 2 >= n)
                break;
            s.events.push_back({0, c, in[i + 2], {}, s.data.size()});
            i += 3;
        } else if (c == TELNET_SB) {
            Bytes body;
            size_t j = i + 2;
            bool closed = false;
            while (j < n) {
                if (in[j] != TELNET_IAC) {
                    body.push_back(in[j++]);
                    continue;
                }
                if (j + 1 >= n) {
                    j = n;
                    break;
                }
                if (in[j + 1] == TELNET_IAC) {
                    body.push_back(0xFF);
                    j += 2;
                } else {
                    closed = in[j + 1] == TELNET_SE;
                    break;
                }
            }
            if (j >= n)
                break; // cut off
            if (closed) {
                body.resize(std::min(body.size(), TELNET_SB_MAX));
                s.events.push_back({1, 0, 0, body, s.data.size()});
                i = j + 2;
            } else {
                i = j; // broken off: the IAC there begins a command
            }
        } else {
            i += 2;
        }
    }
    return s;
}

void on_negotiation(void *ctx, uint8_t verb, uint8_t option)
{
    seen_t &s = *static_cast<seen_t *>(ctx);
    s.events.push_back({0, verb, option, {}, s.data.size()});
}

void on_subnegotiation(void *ctx, const uint8_t *pb, size_t cb, size_t data_before)
{
    seen_t &s = *static_cast<seen_t *>(ctx);
    ASSERT(cb <= TELNET_SB_MAX);
    s.events.push_back({1, 0, 0, Bytes(pb, pb + cb), s.before_call + data_before});
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t piece = 1 + data[0] % 32;
    const uint8_t *in = data + 1;
    const size_t n = size - 1;

    seen_t got;
    const telnet_handler_t h = {on_negotiation, on_subnegotiation, &got};
    telnet_rx_t rx;
    Bytes out(piece);
    for (size_t at = 0; at < n; at += piece) {
        const size_t len = std::min(piece, n - at);
        got.before_call = got.data.size();
        const size_t produced = telnet_receive(rx, in + at, len, out.data(), h);
        ASSERT(produced <= len);
        // Events of this call were recorded with the data before the call;
        // the data comes after them in order, so it is appended now.
        got.data.insert(got.data.end(), out.begin(), out.begin() + static_cast<long>(produced));
    }
    const seen_t want = oracle(in, n);
    ASSERT(got.data == want.data);
    ASSERT(got.events.size() == want.events.size());
    for (size_t i = 0; i < want.events.size(); ++i) {
        // A negotiation's place is known to the harness only per call.
        if (want.events[i].kind == 0)
            ASSERT(got.events[i].verb == want.events[i].verb &&
                   got.events[i].option == want.events[i].option);
        else
            ASSERT(got.events[i] == want.events[i]);
    }

    // Escaping the data and decoding it again gives the data, no events.
    Bytes escaped(2 * got.data.size() + 1);
    escaped.resize(telnet_escape(got.data.data(), got.data.size(), escaped.data()));
    seen_t again;
    const telnet_handler_t h2 = {on_negotiation, on_subnegotiation, &again};
    telnet_rx_t rx2;
    Bytes back(escaped.size() + 1);
    back.resize(telnet_receive(rx2, escaped.data(), escaped.size(), back.data(), h2));
    ASSERT(back == got.data && again.events.empty());
    return 0;
}
