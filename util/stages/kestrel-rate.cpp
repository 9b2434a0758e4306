// The bit rate chosen from the H8S clock.
#include "kestrel-rate.h"

#include <cstdio>
#include <cstring>

#include "h8s-wire.h"
#include "kestrel-proto.h"
#include "kestrel-recover.h"
#include "kestrel.h"
#include "serial-linux.h"

namespace
{

constexpr uint64_t SCI_DIVIDER = 32; // asynchronous mode, clock divider 1
constexpr uint64_t MAX_SETTINGS = 256;
constexpr uint64_t MAX_ERROR_DIV = 50; // 2 %

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
        const auto data = new_bit_rate_data(rate, freq, ratio);
        uint8_t readbuf[2];
        bool refused = false;
        if (rexchange({.cmd = CMD_NEW_BIT_RATE,
                       .pbWrite = data.data(),
                       .cbWrite = static_cast<int>(data.size()),
                       .cbWriteSize = 1,
                       .pbRead = readbuf,
                       .cbMaxRead = sizeof readbuf},
                      &refused) >= 0) {
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
