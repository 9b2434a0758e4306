// GPIO lines of the host, through the kernel's GPIO character device.
#pragma once

// Results of gpio_set_line other than 0.
enum gpio_result_e : int {
    GPIO_NO_CHIP = -1,     // the chip cannot be opened (errno tells why)
    GPIO_NO_LINE = -2,     // the chip has no line at that offset
    GPIO_NOT_GRANTED = -3, // the line cannot be requested as an output (errno: EBUSY when in use)
    GPIO_NOT_SET = -4,     // the requested line did not take the level (errno tells why)
    GPIO_TOO_MANY = -5,    // more chips than the table of open chips holds
};

/* gpio_set_line
 * Drives line offset of chip (a name such as gpiochip0, a path such as
 * /dev/gpiochip0, a label, or a number) to the physical level (0 or 1). The
 * first use of a line requests it as an output with the consumer name
 * "kestrel" and the level; the chip stays open and the line stays requested,
 * at its last level, until the process ends. Different ways of naming one chip
 * reach the same lines. Returns 0, or one of gpio_result_e with errno set by
 * the failed call; a failure leaves lines requested earlier as they were. */
int gpio_set_line(const char *chip, unsigned offset, int level);
