// Prints the exchange's figures: receive cost per character, latency from the device's last byte
// to the shown outcome, press-to-timeout wall time, and idle CPU. Run offscreen.

#include "sim/pty.h"
#include "ui/frm.h"
#include "ui/startup.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace {

double cpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

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

void flood(frm &form, Pty &pty, SerialLink *link)
{
    constexpr int kBytes = 100'000;
    std::string bytes(kBytes, '\0');
    for (int i = 0; i < kBytes; ++i)
        bytes[i] = char('0' + i % 64); // no control characters: pure receive path
    long reads = 0;
    QMetaObject::Connection counter = QObject::connect(
        link, &SerialLink::OnComm, &form, [&] { ++reads; }, Qt::DirectConnection);
    QElapsedTimer t;
    t.start();
    pty.write(bytes);
    spin([&] { return reads >= kBytes; }, 60'000);
    const double us = double(t.nsecsElapsed()) / 1e3;
    QObject::disconnect(counter);
    std::printf("receive flood: %d bytes in %.1f ms, %.2f us per character (%ld reads)\n", kBytes,
                us / 1e3, us / kBytes, reads);
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
    const double before = cpuSeconds();
    QEventLoop loop;
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    loop.exec();
    const double used = cpuSeconds() - before;
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
    if (startForm(form,
                  [](const PortError &e) { std::fprintf(stderr, "%s\n", qPrintable(e.text)); }))
        return 1;
    auto *box = form.findChild<QLineEdit *>(QStringLiteral("txt_empfangen"));
    auto *link = form.findChild<SerialLink *>(QStringLiteral("MSComm1"));

    // Names on the command line pick phases; none runs them all.
    const QStringList args = app.arguments().mid(1);
    const auto wanted = [&](const char *name) {
        return args.isEmpty() || args.contains(QLatin1String(name));
    };
    if (wanted("flood"))
        flood(form, pty, link);
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
