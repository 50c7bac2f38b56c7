// SPDX-License-Identifier: MIT
// Prints what a flood costs: resident memory before and after 10 MB of unsolicited bytes, the CPU
// per received byte, noise at 9600 baud, the cost of an outcome shown over a full buffer, and
// the CPU used once the device is gone. Run offscreen.

#include "load.h"
#include "protocol/frame.h"
#include "sim/pty.h"
#include "ui/frm.h"
#include "ui/startup.h"
#include "ui/texts.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>

#include <cstdio>

namespace {

double residentMb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return -1;
}

// Noise without control characters, then ETX, ACK and NAK strewn in at fixed spacings.
std::string floodBytes(std::size_t size, std::size_t etxEvery, std::size_t ackEvery)
{
    std::string flood(size, '\0');
    std::uint32_t noise = 12345;
    for (std::size_t i = 0; i < size; ++i) {
        noise = noise * 1103515245u + 12345u;
        char c = char(noise >> 24);
        if (c == Steuerzeichen::ETX || c == Steuerzeichen::ACK || c == Steuerzeichen::NAK)
            c = 'x';
        if (etxEvery && i % etxEvery == 0)
            c = Steuerzeichen::ETX;
        else if (ackEvery && i % ackEvery == 1)
            c = (i / ackEvery) % 2 ? Steuerzeichen::ACK : Steuerzeichen::NAK;
        flood[i] = c;
    }
    return flood;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Pty pty;
    frm form(pty.path());
    if (startForm(form, [](const PortError &e) {
            std::fprintf(stderr, "port: %s\n", qPrintable(texts::portErrorLine(e)));
        }) != 0)
        return 1;
    auto *link = form.findChild<SerialLink *>(QStringLiteral("MSComm1"));
    auto *box = form.findChild<QLineEdit *>(QStringLiteral("txt_empfangen"));

    // Warm up: one query, and the buffer filled once.
    form.cmd_abfragen_Click();
    pty.read(13);
    load::drive(pty.masterFd(), link, std::string("\x06", 1));
    load::drive(pty.masterFd(), link, floodBytes(ReceiveBuffer::kDefaultBound, 0, 0));
    const std::string flood = floodBytes(10 << 20, 1009, 50021);
    const double rssBefore = residentMb(); // the flood's own 10 MB already counted
    for (int round = 1; round <= 2; ++round) {
        const load::Figures f = load::drive(pty.masterFd(), link, flood);
        std::printf("flood %d: %zu bytes (ETX every 1009, ACK/NAK every 50021) in %.2f s, CPU "
                    "%.4f us per received byte\n",
                    round, f.bytes, f.wallSeconds, f.cpuSeconds * 1e6 / double(f.bytes));
        std::printf("resident memory: %.1f MB before, %.1f MB after\n", rssBefore, residentMb());
    }

    form.cmd_abfragen_Click();
    const bool frameOk = pty.read(13) == "G01K01P00=41\x03";
    load::drive(pty.masterFd(), link, "OK9A\x03");
    std::printf("query after the floods: %s\n",
                frameOk && box->text() == QStringLiteral("OK9A{ETX}") ? "exact" : "WRONG");

    // Each ACK, NAK or good frame shows the whole buffer, and the box lays out all of it. What a
    // line at 9600 baud costs once the buffer is full:
    const std::size_t bound = ReceiveBuffer::kDefaultBound;
    std::string noise(bound + 32 * 1024, '\0');
    std::uint32_t seed = 99;
    for (char &c : noise) {
        seed = seed * 1103515245u + 12345u;
        c = char(seed >> 24);
    }
    load::drive(pty.masterFd(), link, noise.substr(0, bound));
    const load::Figures paced =
        load::drive(pty.masterFd(), link, noise.substr(bound, 960 * 20), load::kByteAt9600Ns);
    std::printf("noise of every byte value over a full %zu-byte buffer, paced at 9600 baud for "
                "%.0f s: %.2f %% of a core\n",
                bound, paced.wallSeconds, paced.cpuSeconds / paced.wallSeconds * 100);
    const std::string acks(bound + 20000, Steuerzeichen::ACK);
    load::drive(pty.masterFd(), link, acks.substr(0, bound));
    const load::Figures f = load::drive(pty.masterFd(), link, acks.substr(bound));
    std::printf("ACK after ACK over a full buffer, as fast as the line goes: %.2f us CPU per ACK "
                "(the box takes the latest once a frame)\n",
                f.cpuSeconds * 1e6 / double(f.bytes));
    std::printf("CPU, port open, no query, 5 s: %.3f %%\n", load::cpuSecondsOver(5000) / 5 * 100);

    form.cmd_abfragen_Click();
    pty.read(13);
    QElapsedTimer lost;
    lost.start();
    pty.close();
    while (!box->text().startsWith(QStringLiteral("Fehler : ")) && lost.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    std::printf("device lost while waiting: \"%s\" after %.1f ms\n", qPrintable(box->text()),
                double(lost.nsecsElapsed()) / 1e6);
    std::printf("CPU after the loss, 5 s: %.3f %%\n", load::cpuSecondsOver(5000) / 5 * 100);

    // The same with no query under way.
    Pty second;
    frm idle(second.path());
    if (startForm(idle, [](const PortError &) {}) != 0)
        return 1;
    auto *idleBox = idle.findChild<QLineEdit *>(QStringLiteral("txt_empfangen"));
    second.close();
    while (!idleBox->text().startsWith(QStringLiteral("Fehler : ")) && lost.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    std::printf("device lost while idle: \"%s\"; CPU after it, 5 s: %.3f %%\n",
                qPrintable(idleBox->text()), load::cpuSecondsOver(5000) / 5 * 100);
    return 0;
}
