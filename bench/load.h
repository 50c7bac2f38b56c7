// SPDX-License-Identifier: MIT
#pragma once

// The workloads both benchmarks drive the window with, written by a child process so that the
// figures count the program's own CPU alone.

#include "serial/serial_link.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace load {

// CPU this process has used in user space and in the kernel, in seconds.
inline double cpuSeconds(bool kernelOnly = false)
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    const double kernel = double(u.ru_stime.tv_sec) + double(u.ru_stime.tv_usec) / 1e6;
    return kernelOnly ? kernel
                      : kernel + double(u.ru_utime.tv_sec) + double(u.ru_utime.tv_usec) / 1e6;
}

// Runs the event loop for `ms` and returns the CPU this process used meanwhile, in seconds.
inline double cpuSecondsOver(int ms)
{
    const double before = cpuSeconds();
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    return cpuSeconds() - before;
}

// Printable noise with one ETX, ACK or NAK in about every `controlEvery` bytes.
inline std::string noise(std::size_t size, std::size_t controlEvery, std::uint32_t seed = 12345)
{
    std::string bytes(size, '\0');
    for (char &c : bytes) {
        seed = seed * 1103515245u + 12345u;
        const std::uint32_t r = seed >> 8;
        c = r % controlEvery == 0 ? "\x03\x06\x15"[r / controlEvery % 3] : char(' ' + r % 95);
    }
    return bytes;
}

struct Figures
{
    double cpuSeconds = 0, kernelSeconds = 0, wallSeconds = 0;
    std::size_t bytes = 0;
};

// Writes `bytes` into the line from a child process, as fast as the other end drains it, or one
// byte every `gapNs` on a fixed schedule.
inline pid_t startDevice(int masterFd, const std::string &bytes, long gapNs)
{
    const pid_t device = fork();
    if (device != 0)
        return device;
    prctl(PR_SET_NAME, "device"); // apart from the program in a profile
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (std::size_t at = 0; at < bytes.size();) {
        if (gapNs) {
            next.tv_nsec += gapNs;
            next.tv_sec += next.tv_nsec / 1'000'000'000;
            next.tv_nsec %= 1'000'000'000;
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        }
        const ssize_t w = ::write(masterFd, bytes.data() + at, gapNs ? 1 : bytes.size() - at);
        if (w > 0) {
            at += std::size_t(w);
        } else if (errno == EAGAIN) { // the line is full until the program reads
            pollfd p{masterFd, POLLOUT, 0};
            poll(&p, 1, 100);
        } else if (errno != EINTR) {
            _exit(1);
        }
    }
    _exit(0);
}

// Runs the event loop, as the program does, until `received` has counted `bytes.size()`
// bytes from the device started meanwhile. Returns the program's CPU and the wall time.
template <typename Counter>
Figures drive(int masterFd, const std::string &bytes, long gapNs, Counter received)
{
    std::size_t count = 0;
    QEventLoop loop;
    received([&](std::size_t n) {
        if ((count += n) >= bytes.size())
            loop.quit();
    });
    QTimer::singleShot(600'000, &loop, &QEventLoop::quit);
    QElapsedTimer wall;
    wall.start();
    const double cpu = cpuSeconds(), kernel = cpuSeconds(true);
    const pid_t device = startDevice(masterFd, bytes, gapNs);
    loop.exec();
    const Figures f{cpuSeconds() - cpu, cpuSeconds(true) - kernel,
                    double(wall.nsecsElapsed()) / 1e9, count};
    kill(device, SIGKILL);
    waitpid(device, nullptr, 0);
    return f;
}

// The same for the window's port: one byte per notification.
inline Figures drive(int masterFd, SerialLink *link, const std::string &bytes, long gapNs = 0)
{
    QMetaObject::Connection c;
    const Figures f = drive(masterFd, bytes, gapNs, [&](auto count) {
        c = QObject::connect(link, &SerialLink::OnComm, link, [count] { count(1); });
    });
    QObject::disconnect(c);
    return f;
}

// One byte in 10 bits at 9600 baud.
constexpr long kByteAt9600Ns = 1'000'000'000L / 960;

} // namespace load
