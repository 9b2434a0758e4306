// The user MAT sum check.
#include "kestrel-sumcheck.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "h8s-wire.h"
#include "kestrel-events.h"
#include "kestrel-recover.h"
#include "kestrel.h"

namespace
{

constexpr int SUM_BYTES = 4;

// One sum check: 0 equal, 1 repaired (ask again), -1 or -2 as sum_check.
int sum_check_once(bool repair);

} // namespace

uint32_t flash_sum()
{
    uint32_t sum = 0;
    for (size_t i = 0; i < cfg.areas; ++i) {
        const uint64_t end =
            std::min<uint64_t>(static_cast<uint64_t>(cfg.area_last[i]) + 1, cfg.size);
        for (uint64_t a = cfg.area_first[i]; a < end; ++a)
            sum += cfg.mem[a];
    }
    return sum;
}

int sum_check()
{
    // With --retries a wrong sum has its differing units found and repaired,
    // at most that many times, before the sum is asked again.
    for (int tries = 0;; ++tries) {
        const int r = sum_check_once(tries < cfg.retries);
        if (r != 1)
            return r;
    }
}

namespace
{

int sum_check_once(bool repair)
{
    // Exactly one well-formed answer fits: code, size byte, the 4-byte sum, checksum.
    std::array<uint8_t, 7> buf{};
    const int n = rexchange({.cmd = CMD_SUM_CHECK,
                             .response = REPLY_SUM_CHECK,
                             .pbRead = buf.data(),
                             .cbMaxRead = static_cast<int>(buf.size()),
                             .cbReadSize = 1});
    if (n < 0)
        return -1;
    if (n != SUM_BYTES) {
        printf("Invalid sum check answer: %i bytes instead of %i\n", n, SUM_BYTES);
        return -1;
    }
    const unsigned long device = char2long(buf.data());
    const unsigned long expected = flash_sum();
    set_sum_result(static_cast<uint32_t>(device), static_cast<uint32_t>(expected));
    if (device != expected) {
        if (repair && repair_whole_mat() > 0)
            return 1;
        printf("Error: sum check failed: device %08lX, expected %08lX\n", device, expected);
        return -2;
    }
    printf("Sum check ok: %08lX\n", device);
    return 0;
}

} // namespace
