// The stop request of SIGINT and SIGTERM.
#include "kestrel-signal.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace
{

volatile sig_atomic_t received = 0;
int wakeup[2] = {-1, -1}; // a pipe the handler writes to: read end, write end

void on_signal(int signo)
{
    if (received == 0)
        received = signo;
    // A wait that began after the flag was last looked at ends on this byte.
    const int saved_errno = errno;
    if (wakeup[1] >= 0) {
        const char b = 1;
        (void)!write(wakeup[1], &b, 1);
    }
    errno = saved_errno;
}

} // namespace

void signals_install()
{
    // Without the pipe the flag and EINTR still end the run, only a signal
    // that lands just before a wait begins then waits out its time-out.
    if (wakeup[0] < 0 && pipe2(wakeup, O_CLOEXEC | O_NONBLOCK) != 0)
        wakeup[0] = wakeup[1] = -1;
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

int signals_wakeup_fd()
{
    return wakeup[0];
}
