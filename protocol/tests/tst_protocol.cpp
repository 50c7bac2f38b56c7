#include "protocol/cp1252.h"
#include "protocol/frame.h"

#include <QTest>

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
    void checksum_data();
    void checksum();
    void frame_data();
    void frame();
    void frameCheck_data();
    void frameCheck();
    void encode_data();
    void encode();
    void decode_data();
    void decode();
    void everyByteRoundTrips();
};

void tst_Protocol::checksum_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("default command") << QByteArray("G01K01P00=") << QByteArray("41");
    QTest::newRow("empty") << QByteArray() << QByteArray("00");
    QTest::newRow("OK") << QByteArray("OK") << QByteArray("9A");
    QTest::newRow("sum 10 padded left") << QByteArray("\n") << QByteArray("0A");
    QTest::newRow("sum 256") << QByteArray(2, '\x80') << QByteArray("00");
    QTest::newRow("sum 512") << QByteArray(4, '\x80') << QByteArray("00");
    QTest::newRow("sum 4095") << QByteArray(16, '\xFF') + '\x0F' << QByteArray("FF");
    QTest::newRow("NUL counts as a character") << QByteArray("O\0K", 3) << QByteArray("9A");
    // Past a 16-bit sum or length the result is still the sum modulo 256.
    QTest::newRow("129 x 0xFF") << QByteArray(129, '\xFF') << QByteArray("7F");
    QTest::newRow("505 x A") << QByteArray(505, 'A') << QByteArray("39");
    QTest::newRow("40000 x A") << QByteArray(40000, 'A') << QByteArray("40");
}

void tst_Protocol::checksum()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, expected);
    QCOMPARE(qb(Funktionen::Pruefsumme(sv(text))), expected);
}

void tst_Protocol::frame_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("default command")
        << QByteArray("G01K01P00=") << QByteArray::fromHex("4730314B30315030303D343103");
    QTest::newRow("empty") << QByteArray() << QByteArray::fromHex("303003");
    QTest::newRow("OK") << QByteArray("OK") << QByteArray::fromHex("4F4B394103");
    QTest::newRow("taken verbatim") << QByteArray(" a\x03 ") << QByteArray(" a\x03 A4\x03");
}

void tst_Protocol::frame()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(qb(buildFrame(sv(text))), bytes);
}

void tst_Protocol::frameCheck_data()
{
    QTest::addColumn<QByteArray>("beforeEtx");
    QTest::addColumn<bool>("good");
    QTest::newRow("good reply") << QByteArray("OK9A") << true;
    QTest::newRow("empty payload") << QByteArray("00") << true;
    QTest::newRow("lowercase digits") << QByteArray("OK9a") << false;
    QTest::newRow("wrong digits") << QByteArray("OK9B") << false;
    QTest::newRow("nothing buffered") << QByteArray() << false;
    QTest::newRow("one character") << QByteArray("0") << false;
    QTest::newRow("earlier ACK is payload") << QByteArray("\x06OK9A") << false;
    QTest::newRow("earlier ACK summed") << QByteArray("\x06OKA0") << true;
    QTest::newRow("NUL inside") << QByteArray("O\0K9A", 5) << true;
}

void tst_Protocol::frameCheck()
{
    QFETCH(QByteArray, beforeEtx);
    QFETCH(bool, good);
    QCOMPARE(frameIsGood(sv(beforeEtx)), good);
}

void tst_Protocol::encode_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("ASCII") << QStringLiteral("G01K01P00=") << QByteArray("G01K01P00=");
    QTest::newRow("umlaut and euro") << QStringLiteral("Ä€") << QByteArray("\xC4\x80");
    QTest::newRow("table characters") << QStringLiteral("‚ƒ„…Šœž") << QByteArray("\x82\x83\x84\x85\x8A\x9C\x9E");
    QTest::newRow("outside the code page") << QStringLiteral("aΩb") << QByteArray("a?b");
    QTest::newRow("C1 control not in the code page") << QString(QChar(0x80)) << QByteArray("?");
    QTest::newRow("undefined byte's code point") << QString(QChar(0x81)) << QByteArray("\x81");
    QTest::newRow("surrogate pair is one character") << QStringLiteral("x😀y") << QByteArray("x?y");
    QTest::newRow("lone surrogate") << QString(QChar(0xD800)) << QByteArray("?");
}

void tst_Protocol::encode()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(qb(Windows1252::fromUnicode(text.toStdU16String())), bytes);
}

void tst_Protocol::decode_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("euro") << QByteArray("\x80") << QStringLiteral("€");
    QTest::newRow("last table entry") << QByteArray("\x9F") << QStringLiteral("Ÿ");
    QTest::newRow("Latin-1 half") << QByteArray("\xC4\xFF") << QStringLiteral("Äÿ");
    QTest::newRow("undefined byte") << QByteArray("\x8D") << QString(QChar(0x8D));
    QTest::newRow("NUL kept") << QByteArray("a\0b", 3) << QString::fromUtf16(u"a\0b", 3);
}

void tst_Protocol::decode()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QCOMPARE(QString::fromStdU16String(Windows1252::toUnicode(sv(bytes))), text);
}

void tst_Protocol::everyByteRoundTrips()
{
    std::string all;
    for (int b = 0; b < 256; ++b)
        all.push_back(char(b));
    const std::u16string text = Windows1252::toUnicode(all);
    QCOMPARE(text.size(), all.size());
    QCOMPARE(qb(Windows1252::fromUnicode(text)), qb(all));
}

QTEST_APPLESS_MAIN(tst_Protocol)
#include "tst_protocol.moc"
