// The stop request of SIGINT and SIGTERM.
#include "kestrel-signal.h"

#include <csignal>

namespace
{

volatile sig_atomic_t received = 0;

void on_signal(int signo)
{
    if (received == 0)
        received = signo;
}

} // namespace

void signals_install()
{
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: see the header
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

int interrupted_by()
{
    return received;
}
