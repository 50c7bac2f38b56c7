// SPDX-License-Identifier: MIT
// Fuzzes the query window: random reads (one and several characters at a time, and real bytes
// through a pseudo-terminal), presses with random command texts, timer ticks, the device lost and
// back. Every step is checked against a reference model of the exchange.

#include "protocol/cp1252.h"
#include "protocol/frame.h"
#include "sim/pty.h"
#include "ui/frm.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QString>
#include <QTimer>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unistd.h>

// A reference model of the exchange, written apart from the window's code; the checksum and the
// frame check are the protocol's own, tested on their own.
namespace model {

inline constexpr std::size_t kBound = ReceiveBuffer::kDefaultBound;
inline constexpr char kEtx = 0x03, kAck = 0x06, kNak = 0x15;

// The exchange as the user and the device see it: buffer, countdown, timer, reply box.
struct Exchange
{
    std::string buffer;
    int countdown = 0;
    bool waiting = false;
    QString box;

    void receive(std::string_view c)
    {
        const auto settle = [&](const char *marker) {
            box = QString::fromStdU16String(Windows1252::toUnicode(buffer)) + marker;
            waiting = false;
        };
        if (c == std::string_view(&kEtx, 1) && frameIsGood(buffer))
            settle("{ETX}");
        else if (c == std::string_view(&kEtx, 1))
            box = QStringLiteral("Prüfsummenfehler");
        else if (c == std::string_view(&kAck, 1))
            settle("{ACK}");
        else if (c == std::string_view(&kNak, 1))
            settle("{NAK}");
        buffer.append(c);
        if (buffer.size() > kBound)
            buffer.erase(0, buffer.size() - kBound);
    }
    // A press whose frame went out; a press that met a closed port shows a port error instead.
    void press(bool sent, const QString &shown)
    {
        buffer.clear();
        countdown = 20;
        waiting = sent;
        if (!sent)
            box = shown;
    }
    void tick()
    {
        if (countdown-- > 0)
            return;
        box = QStringLiteral("Fehler : Timeout");
        waiting = false;
    }
};

// "Fehler : <text> (<number>)", how a port failure shows in the reply box.
inline bool isPortError(const QString &text)
{
    return text.startsWith(QStringLiteral("Fehler : ")) && text.endsWith(u')') &&
           text != QStringLiteral("Fehler : Timeout");
}

} // namespace model

// Reads of several characters at once, which the line alone would rarely make.
struct FuzzReads
{
    static void receive(frm &form, const std::string &c) { form.receive(c); }
};

namespace {

QApplication *app = nullptr;
QString port; // a name pointed at whichever pseudo-terminal is the device now
std::unique_ptr<Pty> device;

[[noreturn]] void fail(const char *what, const QString &detail = {})
{
    std::fprintf(stderr, "INVARIANT BROKEN: %s %s\n", what, qPrintable(detail.left(200)));
    QFile::remove(port); // abort() skips the clean-up at exit
    std::abort();
}

// Runs the event loop until `done` or five seconds have passed.
template <typename Done> bool spin(Done done)
{
    QDeadlineTimer deadline(5000);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    return done();
}

void plugIn()
{
    device = std::make_unique<Pty>();
    QFile::remove(port);
    if (!device->isValid() || !QFile::link(device->path(), port))
        fail("no pseudo-terminal", port);
}

// Printable ASCII, Latin-1 with controls and NUL, any UTF-16 unit (lone surrogates too), and
// characters beyond 16 bits; now and then repeated past the checksum's 16-bit limits.
QString randomText(FuzzedDataProvider &in)
{
    QString text;
    for (int n = in.ConsumeIntegralInRange(0, 24); n > 0; --n) {
        const char32_t v = in.ConsumeIntegral<std::uint16_t>();
        const char32_t picks[] = {0x20 + v % 0x5F, v & 0xFF, v, 0x10000 + v};
        const char32_t c = picks[in.ConsumeIntegralInRange(0, 3)];
        text += c < 0x10000 ? QString(QChar(char16_t(c))) : QString::fromUcs4(&c, 1);
    }
    if (in.ConsumeProbability<float>() < 0.05f)
        text = text.repeated(in.ConsumeIntegralInRange(1, 300));
    return text;
}

// One run: a fresh window on the device, then the steps the input spells out.
class Run
{
public:
    Run() : form(std::make_unique<frm>(port))
    {
        if (form->Form_Load())
            fail("port did not open");
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
            if (!model::isPortError(form->replyText()))
                fail("loss not shown as a port error", form->replyText());
            ex.waiting = false;
            ex.box = form->replyText();
            check("port lost");
        });
    }

    void step(FuzzedDataProvider &in)
    {
        switch (in.ConsumeIntegralInRange(0, 11)) {
        case 0:
            chunk(std::string(1, char(in.ConsumeIntegral<std::uint8_t>())));
            break;
        case 1: // what settles an outcome, or completes a checksum
            chunk(std::string(1, "\x03\x06\x15"
                                 "0123456789ABCDEF"[in.ConsumeIntegralInRange(0, 18)]));
            break;
        case 2:
            chunk(in.ConsumeRandomLengthString(16));
            break;
        case 3: { // past the bound, in reads of several characters
            const std::string pattern = in.ConsumeRandomLengthString(8) + "xy";
            const auto total = in.ConsumeIntegralInRange<std::size_t>(1, 2 * model::kBound);
            std::string c;
            while (c.size() < total)
                c += pattern;
            for (std::size_t i = 0; i < c.size(); i += 4096)
                chunk(c.substr(i, 4096));
            break;
        }
        case 4: { // a good reply, a character at a time
            const std::string text = in.ConsumeRandomLengthString(12);
            for (char c : text + Funktionen::Pruefsumme(text) + model::kEtx)
                chunk(std::string(1, c));
            break;
        }
        case 5:
            throughTheLine(in.ConsumeRandomLengthString(32));
            break;
        case 6:
            press(randomText(in));
            break;
        case 7:
            press(QStringLiteral("G01K01P00="));
            break;
        case 8:
            for (int n = in.ConsumeIntegralInRange(1, 25); n > 0 && form->waiting(); --n) {
                form->TimerTimeout_Timer();
                ex.tick();
                check("tick");
            }
            break;
        case 9:
            loseDevice();
            break;
        case 10:
            if (!device)
                plugIn();
            break;
        default:
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
            break;
        }
    }

private:
    void check(const char *where)
    {
        if (form->receiveBuffer().size() > model::kBound)
            fail("buffer past its bound", QString::number(form->receiveBuffer().size()));
        if (form->receiveBuffer() != ex.buffer)
            fail("buffer differs from the model", QString::fromLatin1(where));
        if (timer->isActive() != ex.waiting || form->waiting() != ex.waiting)
            fail("timer on/off differs from the wait", QString::fromLatin1(where));
        // The box may lag the latest outcome by a frame, never once that frame is over.
        if (form->replyText() != ex.box)
            fail("reply differs from the model",
                 form->replyText() + QStringLiteral(" | ") + ex.box);
        if (!refresh->isActive() && box->text() != ex.box)
            fail("reply box behind with no refresh due",
                 box->text() + QStringLiteral(" | ") + ex.box);
    }

    void chunk(const std::string &c)
    {
        FuzzReads::receive(*form, c);
        ex.receive(c);
        check("chunk");
    }

    // Real bytes through the pseudo-terminal, each read and checked as the window handles it.
    void throughTheLine(const std::string &bytes)
    {
        if (!link->portOpen() || bytes.empty())
            return;
        onLine.insert(onLine.end(), bytes.begin(), bytes.end());
        device->write(bytes);
        if (!spin([this] { return onLine.empty(); }))
            fail("bytes on the line never read");
    }

    void press(const QString &text)
    {
        command->setText(text);
        if (command->text() != text)
            fail("command box changed the text", command->text());
        const bool willSend = link->portOpen() || device;
        form->cmd_abfragen_Click();
        if (!willSend && !model::isPortError(form->replyText()))
            fail("press on a missing port shows no port error", form->replyText());
        ex.press(willSend, form->replyText());
        check("press");
        if (!willSend)
            return;
        const std::string bytes = Windows1252::fromUnicode(text.toStdU16String());
        const std::string expected = buildFrame(bytes);
        if (device->read(expected.size(), 5000) != expected)
            fail("the line carried another frame than text + checksum + ETX", text);
    }

    void loseDevice()
    {
        if (!device)
            return;
        const bool wasOpen = link->portOpen();
        device.reset();
        QFile::remove(port);
        if (wasOpen && !spin([this] { return !link->portOpen(); }))
            fail("loss of the device went unnoticed");
    }

    std::unique_ptr<frm> form;
    QLineEdit *command = form->findChild<QLineEdit *>(QStringLiteral("txt_senden"));
    QLineEdit *box = form->findChild<QLineEdit *>(QStringLiteral("txt_empfangen"));
    QTimer *timer = form->findChild<QTimer *>(QStringLiteral("TimerTimeout"));
    QTimer *refresh = form->findChild<QTimer *>(QStringLiteral("ReplyRefresh"));
    SerialLink *link = form->findChild<SerialLink *>(QStringLiteral("MSComm1"));
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
    app = new QApplication(argc, argv);
    // Qt locks a port by its name: one of our own, so parallel runs never collide.
    port = QDir::temp().filePath(QStringLiteral("tq5fuzz-%1").arg(getpid()));
    plugIn();
    std::atexit([] { QFile::remove(port); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (!device)
        plugIn();
    FuzzedDataProvider in(data, size);
    Run run;
    while (in.remaining_bytes() > 0)
        run.step(in);
    return 0;
}
