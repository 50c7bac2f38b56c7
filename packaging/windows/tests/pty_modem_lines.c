// SPDX-License-Identifier: MIT
// For the tests under wine only, never shipped: preloaded into wine, this gives a
// pseudo-terminal the modem lines a UART has. Wine ends a serial port's WaitCommEvent with an
// error where it cannot read them, which a pseudo-terminal never lets it. On pseudo-terminals
// the lines set (DTR, RTS) read back and the far end's (CTS, DSR, DCD) are up; every other
// ioctl, and every other device, goes through.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

static const int kOutputs = TIOCM_DTR | TIOCM_RTS;
static int lines = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;

static int pseudoTerminal(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 &&
           major(st.st_rdev) <= 143;
}

int ioctl(int fd, unsigned long request, ...)
{
    static int (*real)(int, unsigned long, ...);
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    if (!real)
        real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    const int modem =
        request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
    if (!modem || !arg || !pseudoTerminal(fd))
        return real(fd, request, arg);
    const int bits = *(int *)arg & kOutputs;
    if (request == TIOCMGET)
        *(int *)arg = lines;
    else if (request == TIOCMSET)
        lines = (lines & ~kOutputs) | bits;
    else if (request == TIOCMBIS)
        lines |= bits;
    else
        lines &= ~bits;
    return 0;
}
