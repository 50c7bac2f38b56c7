#include "protocol/cp1252.h"
#include "protocol/frame.h"
#include "sim/pty.h"
#include "ui/frm.h"
#include "ui/startup.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {
const std::string kDefaultFrame("G01K01P00=41\x03");

QByteArray qb(std::string_view s)
{
    return QByteArray(s.data(), qsizetype(s.size()));
}
std::string bytes(const QByteArray &b)
{
    return std::string(b.constData(), std::size_t(b.size()));
}
QString shown(std::string_view line)
{
    return QString::fromStdU16String(Windows1252::toUnicode(line));
}

// Another program holding a port open; killed, it leaves its lock behind, stale.
struct PortHolder
{
    QProcess process;
    ~PortHolder() { kill(); }
    bool hold(const QString &device)
    {
        process.start(QStringLiteral(TQ5_PORT_HOLDER), {device});
        return process.waitForReadyRead(5000) && process.readLine().trimmed() == "held";
    }
    void kill()
    {
        process.kill();
        process.waitForFinished(5000);
    }
};
} // namespace

// The exchange driven as a user and a device would: the real window, a pseudo-terminal line.
class tst_Frm : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void outcome_data();
    void outcome();
    void secondPressStartsOver();
    void dataWhileIdleIsClassified();
    void chunks_data();
    void chunks();
    void bufferKeepsTheNewestCharacters();
    void hostileCommandIsSentWhole_data();
    void hostileCommandIsSentWhole();
    void everyByteOfAReplyIsShownAndCounted_data();
    void everyByteOfAReplyIsShownAndCounted();
    void floodThenAnExactQuery();
    void portLossIsReportedAndThePressReopens_data();
    void portLossIsReportedAndThePressReopens();
    void startupFailureIsReported_data();
    void startupFailureIsReported();

private:
    void press();
    void device(std::string_view sent);
    QString reply() const { return box->text(); }

    std::unique_ptr<Pty> pty;
    std::unique_ptr<frm> form;
    QLineEdit *box = nullptr;
    QTimer *timer = nullptr;
};

void tst_Frm::init()
{
    pty = std::make_unique<Pty>();
    QVERIFY(pty->isValid());
    form = std::make_unique<frm>(pty->path());
    QCOMPARE(startForm(*form, [](const PortError &e) { QFAIL(qPrintable(e.text)); }), 0);
    box = form->findChild<QLineEdit *>(QStringLiteral("txt_empfangen"));
    timer = form->findChild<QTimer *>(QStringLiteral("TimerTimeout"));
    QVERIFY(box && timer);
}

void tst_Frm::cleanup()
{
    form.reset();
    pty.reset();
}

void tst_Frm::press()
{
    QTest::mouseClick(form->findChild<QPushButton *>(QStringLiteral("cmd_abfragen")),
                      Qt::LeftButton);
}

// The device sends, and the program has read every character before this returns.
void tst_Frm::device(std::string_view sent)
{
    std::size_t reads = 0;
    auto *link = form->findChild<SerialLink *>(QStringLiteral("MSComm1"));
    const auto counter = connect(link, &SerialLink::OnComm, this, [&] { ++reads; });
    pty->write(sent);
    QTRY_COMPARE_WITH_TIMEOUT(reads, sent.size(), 60000);
    disconnect(counter);
}

void tst_Frm::outcome_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<bool>("waiting");

    // A query still waiting after the answer ends in the timeout, on the 21st tick.
    QTest::newRow("silence") << QByteArray() << QString() << true;
    QTest::newRow("ACK") << QByteArray("\x06") << QStringLiteral("{ACK}") << false;
    QTest::newRow("NAK") << QByteArray("\x15") << QStringLiteral("{NAK}") << false;
    QTest::newRow("good reply") << QByteArray("OK9A\x03") << QStringLiteral("OK9A{ETX}") << false;
    QTest::newRow("lowercase checksum")
        << QByteArray("OK9a\x03") << QStringLiteral("Prüfsummenfehler") << true;
    QTest::newRow("bare ETX") << QByteArray("\x03") << QStringLiteral("Prüfsummenfehler") << true;
    QTest::newRow("ACK then reply: ACK enters the payload")
        << QByteArray("\x06OK9A\x03") << QStringLiteral("Prüfsummenfehler") << false;
    QTest::newRow("bad reply, good reply, ACK")
        << QByteArray("OK9B\x03OK9A\x03\x06") << QStringLiteral("OK9B\x03OK9A\x03{ACK}") << false;
    QTest::newRow("echoed command")
        << qb(kDefaultFrame) << QStringLiteral("G01K01P00=41{ETX}") << false;
}

void tst_Frm::outcome()
{
    QFETCH(QByteArray, answer);
    QFETCH(QString, shown);
    QFETCH(bool, waiting);

    QSignalSpy ticks(timer, &QTimer::timeout);
    press();
    QCOMPARE(pty->read(kDefaultFrame.size()), kDefaultFrame);
    device(bytes(answer));
    QCOMPARE(reply(), shown);
    QCOMPARE(form->waiting(), waiting);
    QCOMPARE(qb(form->receiveBuffer()), answer);
    if (waiting) {
        QTRY_COMPARE(reply(), QStringLiteral("Fehler : Timeout"));
        QCOMPARE(ticks.count(), 21);
        QVERIFY(!form->waiting());
        QCOMPARE(qb(form->receiveBuffer()), answer);
    }
}

void tst_Frm::secondPressStartsOver()
{
    box->setText(QStringLiteral("vorher"));
    press();
    device("X");
    QTRY_VERIFY(timer->remainingTime() >= 0);
    QSignalSpy ticks(timer, &QTimer::timeout);
    QTRY_VERIFY(ticks.count() >= 5);
    press();
    QCOMPARE(pty->read(2 * kDefaultFrame.size()), kDefaultFrame + kDefaultFrame);
    QCOMPARE(reply(), QStringLiteral("vorher"));
    QCOMPARE(form->receiveBuffer(), std::string_view());
    ticks.clear();
    QTRY_COMPARE(reply(), QStringLiteral("Fehler : Timeout"));
    QCOMPARE(ticks.count(), 21);
}

void tst_Frm::dataWhileIdleIsClassified()
{
    device("OK9A\x03");
    QCOMPARE(reply(), QStringLiteral("OK9A{ETX}"));
    device("OK9A\x03");
    QCOMPARE(reply(), QStringLiteral("Prüfsummenfehler"));

    press();
    QTRY_COMPARE(reply(), QStringLiteral("Fehler : Timeout"));
    device("\x15");
    QCOMPARE(reply(), QStringLiteral("{NAK}"));
    QVERIFY(!form->waiting());
}

void tst_Frm::chunks_data()
{
    QTest::addColumn<QByteArrayList>("reads");
    QTest::addColumn<QString>("shown");
    QTest::newRow("ETX alone closes the frame")
        << QByteArrayList{"OK9A", "\x03"} << QStringLiteral("OK9A{ETX}");
    QTest::newRow("ETX with the last digit") << QByteArrayList{"OK9", "A\x03"} << QString();
    QTest::newRow("two ACKs in one read") << QByteArrayList{"\x06\x06"} << QString();
    QTest::newRow("empty read") << QByteArrayList{""} << QString();
    QTest::newRow("empty read between")
        << QByteArrayList{"OK9A", "", "\x03"} << QStringLiteral("OK9A{ETX}");
}

void tst_Frm::chunks()
{
    QFETCH(QByteArrayList, reads);
    QFETCH(QString, shown);
    press();
    QByteArray all;
    for (const QByteArray &c : reads) {
        form->receive(bytes(c));
        all += c;
    }
    QCOMPARE(reply(), shown);
    QCOMPARE(form->waiting(), shown.isEmpty());
    QCOMPARE(qb(form->receiveBuffer()), all);
}

void tst_Frm::bufferKeepsTheNewestCharacters()
{
    ReceiveBuffer buffer(8);
    for (char c : std::string_view("abcdefghijklmnopqrstu"))
        buffer.append(std::string(1, c));
    QCOMPARE(qb(buffer.view()), QByteArray("nopqrstu"));
    buffer.append("0123456789");
    QCOMPARE(qb(buffer.view()), QByteArray("23456789"));
    buffer.clear();
    buffer.append("xy");
    QCOMPARE(qb(buffer.view()), QByteArray("xy"));
}

void tst_Frm::hostileCommandIsSentWhole_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("onTheLine");

    QString megabyte;
    megabyte.reserve(1 << 20);
    while (megabyte.size() < (1 << 20))
        megabyte += QStringLiteral("G01K01P00=Ä€");
    megabyte.truncate(1 << 20);
    const std::string bytes = Windows1252::fromUnicode(megabyte.toStdU16String());
    QTest::newRow("1 MB") << megabyte << QByteArray(bytes.data(), qsizetype(bytes.size()));

    QTest::newRow("control characters inside")
        << QString::fromUtf16(u"a\0\x03\x06\x15z", 6) << QByteArray("a\0\x03\x06\x15z", 6);
    QTest::newRow("outside the code page")
        << QString::fromUtf16(u"\U0001F600\xD800x\xDC00\x4E2D\x0080") << QByteArray("??x???");
}

// Whatever the box holds is sent as one frame: not truncated, checksum over every byte.
void tst_Frm::hostileCommandIsSentWhole()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, onTheLine);
    auto *command = form->findChild<QLineEdit *>(QStringLiteral("txt_senden"));
    command->setText(text);
    QCOMPARE(command->text().size(), text.size());
    press();
    QVERIFY(form->waiting());

    const std::string payload(onTheLine.constData(), std::size_t(onTheLine.size()));
    const std::string expected = payload + Funktionen::Pruefsumme(payload) + Steuerzeichen::ETX;
    const std::string sent = pty->read(expected.size(), 60000);
    QCOMPARE(sent.size(), expected.size());
    QVERIFY(sent == expected);

    device("\x06");
    QCOMPARE(reply(), QStringLiteral("{ACK}"));
}

void tst_Frm::everyByteOfAReplyIsShownAndCounted_data()
{
    QTest::addColumn<QByteArray>("text");
    QByteArray all;
    for (int b = 0; b < 256; ++b) {
        if (b != Steuerzeichen::ETX && b != Steuerzeichen::ACK && b != Steuerzeichen::NAK)
            all.append(char(b));
    }
    QTest::newRow("every byte but the three controls") << all;
    // With its checksum and ETX the reply fills the buffer to the byte.
    QByteArray longest;
    while (longest.size() < qsizetype(ReceiveBuffer::kDefaultBound) - 2)
        longest += all;
    longest.truncate(qsizetype(ReceiveBuffer::kDefaultBound) - 2);
    QTest::newRow("as long as the buffer holds") << longest;
}

void tst_Frm::everyByteOfAReplyIsShownAndCounted()
{
    QFETCH(QByteArray, text);
    const std::string payload(text.constData(), std::size_t(text.size()));
    const std::string checksum = Funktionen::Pruefsumme(payload);
    press();
    device(payload + checksum + Steuerzeichen::ETX);
    QCOMPARE(reply().size(), text.size() + 2 + 5);
    QVERIFY(reply() == shown(payload + checksum) + QStringLiteral("{ETX}"));
    QVERIFY(!form->waiting());
}

// 10 MB nobody asked for, with the control characters strewn in, must neither lose the newest
// characters nor spoil the next query.
void tst_Frm::floodThenAnExactQuery()
{
    std::string flood(10 << 20, '\0');
    std::uint32_t noise = 12345;
    for (std::size_t i = 0; i < flood.size(); ++i) {
        noise = noise * 1103515245u + 12345u;
        flood[i] = char(noise >> 24);
        // Only the strewn control characters settle an outcome; each shows the whole buffer.
        if (flood[i] == Steuerzeichen::ETX || flood[i] == Steuerzeichen::ACK ||
            flood[i] == Steuerzeichen::NAK)
            flood[i] = 'x';
        if (i % 1009 == 0)
            flood[i] = Steuerzeichen::ETX;
        else if (i % 50021 == 0)
            flood[i] = Steuerzeichen::ACK;
        else if (i % 50023 == 0)
            flood[i] = Steuerzeichen::NAK;
    }
    flood.back() = Steuerzeichen::ACK;
    device(flood);

    const std::size_t bound = ReceiveBuffer::kDefaultBound;
    QVERIFY(form->receiveBuffer() == std::string_view(flood).substr(flood.size() - bound));
    const std::string_view beforeLast =
        std::string_view(flood).substr(flood.size() - 1 - bound, bound);
    QVERIFY(reply() == shown(beforeLast) + QStringLiteral("{ACK}"));

    press();
    const std::string frame("G01K01P00=41\x03");
    QCOMPARE(pty->read(frame.size()), frame);
    QCOMPARE(form->receiveBuffer().size(), std::size_t(0));
    device("OK9A\x03");
    QCOMPARE(reply(), QStringLiteral("OK9A{ETX}"));
    QVERIFY(!form->waiting());
}

void tst_Frm::portLossIsReportedAndThePressReopens_data()
{
    QTest::addColumn<bool>("waiting");
    QTest::newRow("lost while waiting") << true;
    QTest::newRow("lost while idle") << false;
}

void tst_Frm::portLossIsReportedAndThePressReopens()
{
    QFETCH(bool, waiting);
    // The window opens a name that is pointed at whichever pseudo-terminal is the device now.
    // Qt locks a port by its name, so the name is this run's own.
    QTemporaryDir dir;
    const QString port =
        dir.filePath(QStringLiteral("port1-%1").arg(QCoreApplication::applicationPid()));
    QVERIFY(QFile::link(pty->path(), port));
    form = std::make_unique<frm>(port);
    QVERIFY(!form->Form_Load());
    box = form->findChild<QLineEdit *>(QStringLiteral("txt_empfangen"));
    timer = form->findChild<QTimer *>(QStringLiteral("TimerTimeout"));
    auto *link = form->findChild<SerialLink *>(QStringLiteral("MSComm1"));
    QSignalSpy lost(link, &SerialLink::portLost);

    press();
    QCOMPARE(pty->read(kDefaultFrame.size()), kDefaultFrame);
    if (!waiting)
        device("\x06");
    QCOMPARE(form->waiting(), waiting);
    pty->close();
    QTRY_COMPARE(lost.count(), 1);
    QVERIFY(reply().startsWith(QStringLiteral("Fehler : ")));
    QVERIFY2(reply().endsWith(QStringLiteral(" (5)")) || reply().endsWith(QStringLiteral(" (6)")),
             qPrintable(reply()));
    QVERIFY(!form->waiting());
    QVERIFY(!link->portOpen());
    QTest::qWait(50);
    QCOMPARE(lost.count(), 1);

    // The device is still gone, and so is its name (a freed pseudo-terminal's number may be
    // reused by anyone).
    QVERIFY(QFile::remove(port));
    press();
    QCOMPARE(reply(), QStringLiteral("Fehler : No such file or directory (1)"));
    QVERIFY(!form->waiting());

    pty = std::make_unique<Pty>();
    QVERIFY(QFile::link(pty->path(), port));
    press();
    QCOMPARE(pty->read(kDefaultFrame.size()), kDefaultFrame);
    QVERIFY(form->waiting());
    device("\x06");
    QCOMPARE(reply(), QStringLiteral("{ACK}"));
}

void tst_Frm::startupFailureIsReported_data()
{
    QTest::addColumn<QString>("holder");
    QTest::addColumn<int>("number");
    QTest::newRow("missing") << QString() << int(QSerialPort::DeviceNotFoundError);
    QTest::newRow("not a terminal") << "/dev/null" << int(QSerialPort::UnsupportedOperationError);
    QTest::newRow("held by another program") << "live" << int(QSerialPort::PermissionError);
    // A program that died holding the port leaves its lock behind: not a refusal.
    QTest::newRow("lock of a killed program") << "killed" << 0;
}

void tst_Frm::startupFailureIsReported()
{
    QFETCH(QString, holder);
    QFETCH(int, number);
    form.reset(); // init()'s window lets go of the port
    PortHolder other;
    if (holder == u"live" || holder == u"killed")
        QVERIFY(other.hold(pty->path()));
    if (holder == u"killed")
        other.kill();
    frm second(holder.isEmpty()          ? QStringLiteral("/nonexistent/ttyS0")
               : holder.startsWith(u'/') ? holder
                                         : pty->path());
    std::vector<PortError> reported;
    QCOMPARE(startForm(second, [&](const PortError &e) { reported.push_back(e); }), number ? 1 : 0);
    QCOMPARE(second.isVisible(), number == 0);
    if (number == 0) {
        QVERIFY(reported.empty());
        second.cmd_abfragen_Click();
        QCOMPARE(pty->read(kDefaultFrame.size()), kDefaultFrame);
        return;
    }
    QCOMPARE(reported.size(), std::size_t(1));
    QCOMPARE(reported[0].number, number);
    QVERIFY(!reported[0].text.isEmpty());
}

QTEST_MAIN(tst_Frm)
#include "tst_frm.moc"
