// SPDX-License-Identifier: MIT
#include "pty.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

Pty::Pty()
{
    char name[256] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
        return; // both stay -1
    termios raw{};
    tcgetattr(slave_, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave_, TCSANOW, &raw);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    path_ = QString::fromLocal8Bit(name);
}

void Pty::close()
{
    if (master_ >= 0)
        ::close(master_);
    if (slave_ >= 0)
        ::close(slave_);
    master_ = slave_ = -1;
}

void Pty::clearExclusive()
{
    ioctl(slave_, TIOCNXCL);
}

void Pty::write(std::string_view bytes)
{
    while (!bytes.empty() && master_ >= 0) {
        const ssize_t n = ::write(master_, bytes.data(), bytes.size());
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return;
        if (n > 0)
            bytes.remove_prefix(std::size_t(n));
        else // the line is full: the program drains it from its event loop
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
}

std::string Pty::read(std::size_t count, int timeoutMs)
{
    std::string got;
    QDeadlineTimer deadline(timeoutMs);
    while (got.size() < count && !deadline.hasExpired() && master_ >= 0) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        pollfd p{master_, POLLIN, 0};
        char buf[4096];
        const ssize_t n = poll(&p, 1, 1) > 0 ? ::read(master_, buf, sizeof buf) : 0;
        if (n > 0)
            got.append(buf, std::size_t(n));
    }
    return got;
}
