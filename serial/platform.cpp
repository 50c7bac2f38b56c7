// SPDX-License-Identifier: MIT
#include "platform.h"

#ifdef Q_OS_WIN

namespace platform {

PortSystem hostSystem()
{
    return PortSystem::Windows;
}
std::optional<std::uint64_t> deviceNumber(const QString &)
{
    return std::nullopt;
}
bool unusable(const QString &)
{
    return false;
}
bool noHardwareBehind(const QString &)
{
    return false;
}
bool mayOpen(const QString &)
{
    return true;
}
std::unique_ptr<QSocketNotifier> watchForHangUp(PortHandle)
{
    return nullptr;
}
bool hungUp(PortHandle)
{
    return false;
}

} // namespace platform

#else

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace platform {

namespace {

std::optional<dev_t> node(const QString &path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISCHR(st.st_mode))
        return std::nullopt;
    return st.st_rdev;
}

// The 8250 driver makes ttyS nodes whether or not a UART is there; sysfs says which have none,
// without opening them.
bool uartMissing(dev_t device)
{
    QFile type(QStringLiteral("/sys/dev/char/%1:%2/type").arg(major(device)).arg(minor(device)));
    return type.open(QIODevice::ReadOnly) && type.readAll().trimmed() == "0";
}

} // namespace

PortSystem hostSystem()
{
    return PortSystem::Linux;
}

std::optional<std::uint64_t> deviceNumber(const QString &path)
{
    if (const auto n = node(path))
        return std::uint64_t(*n);
    return std::nullopt;
}

// Pseudo-terminals (Unix 98 slaves, legacy BSD ones) and 8250 ports with no UART.
bool unusable(const QString &path)
{
    const auto n = node(path);
    if (!n)
        return path.startsWith(QLatin1String("/dev/pts/"));
    const unsigned m = major(*n);
    return (m >= 136 && m <= 143) || m == 2 || m == 3 || uartMissing(*n);
}

// As a UART-less ttyS or a pulled adapter's bound node give.
bool noHardwareBehind(const QString &path)
{
    if (const auto n = node(path); n && uartMissing(*n))
        return true;
    int error = 0;
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
    } else {
        termios t;
        if (::tcgetattr(fd, &t) != 0 || ::tcsetattr(fd, TCSANOW, &t) != 0)
            error = errno;
        ::close(fd);
    }
    return error == EIO || error == ENXIO || error == ENODEV;
}

bool mayOpen(const QString &path)
{
    return ::access(QFile::encodeName(path).constData(), R_OK | W_OK) == 0;
}

// A hung-up line (the far end closed, an adapter pulled) reads as end of file, which Qt 6.5 and
// later pass over in silence while their read notifier keeps firing. The descriptor still tells:
// both of Qt's Unix event dispatchers wake an exception notifier on POLLERR, which a hung-up
// tty reports and a working one never does.
std::unique_ptr<QSocketNotifier> watchForHangUp(PortHandle handle)
{
    return std::make_unique<QSocketNotifier>(handle, QSocketNotifier::Exception);
}
bool hungUp(PortHandle handle)
{
    pollfd p{handle, 0, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR)) != 0;
}

} // namespace platform

#endif
