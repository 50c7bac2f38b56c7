// SPDX-License-Identifier: MIT
// Prints the exchange's figures: CPU per received byte in a flood and at 9600 baud, latency from
// the device's last byte to the shown outcome, press-to-timeout wall time, and idle CPU.

#include "load.h"
#include "sim/pty.h"
#include "ui/frm.h"
#include "ui/startup.h"
#include "ui/texts.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace {

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, std::size_t(p * double(v.size())))];
}

// Runs the event loop until `done` holds or `ms` pass.
template <typename Pred> void spin(Pred done, int ms = 5000)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
}

// The line-noise workload the peers were measured with: printable noise, about one ETX, ACK or
// NAK in a thousand bytes, nothing pressed.
void flood(SerialLink *link, const Pty &pty)
{
    constexpr int kRuns = 5;
    const std::string bytes = load::noise(2'000'000, 1000);
    std::vector<double> us;
    for (int i = 0; i < kRuns; ++i) {
        const load::Figures f = load::drive(pty.masterFd(), link, bytes);
        us.push_back(f.cpuSeconds * 1e6 / double(f.bytes));
        std::printf("flood %d: %zu bytes in %.2f s, CPU %.3f s, %.4f us per received byte\n", i + 1,
                    f.bytes, f.wallSeconds, f.cpuSeconds, us.back());
    }
    std::printf("flood, CPU per received byte, %d runs: median %.4f us [%.4f-%.4f]\n", kRuns,
                percentile(us, 0.5), percentile(us, 0.0), percentile(us, 1.0));
}

void paced(SerialLink *link, const Pty &pty)
{
    const load::Figures f =
        load::drive(pty.masterFd(), link, load::noise(960 * 20, 1000), load::kByteAt9600Ns);
    std::printf("9600-baud paced stream, %zu bytes in %.1f s: CPU %.3f s (%.0f %% of it in the "
                "kernel), %.2f %% of a core\n",
                f.bytes, f.wallSeconds, f.cpuSeconds, f.kernelSeconds / f.cpuSeconds * 100,
                f.cpuSeconds / f.wallSeconds * 100);
}

// The same stream into a bare socket notifier that reads the line itself: no port layer, no
// window. What waking for each byte costs in Qt's event loop on this machine.
void pacedFloor()
{
    const Pty line;
    const int slave = ::open(line.path().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    QSocketNotifier notifier(slave, QSocketNotifier::Read);
    const load::Figures f = load::drive(
        line.masterFd(), load::noise(960 * 20, 1000), load::kByteAt9600Ns, [&](auto count) {
            QObject::connect(&notifier, &QSocketNotifier::activated, &notifier, [slave, count] {
                char buf[4096];
                if (const ssize_t n = ::read(slave, buf, sizeof buf); n > 0)
                    count(std::size_t(n));
            });
        });
    ::close(slave);
    std::printf("the same stream into a bare socket notifier: %.2f %% of a core\n",
                f.cpuSeconds / f.wallSeconds * 100);
}

// Runs a blocking event loop, as the program does, until the reply box changes.
qint64 untilShown(QLineEdit *box, const QElapsedTimer &clock)
{
    QEventLoop loop;
    qint64 shownAt = 0;
    QObject::connect(box, &QLineEdit::textChanged, &loop, [&] {
        shownAt = clock.nsecsElapsed();
        loop.quit();
    });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    guard.start(5000);
    loop.exec();
    return shownAt;
}

void latency(frm &form, Pty &pty, QLineEdit *box)
{
    constexpr int kQueries = 1000;
    std::vector<double> us;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < kQueries; ++i) {
        form.cmd_abfragen_Click();
        pty.read(12 + 1);
        pty.write("OK9A");
        spin([&] { return form.receiveBuffer().size() == 4; });
        box->clear();
        qint64 sentAt = 0;
        // The final byte leaves the device while the program sleeps in its event loop.
        QTimer::singleShot(1, &form, [&] {
            sentAt = clock.nsecsElapsed();
            pty.write("\x03");
        });
        const qint64 shownAt = untilShown(box, clock);
        us.push_back(double(shownAt - sentAt) / 1e3);
    }
    std::printf("final byte to outcome shown, %d queries: p50 %.1f us, p99 %.1f us, max %.1f us\n",
                kQueries, percentile(us, 0.5), percentile(us, 0.99), percentile(us, 1.0));
}

// The pseudo-terminal alone, no program: a byte written to the master until a poll on the
// slave wakes and reads it. What the latency above adds to this is the program's own share.
void lineAlone()
{
    constexpr int kBytes = 1000;
    const Pty line;
    const int master = line.masterFd();
    const int slave = ::open(line.path().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    if (!line.isValid() || slave < 0)
        return;
    std::vector<double> us;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < kBytes; ++i) {
        const qint64 sentAt = clock.nsecsElapsed();
        char c = 3;
        if (::write(master, &c, 1) != 1)
            break;
        pollfd p{slave, POLLIN, 0};
        poll(&p, 1, 1000);
        const qint64 readAt = clock.nsecsElapsed();
        if (::read(slave, &c, 1) != 1)
            break;
        us.push_back(double(readAt - sentAt) / 1e3);
    }
    ::close(slave);
    if (!us.empty())
        std::printf("the line alone, master write to slave poll, %d bytes: p50 %.1f us, p99 %.1f "
                    "us\n",
                    kBytes, percentile(us, 0.5), percentile(us, 0.99));
}

void timeout(frm &form, QLineEdit *box)
{
    constexpr int kQueries = 50;
    std::vector<double> ms;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < kQueries; ++i) {
        box->clear();
        const qint64 pressedAt = clock.nsecsElapsed();
        form.cmd_abfragen_Click();
        const qint64 shownAt = untilShown(box, clock);
        ms.push_back(double(shownAt - pressedAt) / 1e6);
    }
    std::printf("press to \"Fehler : Timeout\", %d queries: min %.1f ms, median %.1f ms, max %.1f "
                "ms\n",
                kQueries, percentile(ms, 0.0), percentile(ms, 0.5), percentile(ms, 1.0));
}

void idle()
{
    const double used = load::cpuSecondsOver(5000);
    std::printf("CPU with the port open and no query, 5 s: %.3f ms, %.3f %%\n", used * 1e3,
                used / 5.0 * 100.0);
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Pty pty;
    frm form(pty.path());
    if (startForm(form, [](const PortError &e) {
            std::fprintf(stderr, "%s\n", qPrintable(texts::portErrorLine(e)));
        }))
        return 1;
    auto *box = form.findChild<QLineEdit *>(QStringLiteral("txt_empfangen"));
    auto *link = form.findChild<SerialLink *>(QStringLiteral("MSComm1"));

    // Names on the command line pick phases; none runs them all.
    const QStringList args = app.arguments().mid(1);
    const auto wanted = [&](const char *name) {
        return args.isEmpty() || args.contains(QLatin1String(name));
    };
    if (wanted("flood"))
        flood(link, pty);
    if (wanted("paced"))
        paced(link, pty);
    if (wanted("paced-floor"))
        pacedFloor();
    if (wanted("latency")) {
        latency(form, pty, box);
        lineAlone();
    }
    if (wanted("timeout"))
        timeout(form, box);
    pty.drain(50);
    if (wanted("idle"))
        idle();
    return 0;
}
