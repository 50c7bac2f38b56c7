#include "protocol/cp1252.h"
#include "protocol/frame.h"
#include "sim/pty.h"
#include "ui/frm.h"
#include "ui/startup.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
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
} // namespace

// The exchange driven as a user and a device would: the real window, a pseudo-terminal line.
class tst_Frm : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        pty = std::make_unique<Pty>();
        open(pty->path());
    }
    void cleanup() { form.reset(); }

    void outcome_data();
    void outcome();
    void secondPressStartsOver();
    void dataWhileIdleIsClassified();
    void chunks_data();
    void chunks();
    void hostileCommandIsSentWhole_data();
    void hostileCommandIsSentWhole();
    void floodKeepsTheNewestAndTheNextQueryExact();
    void portLossIsReportedAndThePressReopens_data();
    void portLossIsReportedAndThePressReopens();
    void startupFailureIsReported_data();
    void startupFailureIsReported();

private:
    void open(const QString &port)
    {
        form = std::make_unique<frm>(port);
        QCOMPARE(startForm(*form, [](const PortError &e) { QFAIL(qPrintable(e.text)); }), 0);
        box = form->findChild<QLineEdit *>(QStringLiteral("txt_empfangen"));
        timer = form->findChild<QTimer *>(QStringLiteral("TimerTimeout"));
        link = form->findChild<SerialLink *>(QStringLiteral("MSComm1"));
        QVERIFY(box && timer && link);
    }
    void press()
    {
        QTest::mouseClick(form->findChild<QPushButton *>(QStringLiteral("cmd_abfragen")),
                          Qt::LeftButton);
    }
    // The device sends, and the program has read every character before this returns.
    void device(std::string_view sent)
    {
        std::size_t reads = 0;
        const auto counter = connect(link, &SerialLink::OnComm, this, [&] { ++reads; });
        pty->write(sent);
        QTRY_COMPARE_WITH_TIMEOUT(reads, sent.size(), 20000);
        disconnect(counter);
    }
    QString reply() const { return box->text(); }

    std::unique_ptr<Pty> pty;
    std::unique_ptr<frm> form;
    QLineEdit *box = nullptr;
    QTimer *timer = nullptr;
    SerialLink *link = nullptr;
};

void tst_Frm::outcome_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("shown"); // over what the user typed into the reply box
    QTest::addColumn<bool>("waiting");

    // A query still waiting after the answer ends in the timeout, on the 21st tick.
    QTest::newRow("silence") << QByteArray() << QStringLiteral("von Hand") << true;
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

    // Shown in Windows-1252, NUL and all, and counted by the checksum.
    std::string all;
    for (int b = 0; b < 256; ++b) {
        if (b != Steuerzeichen::ETX && b != Steuerzeichen::ACK && b != Steuerzeichen::NAK)
            all.push_back(char(b));
    }
    // The longest reply fills the buffer to the byte, with its checksum and ETX.
    std::string longest = all;
    while (longest.size() < ReceiveBuffer::kDefaultBound)
        longest += all;
    longest.resize(ReceiveBuffer::kDefaultBound - 3);
    for (const std::string &text : {all, longest}) {
        const std::string reply = text + Funktionen::Pruefsumme(text);
        QTest::addRow("reply of %zu bytes", text.size())
            << qb(reply + Steuerzeichen::ETX) << shown(reply) + QStringLiteral("{ETX}") << false;
    }
}

void tst_Frm::outcome()
{
    QFETCH(QByteArray, answer);
    QFETCH(QString, shown);
    QFETCH(bool, waiting);

    QTest::keyClicks(box, "von Hand");
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
    QVERIFY(!form->waiting());

    press();
    QTRY_COMPARE(reply(), QStringLiteral("Fehler : Timeout"));
    device("\x15");
    QCOMPARE(reply(), QStringLiteral("{NAK}"));
}

void tst_Frm::chunks_data()
{
    QTest::addColumn<QByteArrayList>("reads");
    QTest::addColumn<QString>("shown");
    QTest::newRow("ETX alone closes the frame")
        << QByteArrayList{"OK9A", "\x03"} << QStringLiteral("OK9A{ETX}");
    QTest::newRow("ETX with the last digit") << QByteArrayList{"OK9", "A\x03"} << QString();
    QTest::newRow("two ACKs in one read") << QByteArrayList{"\x06\x06"} << QString();
    QTest::newRow("empty read between")
        << QByteArrayList{"OK9A", "", "\x03"} << QStringLiteral("OK9A{ETX}");
}

// What one read holds decides: a read of several characters never settles an outcome.
void tst_Frm::chunks()
{
    QFETCH(QByteArrayList, reads);
    QFETCH(QString, shown);
    press();
    for (const QByteArray &c : reads)
        form->receive(bytes(c));
    QCOMPARE(reply(), shown);
    QCOMPARE(form->waiting(), shown.isEmpty());
    QCOMPARE(qb(form->receiveBuffer()), reads.join());
}

void tst_Frm::hostileCommandIsSentWhole_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("onTheLine");

    // Past a 16-bit length and sum.
    const QString longText = QStringLiteral("G01K01P00=Ä€").repeated(4000);
    const std::string longBytes = Windows1252::fromUnicode(longText.toStdU16String());
    QTest::newRow("48,000 characters") << longText << qb(longBytes);
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

    const std::string payload = bytes(onTheLine);
    const std::string expected = payload + Funktionen::Pruefsumme(payload) + Steuerzeichen::ETX;
    QVERIFY(pty->read(expected.size(), 20000) == expected);
    device("\x06");
    QCOMPARE(reply(), QStringLiteral("{ACK}"));
}

// Noise nobody asked for, several times the buffer's bound, with the control characters strewn
// in: the buffer keeps the newest characters, and the next query is exact.
void tst_Frm::floodKeepsTheNewestAndTheNextQueryExact()
{
    const std::size_t bound = ReceiveBuffer::kDefaultBound;
    std::string flood(3 * bound + 123, 'x');
    for (std::size_t i = 0; i < flood.size(); ++i)
        flood[i] = i % 211 == 0    ? Steuerzeichen::ETX
                   : i % 997 == 0  ? Steuerzeichen::ACK
                   : i % 1499 == 0 ? Steuerzeichen::NAK
                                   : "ab\xFF\x00.~ 9"[i * 7919 % 8];
    flood.back() = Steuerzeichen::ACK;
    device(flood);

    QVERIFY(form->receiveBuffer() == std::string_view(flood).substr(flood.size() - bound));
    QVERIFY(reply() == shown(std::string_view(flood).substr(flood.size() - 1 - bound, bound)) +
                           QStringLiteral("{ACK}"));
    press();
    QCOMPARE(pty->read(kDefaultFrame.size()), kDefaultFrame);
    QCOMPARE(form->receiveBuffer().size(), std::size_t(0));
    device("OK9A\x03");
    QCOMPARE(reply(), QStringLiteral("OK9A{ETX}"));
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
    // The window opens a name pointed at whichever pseudo-terminal is the device now. Qt locks a
    // port by its name, so the name is this run's own.
    QTemporaryDir dir;
    const QString port = dir.filePath(QStringLiteral("port1"));
    QVERIFY(QFile::link(pty->path(), port));
    open(port);
    QSignalSpy lost(link, &SerialLink::portLost);

    press();
    QCOMPARE(pty->read(kDefaultFrame.size()), kDefaultFrame);
    if (!waiting)
        device("\x06");
    QCOMPARE(form->waiting(), waiting);
    pty->close();
    QTRY_COMPARE(lost.count(), 1);
    QVERIFY2(
        QRegularExpression(QStringLiteral("^Fehler : .+ \\([56]\\)$")).match(reply()).hasMatch(),
        qPrintable(reply()));
    QVERIFY(!form->waiting());
    QVERIFY(!link->portOpen());
    QTest::qWait(50);
    QCOMPARE(lost.count(), 1);

    // Still gone, and so is its name (a freed pseudo-terminal's number may go to anyone).
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
    form.reset();   // init()'s window lets go of the port
    QProcess other; // another program holding the port
    if (!holder.isEmpty() && !holder.startsWith(u'/')) {
        other.start(QStringLiteral(TQ5_PORT_HOLDER), {pty->path()});
        QVERIFY(other.waitForReadyRead(5000) && other.readLine() == "held\n");
    }
    if (holder == u"killed") {
        other.kill();
        QVERIFY(other.waitForFinished(5000));
        pty->clearExclusive();
    }
    frm second(holder.isEmpty()          ? QStringLiteral("/nonexistent/ttyS0")
               : holder.startsWith(u'/') ? holder
                                         : pty->path());
    std::vector<PortError> reported;
    QCOMPARE(startForm(second, [&](const PortError &e) { reported.push_back(e); }), number ? 1 : 0);
    QCOMPARE(second.isVisible(), number == 0);
    other.closeWriteChannel(); // a live holder lets go, and takes its lock with it
    QVERIFY(other.state() == QProcess::NotRunning || other.waitForFinished(5000));
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
