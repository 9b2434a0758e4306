// The configuration record that every stage shares, and the page map over the
// flash copy.
#include "kestrel.h"

h8s_config_t cfg;

void mark_range(uint32_t address, uint32_t n)
{
    if (n == 0)
        return;
    uint64_t last = (static_cast<uint64_t>(address) + n - 1) / cfg.unit;
    for (uint64_t p = address / cfg.unit; p <= last; ++p)
        mark_page(static_cast<uint32_t>(p));
}
