#include "sim/device.h"

#include <QTest>

using namespace sim;

// What the device puts on the line and in its log for what it receives, by its behaviour and
// its rules; the rules files it refuses.
class tst_Device : public QObject
{
    Q_OBJECT

private slots:
    void answers_data();
    void answers();
    void log();
    void rulesFile_data();
    void rulesFile();
};

void tst_Device::answers_data()
{
    QTest::addColumn<QString>("kind"); // for what no rule answers, with the text "OK"
    QTest::addColumn<QByteArray>("rules");
    QTest::addColumn<QByteArrayList>("received");
    QTest::addColumn<QByteArray>("sent");

    const auto row = [](const char *name, const QString &kind, const QByteArray &rules,
                        const QByteArrayList &received, const QByteArray &sent) {
        QTest::newRow(name) << kind << rules << received << sent;
    };
    const QByteArrayList cmd{"G01K01P00=41\x03"};
    row("ack", "ack", "", cmd, "\x06");
    row("nak", "nak", "", cmd, "\x15");
    row("reply", "reply", "", cmd, "OK9A\x03");
    row("bad-checksum: one higher", "bad-checksum", "", cmd, "OK9B\x03");
    row("lowercase", "lowercase", "", cmd, "OK9a\x03");
    row("ack-reply", "ack-reply", "", cmd, "\x06OK9A\x03");
    row("echo", "echo", "", cmd, cmd[0]);
    row("silence", "silence", "", cmd, "");
    row("reply in Windows-1252", "reply", "* reply Grüß€!", cmd, "Gr\xFC\xDF\x80!35\x03");

    row("wrong checksum: NAK", "ack", "", {"OK9B\x03"}, "\x15");
    row("lowercase checksum: NAK", "ack", "", {"OK9a\x03"}, "\x15");
    row("no checksum: NAK", "ack", "", {"\x03", "A\x03"}, "\x15\x15");
    row("two frames, the start of a third waits", "ack", "", {"OK9A\x03X", "58\x03G0"}, "\x06\x06");
    row("a silent device stays silent", "silence", "", {"X59\x03"}, "");
    row("an echoing device echoes a bad frame", "echo", "", {"X59\x03"}, "X59\x03");
    row("echo, rules on top", "echo", "A ack\nX echo", {"A4", "1\x03X58\x03"},
        "A41\x03X58\x03\x06");

    // The rules file as the device reads it.
    row("BOM, CRLF, comments, blanks; text to the end", "ack",
        "\xEF\xBB\xBF# a device\r\n\r\n  \t\n* reply  T = 21 C \t\r\n", cmd, "T = 21 C97\x03");
    row("quoted command and text", "ack", "\"G01 K01\" reply \"a \"b\"\"", {"G01 K0174\x03"},
        "a \"b\"27\x03");
    row("empty command, empty text", "ack", "\"\" ack-reply \"\"", {"00\x03"}, "\x06\x30\x30\x03");
    row("quoted * and !bad are commands; --text", "ack", "\"*\" lowercase\n\"!bad\" silence",
        {"*2A\x03X58\x03!bad48\x03"}, "OK9a\x03\x06");
    row("the first rule for a command holds", "ack", "A nak\nA silence\n* nak\n* silence",
        {"A41\x03", "B42\x03"}, "\x15\x15");
    const QByteArray rules = "* nak\nG01K01P00= reply A\n!bad silence\n";
    row("text rule before an earlier *", "reply", rules, cmd, "A41\x03");
    row("* for any other good frame", "reply", rules, {"G02A9\x03"}, "\x15");
    row("!bad even for the text of a rule", "reply", rules, {"G01K01P00=42\x03"}, "");
}

void tst_Device::answers()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, rules);
    QFETCH(QByteArrayList, received);
    QFETCH(QByteArray, sent);

    QString error;
    auto parsed = parseRules(rules, "OK", error);
    QVERIFY2(parsed, qPrintable(error));
    Device device{{Kind(kindNames.indexOf(kind)), "OK"}, std::move(*parsed)};
    QByteArray got;
    for (const QByteArray &bytes : received)
        for (const Event &event : device.receive(bytes.toStdString()))
            got += QByteArray::fromStdString(event.bytes);
    QCOMPARE(got, sent);
}

void tst_Device::log()
{
    Device device{{Kind::Nak, {}}};
    QStringList got;
    for (const Event &event : device.receive("G01K01P00=41\x03OK9B\x03\x03\x01\"\\\3747B\x03"))
        got << event.log;
    QCOMPARE(got.join('\n'),
             "RX \"G01K01P00=\" checksum 41 good [47 30 31 4B 30 31 50 30 30 3D 34 31 03]\n"
             "TX nak [15]\nRX \"OK\" checksum \"9B\" bad, expected 9A [4F 4B 39 42 03]\n"
             "TX nak [15]\nRX \"\" no checksum [03]\nTX nak [15]\n"
             "RX \"\\x01\\\"\\\\ü\" checksum 7B good [01 22 5C FC 37 42 03]\nTX nak [15]");
}

void tst_Device::rulesFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("error");

    const QString kinds = " (one of ack, nak, reply, bad-checksum, lowercase, ack-reply, echo, "
                          "silence)";
    QTest::newRow("unknown answer")
        << QByteArray("# x\nA ack\nB akc\n") << "line 3: unknown answer 'akc'" + kinds;
    QTest::newRow("no answer") << QByteArray("G01K01P00=  \n") << "line 1: no answer" + kinds;
    QTest::newRow("text on ack") << QByteArray("A ack OK") << "line 1: 'ack' takes no text";
    QTest::newRow("open quote") << QByteArray("\"G01 ack\n") << "line 1: missing closing quote";
    QTest::newRow("not in Windows-1252")
        << QByteArray("A reply a\342\206\222b")
        << "line 1: 'a\u2192b' has a character Windows-1252 cannot hold";
}

void tst_Device::rulesFile()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, error);

    QString got;
    QVERIFY(!parseRules(content, "OK", got));
    QCOMPARE(got, error);
}

QTEST_APPLESS_MAIN(tst_Device)
#include "tst_device.moc"
