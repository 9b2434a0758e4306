// A flash copy and page map installed in cfg for one test, as the flash layout
// inquiry would leave them; cfg is restored afterwards. Header-only, since it
// uses the driver's cfg and the support library links before the driver.
#pragma once

#include <cstdint>
#include <vector>

#include "kestrel.h"

namespace testimg
{

class FlashCopy
{
  public:
    FlashCopy(uint32_t size, uint16_t unit, uint32_t used = 0)
        : mem(size, 0xFF), flags(flags_bytes(size, unit), 0), saved(cfg)
    {
        cfg.size = size;
        cfg.unit = unit;
        cfg.mem = mem.data();
        cfg.flags = flags.data();
        cfg.used = used;
    }
    ~FlashCopy() { cfg = saved; }
    FlashCopy(const FlashCopy &) = delete;
    FlashCopy &operator=(const FlashCopy &) = delete;

    std::vector<uint8_t> mem;   // the flash copy, 0xFF at the start
    std::vector<uint8_t> flags; // the page map, 0 at the start

  private:
    h8s_config_t saved;
};

} // namespace testimg
