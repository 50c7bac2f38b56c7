#include "protocol/cp1252.h"
#include "protocol/frame.h"
#include "tests/pty.h"
#include "ui/frm.h"
#include "ui/startup.h"

#include <QTest>

#include <memory>

namespace {
std::string line(const QString &text)
{
    return Windows1252::fromUnicode(text.toStdU16String());
}
QString shown(std::string_view bytes)
{
    return QString::fromStdU16String(Windows1252::toUnicode(bytes));
}
} // namespace

// Hostile lines and hostile input: floods, every byte value, texts far longer than a command.
class tst_Robustness : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void hostileCommandIsSentWhole_data();
    void hostileCommandIsSentWhole();
    void everyByteOfAReplyIsShownAndCounted_data();
    void everyByteOfAReplyIsShownAndCounted();
    void floodThenAnExactQuery();

private:
    void press() { form->cmd_abfragen_Click(); }
    void device(std::string_view sent);
    QString reply() const { return box->text(); }

    std::unique_ptr<Pty> pty;
    std::unique_ptr<frm> form;
    QLineEdit *command = nullptr;
    QLineEdit *box = nullptr;
};

void tst_Robustness::init()
{
    pty = std::make_unique<Pty>();
    QVERIFY(pty->isValid());
    form = std::make_unique<frm>(pty->path());
    QCOMPARE(startForm(*form, [](const PortError &e) { QFAIL(qPrintable(e.text)); }), 0);
    command = form->findChild<QLineEdit *>(QStringLiteral("txt_senden"));
    box = form->findChild<QLineEdit *>(QStringLiteral("txt_empfangen"));
    QVERIFY(command && box);
}

void tst_Robustness::cleanup()
{
    form.reset();
    pty.reset();
}

// The device sends; every character has been read when this returns, even past the bound.
void tst_Robustness::device(std::string_view sent)
{
    std::size_t reads = 0;
    auto *link = form->findChild<SerialLink *>(QStringLiteral("MSComm1"));
    const auto counter = connect(link, &SerialLink::OnComm, this, [&] { ++reads; });
    pty->write(sent);
    QTRY_COMPARE_WITH_TIMEOUT(reads, sent.size(), 60000);
    disconnect(counter);
}

void tst_Robustness::hostileCommandIsSentWhole_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("onTheLine");

    QString megabyte;
    megabyte.reserve(1 << 20);
    while (megabyte.size() < (1 << 20))
        megabyte += QStringLiteral("G01K01P00=Ä€");
    megabyte.truncate(1 << 20);
    const std::string bytes = line(megabyte);
    QTest::newRow("1 MB") << megabyte << QByteArray(bytes.data(), qsizetype(bytes.size()));

    QTest::newRow("control characters inside")
        << QString::fromUtf16(u"a\0\x03\x06\x15z", 6) << QByteArray("a\0\x03\x06\x15z", 6);
    QTest::newRow("outside the code page")
        << QString::fromUtf16(u"\U0001F600\xD800x\xDC00\x4E2D\x0080") << QByteArray("??x???");
    QString latin1;
    for (char16_t c = 0xA0; c <= 0xFF; ++c)
        latin1.append(QChar(c));
    QByteArray latin1Bytes;
    for (int b = 0xA0; b <= 0xFF; ++b)
        latin1Bytes.append(char(b));
    QTest::newRow("upper half of Latin-1") << latin1 << latin1Bytes;
}

// Whatever the box holds is sent as one frame: not truncated, checksum over every byte.
void tst_Robustness::hostileCommandIsSentWhole()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, onTheLine);
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

void tst_Robustness::everyByteOfAReplyIsShownAndCounted_data()
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

void tst_Robustness::everyByteOfAReplyIsShownAndCounted()
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
void tst_Robustness::floodThenAnExactQuery()
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

QTEST_MAIN(tst_Robustness)
#include "tst_robustness.moc"
