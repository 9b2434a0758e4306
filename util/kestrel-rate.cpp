// The bit rate chosen from the H8S clock.
#include "kestrel-rate.h"

#include <cstdio>
#include <cstring>

#include "kestrel-proto.h"
#include "kestrel-recover.h"
#include "kestrel.h"
#include "serial-linux.h"

namespace
{

constexpr uint8_t NEW_BIT_RATE = 0x3F;
constexpr uint8_t ACK = 0x06;
constexpr uint64_t SCI_DIVIDER = 32; // asynchronous mode, clock divider 1
constexpr uint64_t MAX_SETTINGS = 256;
constexpr uint64_t MAX_ERROR_DIV = 50; // 2 %

void put16(uint32_t v, uint8_t *pb)
{
    pb[0] = static_cast<uint8_t>(v >> 8);
    pb[1] = static_cast<uint8_t>(v);
}

} // namespace

bool auto_bit_rate()
{
    return strcmp(cfg.baudrate, "auto") == 0;
}

bool sci_rate_within(uint64_t clock, uint32_t rate)
{
    if (rate == 0)
        return false;
    const uint64_t per = SCI_DIVIDER * rate;
    uint64_t n1 = (2 * clock + per) / (2 * per); // N + 1, halves rounded up
    n1 = n1 < 1 ? 1 : (n1 > MAX_SETTINGS ? MAX_SETTINGS : n1);
    // The rate made is clock / (32 x (N + 1)); its error relative to rate.
    const uint64_t made = per * n1;
    const uint64_t diff = made > clock ? made - clock : clock - made;
    return diff * MAX_ERROR_DIV <= made;
}

int choose_bit_rate(uint8_t ratio, unsigned long *baudrate)
{
    const uint32_t freq = cfg.freq / 10000; // what the device is told
    const uint64_t clock = static_cast<uint64_t>(freq) * 10000 * ratio;
    int count = 0;
    while (serial_rate(count) > 0)
        ++count;
    bool tried = false;
    for (int i = count - 1; i >= 0; --i) {
        const uint32_t rate = static_cast<uint32_t>(serial_rate(i));
        if (!sci_rate_within(clock, rate))
            continue;
        tried = true;
        uint8_t writebuf[6];
        put16(rate / 100, writebuf);
        put16(freq, writebuf + 2);
        writebuf[4] = 0x01;
        writebuf[5] = ratio;
        uint8_t readbuf[2];
        bool refused = false;
        if (rcmd_readwrite(NEW_BIT_RATE, writebuf, sizeof writebuf, 1, ACK, readbuf, sizeof readbuf,
                           0, 0, &refused) >= 0) {
            snprintf(cfg.baudrate, sizeof cfg.baudrate, "%lu", static_cast<unsigned long>(rate));
            *baudrate = rate;
            return 0;
        }
        if (!refused)
            return -1;
    }
    if (!tried)
        printf("No bit rate is within 2%% at a clock of %llu Hz\n",
               static_cast<unsigned long long>(clock));
    return -1;
}
