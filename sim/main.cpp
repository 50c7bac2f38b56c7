// tq5sim: the device end of the line, on a pseudo-terminal or a given terminal.

#include "device.h"
#include "line_text.h"
#include "options.h"
#include "outbox.h"
#include "protocol/frame.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

using namespace sim;

namespace {

volatile std::sig_atomic_t stopSignal = 0;

void onStopSignal(int signal)
{
    stopSignal = signal;
}

// Wrong arguments or rules.
int fail(const std::string &message)
{
    std::fprintf(stderr, "tq5sim: %s\n", message.c_str());
    return 2;
}

// The line failed while running.
int lineFailed(const std::string &what)
{
    std::fprintf(stderr, "tq5sim: %s: %s\n", what.c_str(), std::strerror(errno));
    return 1;
}

std::string now()
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm local{};
    localtime_r(&tv.tv_sec, &local);
    char text[32];
    const std::size_t n = std::strftime(text, sizeof text, "%H:%M:%S", &local);
    std::snprintf(text + n, sizeof text - n, ".%03d", int(tv.tv_usec / 1000));
    return text;
}

void log(const std::string &line)
{
    std::printf("%s %s\n", now().c_str(), line.c_str());
}

std::string describe(const Frame &frame)
{
    std::string line = "RX " + quoted(frame.text());
    switch (frame.verdict()) {
    case Verdict::Good:
        line += " checksum " + std::string(frame.checksum()) + " good";
        break;
    case Verdict::Bad: {
        const Frame right{buildFrame(frame.text())};
        line += " checksum " + quoted(frame.checksum()) + " bad, expected " +
                std::string(right.checksum());
        break;
    }
    case Verdict::NoChecksum:
        line += " no checksum";
        break;
    }
    return line + " [" + hexBytes(frame.bytes) + "]";
}

std::string describe(const Answer &answer, const std::string &bytes)
{
    std::string line = "TX " + std::string(kindName(answer.kind));
    if (kindHasText(answer.kind))
        line += " " + quoted(answer.text);
    return bytes.empty() ? line : line + " [" + hexBytes(bytes) + "]";
}

bool readRules(const Options &options, Rules &rules, std::string &error)
{
    std::string content;
    const int file = open(options.rulesFile.c_str(), O_RDONLY);
    ssize_t n = file < 0 ? -1 : 1;
    char buf[4096];
    while (n > 0 && (n = read(file, buf, sizeof buf)) > 0)
        content.append(buf, std::size_t(n));
    if (n < 0) {
        error = "cannot read rules file " + options.rulesFile + ": " + std::strerror(errno);
        if (file >= 0)
            close(file);
        return false;
    }
    close(file);
    std::string why;
    auto parsed = parseRules(content, options.answer.text, why);
    if (!parsed) {
        error = "rules file " + options.rulesFile + ": " + why;
        return false;
    }
    rules = std::move(*parsed);
    return true;
}

// The line in raw mode at 9600 8N1: a new pseudo-terminal (its far end kept open, so the
// program may come and go), or the given terminal.
int openLine(const Options &options, int &slave, std::string &error)
{
    if (options.tty.empty()) {
        int master = -1;
        char name[256] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
            error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
            return -1;
        }
        termios raw{};
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        std::printf("PTY %s\n", name);
        return master;
    }
    const int fd = open(options.tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios raw{};
    if (fd < 0 || tcgetattr(fd, &raw) != 0) {
        error = "cannot open " + options.tty + " as a terminal: " + std::strerror(errno);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    cfmakeraw(&raw);
    cfsetspeed(&raw, B9600);
    raw.c_cflag |= CLOCAL | CREAD;
    raw.c_cflag &= ~(PARENB | CSTOPB);
    tcsetattr(fd, TCSANOW, &raw);
    std::printf("TTY %s\n", options.tty.c_str());
    return fd;
}

int run(int fd, Device &device, const Options &options, const sigset_t &waitMask)
{
    Outbox outbox;
    std::string unsent;
    const Outbox::Ms delay(options.delayMs), gap(options.gapMs);
    while (true) {
        timespec wait{};
        timespec *timeout = nullptr;
        if (const auto due = outbox.nextDue()) {
            const auto left = std::max(*due - Outbox::Clock::now(), Outbox::Clock::duration(0));
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            wait = {time_t(ns / 1'000'000'000), long(ns % 1'000'000'000)};
            timeout = &wait;
        }
        pollfd line{fd, short(POLLIN | (unsent.empty() ? 0 : POLLOUT)), 0};
        const int ready = ppoll(&line, 1, timeout, &waitMask);
        if (stopSignal)
            break;
        if (ready < 0 && errno != EINTR)
            return lineFailed("waiting for the line");

        if (line.revents & (POLLIN | POLLHUP | POLLERR)) {
            char buf[4096];
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n == 0) {
                std::fprintf(stderr, "tq5sim: the line was closed\n");
                return 1;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return lineFailed("reading the line");
            if (n > 0) {
                const auto at = Outbox::Clock::now();
                const Reaction reaction = device.receive({buf, std::size_t(n)});
                if (!reaction.echo.empty()) {
                    log(describe(Answer{Kind::Echo, {}}, reaction.echo));
                    outbox.schedule(at, reaction.echo, delay, gap);
                }
                for (const Handled &handled : reaction.frames) {
                    log(describe(handled.frame));
                    if (!(handled.answer.kind == Kind::Echo && handled.bytes.empty()))
                        log(describe(handled.answer, handled.bytes));
                    outbox.schedule(at, handled.bytes, delay, gap);
                }
            }
        }
        unsent += outbox.takeDue(Outbox::Clock::now());
        if (!unsent.empty()) {
            const ssize_t n = write(fd, unsent.data(), unsent.size());
            if (n > 0)
                unsent.erase(0, std::size_t(n));
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                return lineFailed("writing the line");
        }
    }
    std::printf("%s stopped by %s\n", now().c_str(), stopSignal == SIGINT ? "SIGINT" : "SIGTERM");
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string error;
    const auto options = parseOptions({argv + 1, argv + argc}, error);
    if (!options)
        return fail(error);
    if (options->help) {
        std::fputs(helpText().c_str(), stdout);
        return 0;
    }
    Rules rules;
    if (!options->rulesFile.empty() && !readRules(*options, rules, error))
        return fail(error);

    // The stop signals are let in only while waiting, so none is lost between check and wait.
    sigset_t stops, waitMask;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_BLOCK, &stops, &waitMask);
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    int slave = -1;
    const int fd = openLine(*options, slave, error);
    if (fd < 0)
        return fail(error);
    std::string summary = "answer " + std::string(kindName(options->answer.kind));
    if (kindHasText(options->answer.kind))
        summary += " " + quoted(options->answer.text);
    summary += ", delay " + std::to_string(options->delayMs) + " ms, gap " +
               std::to_string(options->gapMs) + " ms";
    if (!options->rulesFile.empty())
        summary += ", " + std::to_string(rules.rules.size()) + " rules from " + options->rulesFile;
    log(summary);

    Device device(options->answer, std::move(rules));
    const int status = run(fd, device, *options, waitMask);
    close(fd);
    if (slave >= 0)
        close(slave);
    return status;
}
