// SPDX-License-Identifier: MIT
#include "protocol/cp1252.h"
#include "protocol/frame.h"

#include <QTest>

#include <numeric>

namespace {
std::string_view sv(const QByteArray &b)
{
    return {b.constData(), std::size_t(b.size())};
}
QByteArray qb(const std::string &s)
{
    return QByteArray(s.data(), qsizetype(s.size()));
}
} // namespace

class tst_Protocol : public QObject
{
    Q_OBJECT

private slots:
    void checksumAndFrame_data();
    void checksumAndFrame();
    void mapping_data();
    void mapping();
};

void tst_Protocol::checksumAndFrame_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("checksum");
    QTest::newRow("default command") << QByteArray("G01K01P00=") << QByteArray("41");
    QTest::newRow("empty") << QByteArray() << QByteArray("00");
    QTest::newRow("OK") << QByteArray("OK") << QByteArray("9A");
    QTest::newRow("sum 10 padded left") << QByteArray("\n") << QByteArray("0A");
    QTest::newRow("sum 256") << QByteArray(2, '\x80') << QByteArray("00");
    QTest::newRow("sum 4095") << QByteArray(16, '\xFF') + '\x0F' << QByteArray("FF");
    QTest::newRow("an ACK before the reply is payload") << QByteArray("\x06OK") << QByteArray("A0");
    QTest::newRow("taken verbatim, NUL and all") << QByteArray(" O\0K\x03 ", 6) << QByteArray("DD");
    // Past a 16-bit sum or length the result is still the sum modulo 256.
    QTest::newRow("129 x 0xFF") << QByteArray(129, '\xFF') << QByteArray("7F");
    QTest::newRow("505 x A") << QByteArray(505, 'A') << QByteArray("39");
    QTest::newRow("40000 x A") << QByteArray(40000, 'A') << QByteArray("40");
}

// The checksum, the frame built with it, and the check of a received frame against it.
void tst_Protocol::checksumAndFrame()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, checksum);
    QCOMPARE(qb(Funktionen::Pruefsumme(sv(text))), checksum);
    QCOMPARE(qb(buildFrame(sv(text))), text + checksum + '\x03');
    QVERIFY(frameIsGood(sv(text + checksum)));
    // Lowercase digits fail the exact comparison; digits without letters read the same.
    QCOMPARE(frameIsGood(sv(text + checksum.toLower())), checksum == checksum.toLower());
    QVERIFY(!frameIsGood(sv(text + checksum.left(1) + 'G')));
}

void tst_Protocol::mapping_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("roundTrips");
    QTest::newRow("code page characters")
        << QStringLiteral("Ä€‚ƒ„…ŠœžŸ") << QByteArray("\xC4\x80\x82\x83\x84\x85\x8A\x9C\x9E\x9F")
        << true;
    QTest::newRow("undefined byte") << QString(QChar(0x8D)) << QByteArray("\x8D") << true;
    // A C1 control, a surrogate pair (one character) and a lone surrogate are outside it too.
    QTest::newRow("outside the code page")
        << QString::fromUtf16(u"aΩ\x80😀\xD800" u"b") << QByteArray("a????b") << false;
    QByteArray all(256, '\0');
    std::iota(all.begin(), all.end(), '\0');
    QTest::newRow("every byte round-trips")
        << QString::fromStdU16String(Windows1252::toUnicode(sv(all))) << all << true;
}

void tst_Protocol::mapping()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QFETCH(bool, roundTrips);
    QCOMPARE(qb(Windows1252::fromUnicode(text.toStdU16String())), bytes);
    if (roundTrips)
        QCOMPARE(QString::fromStdU16String(Windows1252::toUnicode(sv(bytes))), text);
}

QTEST_APPLESS_MAIN(tst_Protocol)
#include "tst_protocol.moc"
