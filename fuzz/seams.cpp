// Link-time seams of the fuzz targets. The targets link with -Wl,--wrap=sleep,
// so the pauses of the synchronisation (one second after a wrong answer) cost
// nothing; the product code keeps calling sleep as it always does.
#include <unistd.h>

extern "C" unsigned int __wrap_sleep(unsigned int)
{
    return 0;
}
