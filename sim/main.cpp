// SPDX-License-Identifier: MIT
// tq5sim: the device end of the line, on a new pseudo-terminal or a given terminal.

#include "sim/device.h"
#include "sim/pty.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSocketNotifier>
#include <QTime>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

using namespace sim;

const char *const about = R"(A simulated bus device. It prints the line it is on, "PTY /dev/pts/N"
(with --tty, "TTY PATH"), then a line per frame and per answer, until SIGINT or SIGTERM.

--answer KIND (a wrong or missing checksum gets NAK, unless silent or echoing):
  ack           06                               --answer ack
  nak           15                               --answer nak
  reply         TEXT, checksum, ETX: OK9A{ETX}   --text "T=21,5"
  bad-checksum  checksum one too high: OK9B{ETX} --answer bad-checksum
  lowercase     checksum in lowercase: OK9a{ETX} --answer lowercase
  ack-reply     ACK, then the reply              --answer ack-reply
  echo          every byte straight back         --answer echo
  silence       nothing                          --answer silence

--rules FILE, a rule a line: COMMAND ANSWER [TEXT], e.g. G02K01P00= ack-reply "T=21,5".
COMMAND is a word or quoted ("G01 K01", ""), * any other good frame, !bad a wrong or missing
checksum; TEXT is the rest of the line less its quotes, else --text. # starts a comment.)";

// Wrong arguments or rules end it with 2, a line that fails while it runs with 1.
static int fail(const QString &message, int status = 2)
{
    std::fprintf(stderr, "tq5sim: %s\n", qUtf8Printable(message));
    return status;
}

static void log(const QString &line)
{
    std::puts(qUtf8Printable(QTime::currentTime().toString("HH:mm:ss.zzz ") + line));
}

int main(int argc, char *argv[])
{
    // The stop signals come as data on a descriptor the event loop watches; blocked before
    // anything else runs, none is lost.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QCoreApplication app(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(about);
    parser.addOptions({
        {{"h", "help"}, "This text."},
        {"answer", "How to answer a frame (default: reply).", "KIND", "reply"},
        {"text", "The text of a reply (default: OK), sent in Windows-1252.", "TEXT", "OK"},
        {"delay", "Wait MS before each answer: --delay 150.", "MS", "0"},
        {"gap", "Wait MS between the characters of an answer: --gap 20.", "MS", "0"},
        {"rules", "Answer by command text; --answer answers what no rule names.", "FILE"},
        {"tty", "Use this terminal (raw, 9600 8N1), not a new pseudo-terminal.", "PATH"},
    });
    if (!parser.parse(app.arguments()))
        return fail(parser.errorText() + " See --help.");
    if (!parser.positionalArguments().isEmpty())
        return fail("unexpected argument '" + parser.positionalArguments().first() + "'");
    if (parser.isSet("help"))
        parser.showHelp();
    const QString kind = parser.value("answer"), rulesFile = parser.value("rules");
    if (!kindNames.contains(kind))
        return fail(
            QString("--answer: unknown answer '%1' (one of %2)").arg(kind, kindNames.join(", ")));
    QString error;
    const auto text = lineBytes(parser.value("text"), error);
    if (!text)
        return fail("--text: " + error);
    bool delayOk = false, gapOk = false;
    const int delay = parser.value("delay").toInt(&delayOk),
              gap = parser.value("gap").toInt(&gapOk);
    if (!delayOk || !gapOk || qMin(delay, gap) < 0 || qMax(delay, gap) > 3'600'000)
        return fail("--delay and --gap take milliseconds from 0 to 3600000");
    QFile file(rulesFile); // none: no rules
    if (!rulesFile.isEmpty() && !file.open(QIODevice::ReadOnly))
        return fail("cannot read rules file " + rulesFile + ": " + file.errorString());
    auto rules = parseRules(file.isOpen() ? file.readAll() : "", parser.value("text"), error);
    if (!rules)
        return fail("rules file " + rulesFile + ": " + error);
    Device device{{Kind(kindNames.indexOf(kind)), *text}, std::move(*rules)};

    std::optional<Pty> pty; // its far end stays open, so the program on it may come and go
    const QString tty = parser.value("tty");
    int fd = -1;
    if (tty.isEmpty()) {
        if (!pty.emplace().isValid())
            return fail(QString("cannot open a pseudo-terminal: ") + std::strerror(errno));
        fd = pty->masterFd();
    } else {
        fd = ::open(QFile::encodeName(tty).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios raw{};
        if (fd < 0 || tcgetattr(fd, &raw) != 0)
            return fail("cannot open " + tty + " as a terminal: " + std::strerror(errno));
        cfmakeraw(&raw); // 8 bits, no parity
        cfsetspeed(&raw, B9600);
        raw.c_cflag = (raw.c_cflag & ~CSTOPB) | CLOCAL | CREAD;
        if (tcsetattr(fd, TCSANOW, &raw) != 0)
            return fail("cannot set " + tty + " to raw 9600 8N1: " + std::strerror(errno));
    }
    std::printf("%s %s\n", pty ? "PTY" : "TTY", qUtf8Printable(pty ? pty->path() : tty));
    QString summary = "answer " + device.fallback.describe() + ", delay " + QString::number(delay) +
                      " ms, gap " + QString::number(gap) + " ms";
    if (!rulesFile.isEmpty())
        summary += ", " + QString::number(device.rules.size()) + " rules from " + rulesFile;
    log(summary);

    const int stopFd = signalfd(-1, &stops, SFD_NONBLOCK | SFD_CLOEXEC);
    if (stopFd < 0)
        return fail(QString("cannot watch for SIGINT and SIGTERM: ") + std::strerror(errno), 1);
    QSocketNotifier stopper(stopFd, QSocketNotifier::Read);
    QObject::connect(&stopper, &QSocketNotifier::activated, &app, [&] {
        signalfd_siginfo info{};
        if (read(stopFd, &info, sizeof info) != sizeof info)
            return;
        log(QString("stopped by ") + (info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM"));
        app.quit();
    });

    // Answers go out in order: each starts its delay after its frame came, but not before the
    // one ahead has gone out and a gap has passed; its characters a gap apart.
    QElapsedTimer clock;
    clock.start();
    std::deque<std::pair<qint64, char>> due; // ms on `clock`
    qint64 lineFree = 0;
    std::string unsent;
    QTimer next;
    next.setSingleShot(true);
    next.setTimerType(Qt::PreciseTimer);
    QSocketNotifier writable(fd, QSocketNotifier::Write); // on while the line is too full
    writable.setEnabled(false);
    const auto flush = [&] {
        const qint64 now = clock.elapsed();
        for (; !due.empty() && due.front().first <= now; due.pop_front())
            unsent += due.front().second;
        const ssize_t n = unsent.empty() ? 0 : write(fd, unsent.data(), unsent.size());
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            std::exit(fail(QString("writing the line: ") + std::strerror(errno), 1));
        unsent.erase(0, std::size_t(qMax<ssize_t>(n, 0)));
        writable.setEnabled(!unsent.empty());
        if (!due.empty())
            next.start(int(due.front().first - now));
    };
    QObject::connect(&next, &QTimer::timeout, &app, flush);
    QObject::connect(&writable, &QSocketNotifier::activated, &app, flush);

    QSocketNotifier readable(fd, QSocketNotifier::Read);
    QObject::connect(&readable, &QSocketNotifier::activated, &app, [&] {
        char buf[4096];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n == 0)
            std::exit(fail("the line was closed", 1));
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            std::exit(fail(QString("reading the line: ") + std::strerror(errno), 1));
        if (n < 0)
            return;
        const qint64 at = clock.elapsed() + delay;
        for (const auto &[line, bytes] : device.receive({buf, std::size_t(n)})) {
            log(line);
            for (const char c : bytes) {
                due.emplace_back(qMax(at, lineFree), c);
                lineFree = due.back().first + gap;
            }
        }
        flush();
    });
    return app.exec();
}
