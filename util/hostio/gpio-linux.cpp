// GPIO lines through libgpiod (v1 API). Chips and lines are never released:
// a mode or reset pin keeps its level for as long as the process runs.
#include "gpio-linux.h"

#include <array>
#include <cstring>

#include <gpiod.h>

#include "error.h"

namespace
{

constexpr const char *CONSUMER = "kestrel";

// The chips opened so far. A board wires few chips; the table only bounds the
// number of open descriptors.
std::array<gpiod_chip *, 16> chips{};

// The open chip named descr. A chip that another name already opened is
// closed again and the first handle used, so that its requested lines are
// found. Null when it cannot be opened or the table is full (result in *why).
gpiod_chip *open_chip(const char *descr, int *why)
{
    gpiod_chip *chip = gpiod_chip_open_lookup(descr);
    if (chip == nullptr) {
        *why = GPIO_NO_CHIP;
        return nullptr;
    }
    const char *name = gpiod_chip_name(chip);
    for (gpiod_chip *&known : chips) {
        if (known == nullptr) {
            known = chip;
            return chip;
        }
        if (strcmp(gpiod_chip_name(known), name) == 0) {
            gpiod_chip_close(chip);
            return known;
        }
    }
    gpiod_chip_close(chip);
    *why = GPIO_TOO_MANY;
    return nullptr;
}

} // namespace

int gpio_set_line(const char *chip, unsigned offset, int level)
{
    ASSERT(chip != nullptr);
    int why = 0;
    gpiod_chip *c = open_chip(chip, &why);
    if (c == nullptr)
        return why;
    gpiod_line *line = gpiod_chip_get_line(c, offset);
    if (line == nullptr)
        return GPIO_NO_LINE;
    if (!gpiod_line_is_requested(line))
        return gpiod_line_request_output(line, CONSUMER, level) < 0 ? GPIO_NOT_GRANTED : 0;
    return gpiod_line_set_value(line, level) < 0 ? GPIO_NOT_SET : 0;
}
