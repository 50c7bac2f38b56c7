#include "tests/port_holder.h"
#include "tests/pty.h"
#include "ui/frm.h"
#include "ui/startup.h"

#include <QDir>
#include <QFile>
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
    void timeoutOnTheTwentyFirstTick_data();
    void timeoutOnTheTwentyFirstTick();
    void secondPressStartsOver();
    void dataWhileIdleIsClassified();
    void commandTextIsSentInTheCodePage();
    void chunks_data();
    void chunks();
    void bufferKeepsTheNewestCharacters();
    void portLossIsReportedAndThePressReopens_data();
    void portLossIsReportedAndThePressReopens();
    void startupFailureIsReported_data();
    void startupFailureIsReported();
    void lockOfAKilledProgramIsStale();

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
    const std::size_t expected = form->receiveBuffer().size() + sent.size();
    pty->write(sent);
    QTRY_COMPARE(form->receiveBuffer().size(), expected);
}

void tst_Frm::outcome_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<bool>("waiting");

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
    QTest::newRow("NUL counted, not truncated")
        << QByteArray("O\0K9A\x03", 6) << QString::fromUtf16(u"O\0K9A{ETX}", 10) << false;
    QTest::newRow("high bytes shown in the code page") << QByteArray("\xC4\x80"
                                                                     "44\x03")
                                                       << QStringLiteral("Ä€44{ETX}") << false;
    QTest::newRow("control characters shown as they are") << QByteArray("\x01\x02"
                                                                        "03\x03")
                                                          << QStringLiteral("\x01\x02"
                                                                            "03{ETX}")
                                                          << false;
    QTest::newRow("echoed command")
        << qb(kDefaultFrame) << QStringLiteral("G01K01P00=41{ETX}") << false;
}

void tst_Frm::outcome()
{
    QFETCH(QByteArray, answer);
    QFETCH(QString, shown);
    QFETCH(bool, waiting);

    press();
    QCOMPARE(pty->read(kDefaultFrame.size()), kDefaultFrame);
    device(bytes(answer));
    QCOMPARE(reply(), shown);
    QCOMPARE(form->waiting(), waiting);
    QCOMPARE(qb(form->receiveBuffer()), answer);
}

void tst_Frm::timeoutOnTheTwentyFirstTick_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::newRow("silence") << QByteArray();
    QTest::newRow("bad reply does not stop the countdown") << QByteArray("OK9B\x03");
}

void tst_Frm::timeoutOnTheTwentyFirstTick()
{
    QFETCH(QByteArray, answer);
    QSignalSpy ticks(timer, &QTimer::timeout);
    press();
    QCOMPARE(pty->read(kDefaultFrame.size()), kDefaultFrame);
    if (!answer.isEmpty()) {
        device(bytes(answer));
        QCOMPARE(reply(), QStringLiteral("Prüfsummenfehler"));
    }
    QTRY_COMPARE(reply(), QStringLiteral("Fehler : Timeout"));
    QCOMPARE(ticks.count(), 21);
    QVERIFY(!form->waiting());
    QCOMPARE(qb(form->receiveBuffer()), answer);
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

void tst_Frm::commandTextIsSentInTheCodePage()
{
    auto *command = form->findChild<QLineEdit *>(QStringLiteral("txt_senden"));
    command->setText(QStringLiteral("Ä€Ω"));
    press();
    const std::string expected("\xC4\x80?83\x03");
    QCOMPARE(pty->read(expected.size()), expected);
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

    // A flood past the bound, then a query whose traffic fits it: exact as ever.
    std::string flood(200'000, 'Z');
    for (std::size_t i = 0; i < flood.size(); i += 97)
        flood[i] = "\x03\x06\x15"[i % 3];
    for (std::size_t i = 0; i < flood.size(); i += 4096)
        form->receive(flood.substr(i, 4096));
    QCOMPARE(form->receiveBuffer().size(), ReceiveBuffer::kDefaultBound);
    press();
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
    QTest::addColumn<bool>("busy");
    QTest::addColumn<int>("number");
    QTest::newRow("missing") << false << int(QSerialPort::DeviceNotFoundError);
    QTest::newRow("held by another program") << true << int(QSerialPort::PermissionError);
}

void tst_Frm::startupFailureIsReported()
{
    QFETCH(bool, busy);
    QFETCH(int, number);
    form.reset(); // init()'s window lets go of the port
    PortHolder other;
    if (busy)
        QVERIFY(other.hold(pty->path()));
    frm second(busy ? pty->path() : QStringLiteral("/nonexistent/ttyS0"));
    std::vector<PortError> reported;
    QCOMPARE(startForm(second, [&](const PortError &e) { reported.push_back(e); }), 1);
    QCOMPARE(reported.size(), std::size_t(1));
    QCOMPARE(reported[0].number, number);
    QVERIFY(!reported[0].text.isEmpty());
    QVERIFY(!second.isVisible());
}

// A program that died holding the port leaves its lock behind; the next start is not refused.
void tst_Frm::lockOfAKilledProgramIsStale()
{
    form.reset();
    PortHolder other;
    QVERIFY(other.hold(pty->path()));
    other.kill();
    frm next(pty->path());
    QCOMPARE(startForm(next, [](const PortError &e) { QFAIL(qPrintable(e.text)); }), 0);
    next.cmd_abfragen_Click();
    QCOMPARE(pty->read(kDefaultFrame.size()), kDefaultFrame);
}

QTEST_MAIN(tst_Frm)
#include "tst_frm.moc"
