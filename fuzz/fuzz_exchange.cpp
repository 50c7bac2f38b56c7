// Fuzzes the query window: random reads (one and several characters at a time, and real bytes
// through a pseudo-terminal), presses with random command texts, timer ticks, the device lost and
// back. Every step is checked against a reference model of the exchange.

#include "fuzz/exchange_model.h"
#include "sim/pty.h"
#include "ui/frm.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTimer>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const char *what, const QString &detail = {})
{
    std::fprintf(stderr, "INVARIANT BROKEN: %s %s\n", what, qPrintable(detail.left(200)));
    std::abort();
}

struct Harness
{
    std::unique_ptr<QApplication> app;
    QString port; // a name pointed at whichever pseudo-terminal is the device now
    std::unique_ptr<Pty> device;

    void plugIn()
    {
        device = std::make_unique<Pty>();
        if (!device->isValid())
            fail("no pseudo-terminal");
        QFile::remove(port);
        if (!QFile::link(device->path(), port))
            fail("cannot link", port);
    }
    void unplug()
    {
        device->close();
        device.reset();
        QFile::remove(port);
    }
};

Harness *harness = nullptr;

QString randomText(FuzzedDataProvider &in)
{
    QString text;
    const int n = in.ConsumeIntegralInRange(0, 24);
    for (int i = 0; i < n; ++i) {
        const auto pick = in.ConsumeIntegralInRange(0, 5);
        const auto v = in.ConsumeIntegral<std::uint16_t>();
        switch (pick) {
        case 0:
            text.append(QChar(char16_t(0x20 + v % 0x5F)));
            break; // printable ASCII
        case 1:
            text.append(QChar(char16_t(v & 0xFF)));
            break; // Latin-1, controls, NUL
        case 2:    // the code page's extras
            text.append(QString::fromStdU16String(
                Windows1252::toUnicode(std::string(1, char(0x80 + v % 32)))));
            break;
        case 3:
            text.append(QChar(char16_t(v)));
            break; // anything, lone surrogates included
        case 4:
            text.append(QString::fromUcs4(std::u32string(1, 0x10000 + v).data(), 1));
            break;
        default:
            text.append(QChar(char16_t(0x100 + v % 0x2F00)));
            break; // outside the code page
        }
    }
    if (in.ConsumeProbability<float>() < 0.05f)
        text = text.repeated(in.ConsumeIntegralInRange(1, 300));
    return text;
}

// One run: a fresh window on the device, then the steps the input spells out.
class Run
{
public:
    Run() : form(std::make_unique<frm>(harness->port))
    {
        if (form->Form_Load())
            fail("port did not open");
        command = form->findChild<QLineEdit *>(QStringLiteral("txt_senden"));
        box = form->findChild<QLineEdit *>(QStringLiteral("txt_empfangen"));
        timer = form->findChild<QTimer *>(QStringLiteral("TimerTimeout"));
        link = form->findChild<SerialLink *>(QStringLiteral("MSComm1"));
        if (!command || !box || !timer || !link)
            fail("controls missing");
        // Connected after the window's own handlers, so these see each event once it is handled.
        QObject::connect(timer, &QTimer::timeout, form.get(), [this] {
            if (!ex.waiting)
                fail("tick while idle");
            ex.tick();
            check("real tick");
        });
        QObject::connect(link, &SerialLink::OnComm, form.get(), [this] {
            if (onLine.empty())
                fail("a read nobody sent");
            ex.receive(std::string(1, onLine.front()));
            onLine.pop_front();
            check("read from the line");
        });
        QObject::connect(link, &SerialLink::portLost, form.get(), [this] {
            if (!model::isPortError(box->text()))
                fail("loss not shown as a port error", box->text());
            ex.portError(box->text());
            check("port lost");
        });
    }

    void step(FuzzedDataProvider &in)
    {
        switch (in.ConsumeIntegralInRange(0, 23)) {
        case 0:
        case 1:
        case 2:
            oneCharacter(char(in.ConsumeIntegral<std::uint8_t>()));
            break;
        case 3:
        case 4:
        case 5:
            oneCharacter("\x03\x06\x15"
                         "0123456789ABCDEF"[in.ConsumeIntegralInRange(0, 18)]);
            break;
        case 6:
        case 7:
            chunk(in.ConsumeRandomLengthString(16));
            break;
        case 8:
            flood(in);
            break;
        case 9:
        case 10:
            goodReply(in);
            break;
        case 11:
        case 12:
            throughTheLine(in.ConsumeRandomLengthString(32));
            break;
        case 13:
        case 14:
        case 15:
            press(randomText(in));
            break;
        case 16:
            press(QStringLiteral("G01K01P00="));
            break;
        case 17:
        case 18:
        case 19:
            ticks(in.ConsumeIntegralInRange(1, 25));
            break;
        case 20:
            loseDevice();
            break;
        case 21:
            if (!harness->device)
                harness->plugIn();
            break;
        default:
            settle();
            break;
        }
    }

private:
    void check(const char *where)
    {
        const QString shown = box->text();
        if (form->receiveBuffer().size() > model::kBound)
            fail("buffer past its bound", QString::number(form->receiveBuffer().size()));
        if (form->receiveBuffer() != ex.buffer)
            fail("buffer differs from the model", QString::fromLatin1(where));
        if (timer->isActive() != ex.waiting || form->waiting() != ex.waiting)
            fail("timer on/off differs from the wait", QString::fromLatin1(where));
        if (!model::isOutcomeForm(shown))
            fail("reply box shows no outcome form", shown);
        if (shown != ex.box)
            fail("reply box differs from the model", shown + QStringLiteral(" | ") + ex.box);
    }

    void chunk(const std::string &c)
    {
        form->receive(c);
        ex.receive(c);
        check("chunk");
    }
    void oneCharacter(char c) { chunk(std::string(1, c)); }

    // Enough traffic to reach the bound, in reads of several characters.
    void flood(FuzzedDataProvider &in)
    {
        const std::string pattern = in.ConsumeRandomLengthString(8) + "xy";
        const std::size_t total = in.ConsumeIntegralInRange<std::size_t>(1, 2 * model::kBound);
        std::string c;
        while (c.size() < total)
            c += pattern;
        for (std::size_t i = 0; i < c.size(); i += 4096)
            chunk(c.substr(i, 4096));
    }

    void goodReply(FuzzedDataProvider &in)
    {
        const std::string text = in.ConsumeRandomLengthString(12);
        for (char c : text + model::checksum(text) + model::kEtx)
            oneCharacter(c);
    }

    // Real bytes through the pseudo-terminal, each read and checked as the window handles it.
    void throughTheLine(const std::string &bytes)
    {
        if (!link->portOpen() || bytes.empty())
            return;
        onLine.insert(onLine.end(), bytes.begin(), bytes.end());
        harness->device->write(bytes);
        QDeadlineTimer deadline(5000);
        while (!onLine.empty() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        if (!onLine.empty())
            fail("bytes on the line never read");
    }

    void press(const QString &text)
    {
        command->setText(text);
        if (command->text() != text)
            fail("command box changed the text", command->text());
        const bool willSend = link->portOpen() || harness->device;
        form->cmd_abfragen_Click();
        if (!willSend) {
            if (!model::isPortError(box->text()))
                fail("press on a missing port shows no port error", box->text());
            ex.buffer.clear();
            ex.portError(box->text());
            check("press, port missing");
            return;
        }
        ex.pressSent();
        check("press");
        const std::string textBytes = model::lineBytes(text);
        const std::string expected = textBytes + model::checksum(textBytes) + model::kEtx;
        const std::string sent = harness->device->read(expected.size(), 5000);
        if (sent.size() < 3 || sent.back() != model::kEtx ||
            !model::goodFrame(std::string_view(sent).substr(0, sent.size() - 1)))
            fail("the line carried no text + checksum + ETX");
        if (sent != expected)
            fail("the line carried another frame", text);
    }

    void ticks(int n)
    {
        for (int i = 0; i < n && form->waiting(); ++i) {
            form->TimerTimeout_Timer();
            ex.tick();
            check("tick");
        }
    }

    void loseDevice()
    {
        if (!harness->device)
            return;
        const bool wasOpen = link->portOpen();
        harness->unplug();
        if (!wasOpen)
            return;
        QDeadlineTimer deadline(5000);
        while (link->portOpen() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        if (link->portOpen())
            fail("loss of the device went unnoticed");
    }

    void settle() { QCoreApplication::processEvents(QEventLoop::AllEvents, 1); }

    std::unique_ptr<frm> form;
    QLineEdit *command = nullptr;
    QLineEdit *box = nullptr;
    QTimer *timer = nullptr;
    SerialLink *link = nullptr;
    model::Exchange ex;
    std::deque<char> onLine; // sent by the device, not yet read by the window
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        qputenv("XDG_RUNTIME_DIR", QDir::tempPath().toLocal8Bit());
    // Font fallback for exotic scripts talks a lot and says nothing about the exchange.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &msg) {
        if (type == QtFatalMsg)
            fail("Qt fatal", msg);
    });
    static int argc = 1;
    static char name[] = "fuzz_exchange";
    static char *argv[] = {name, nullptr};
    harness = new Harness;
    harness->app = std::make_unique<QApplication>(argc, argv);
    // Qt locks a port by its name: one of our own, so parallel test runs never collide.
    harness->port = QDir::temp().filePath(QStringLiteral("tq5fuzz-%1").arg(getpid()));
    harness->plugIn();
    std::atexit([] { QFile::remove(harness->port); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (!harness->device)
        harness->plugIn();
    FuzzedDataProvider in(data, size);
    Run run;
    while (in.remaining_bytes() > 0)
        run.step(in);
    return 0;
}
