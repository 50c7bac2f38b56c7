#include "sim/device.h"

#include <QTest>

using namespace sim;

// The device's logic: what it puts on the line for what it receives (every answer kind, the
// checksum verdict of the received frame, the rules that pick the answer), and its rules file.
class tst_Device : public QObject
{
    Q_OBJECT

private slots:
    void answerBytes_data();
    void answerBytes();
    void rulesFile_data();
    void rulesFile();
};

void tst_Device::answerBytes_data()
{
    QTest::addColumn<QByteArray>("rules");
    QTest::addColumn<QString>("fallback");
    QTest::addColumn<QByteArrayList>("received");
    QTest::addColumn<QByteArray>("sent");

    // The device answers "reply OK" where no rule does; a `*` rule sets the kind for good frames.
    const auto row = [](const char *name, const QByteArray &rules, const QByteArrayList &received,
                        const QByteArray &sent, const QString &fallback = "reply") {
        QTest::newRow(name) << rules << fallback << received << sent;
    };
    const QByteArrayList cmd{"G01K01P00=41\x03"};
    row("ack", "* ack", cmd, "\x06");
    row("nak", "* nak", cmd, "\x15");
    row("reply: text, checksum, ETX", "", cmd, "OK9A\x03");
    row("empty reply", "* reply \"\"", cmd, "00\x03");
    row("reply in Windows-1252", "* reply Grüß€!", cmd, "Gr\xFC\xDF\x80!35\x03");
    row("bad-checksum: one higher", "* bad-checksum", cmd, "OK9B\x03");
    row("bad-checksum where the sum wraps", "* bad-checksum \"\\x87x\"", cmd, "\x87x00\x03");
    row("lowercase", "* lowercase", cmd, "OK9a\x03");
    row("ack-reply", "* ack-reply", cmd, "\x06OK9A\x03");
    row("silence", "* silence", cmd, "");
    row("echo sends the frame back", "* echo", cmd, cmd[0]);

    row("a byte at a time", "", {"O", "K", "9", "A", "\x03"}, "OK9A\x03");
    row("two frames, the start of a third waits", "* ack", {"OK9A\x03X", "58\x03G0"}, "\x06\x06");
    row("received Windows-1252 text", "* ack", {"\xFCx74\x03"}, "\x06");
    row("wrong checksum: NAK", "", {"OK9B\x03"}, "\x15");
    row("lowercase checksum: NAK", "", {"OK9a\x03"}, "\x15");
    row("no checksum: NAK", "* ack", {"\x03", "A\x03"}, "\x15\x15");
    row("a silent device stays silent", "", {"X59\x03"}, "", "silence");
    row("an echoing device echoes a bad frame", "", {"X59\x03"}, "X59\x03", "echo");
    // Every byte goes back as it comes; a rule still answers its frame on top of the echo.
    row("echoing line with rules", "A ack\nX echo", {"A4", "1\x03X58\x03"}, "A41\x03X58\x03\x06",
        "echo");

    const QByteArray rules = "* nak\nG01K01P00= reply A\n!bad silence\n";
    row("text rule before an earlier *", rules, cmd, "A41\x03");
    row("* for any other text", rules, {"G02A9\x03"}, "\x15");
    row("texts compare case-sensitively", rules, {"g01k01p00=A1\x03"}, "\x15");
    row("!bad even for the text of a rule", rules, {"G01K01P00=42\x03"}, "");
}

void tst_Device::answerBytes()
{
    QFETCH(QByteArray, rules);
    QFETCH(QString, fallback);
    QFETCH(QByteArrayList, received);
    QFETCH(QByteArray, sent);

    std::string error;
    auto parsed = parseRules(rules.toStdString(), "OK", error);
    QVERIFY2(parsed, error.c_str());
    Device device({*kindFromName(fallback.toStdString()), "OK"}, std::move(*parsed));
    QByteArray got;
    for (const QByteArray &chunk : received) {
        const Reaction reaction = device.receive(chunk.toStdString());
        got += QByteArray::fromStdString(reaction.echo);
        for (const Handled &handled : reaction.frames)
            got += QByteArray::fromStdString(handled.bytes);
    }
    QCOMPARE(got, sent);
}

void tst_Device::rulesFile_data()
{
    QTest::addColumn<QByteArray>("content");
    // One "pattern|kind|text" a rule (pattern * or !bad or the text in hex), or the error.
    QTest::addColumn<QString>("expected");

    QTest::newRow("BOM, comments, blanks, CRLF, indents; text to the end of the line, trimmed")
        << QByteArray("\xEF\xBB\xBF# a device\r\n\r\n   \t\nG01K01P00= reply  T = 21 C  \t\r\n"
                      "  A\tlowercase\n  # more\n* nak")
        << "4730314B30315030303D|reply|T = 21 C\n41|lowercase|OK\n*|nak|";
    QTest::newRow("quoted texts and escapes")
        << QByteArray(R"("G01 K01" reply "say \"hi\"\\"
"" bad-checksum ""
"*" ack-reply "\x03\x15x"
"!bad" silence
!bad nak)")
        << "473031204B3031|reply|say \"hi\"\\\n|bad-checksum|\n2A|ack-reply|\x03\x15x\n"
           "21626164|silence|\n!bad|nak|";

    const QString kinds = "(one of ack, nak, reply, bad-checksum, lowercase, ack-reply, echo, "
                          "silence)";
    QTest::newRow("unknown answer")
        << QByteArray("# x\nA ack\nB akc\n") << "line 3: unknown answer 'akc' " + kinds;
    QTest::newRow("no answer") << QByteArray("G01K01P00=  \n")
                               << "line 1: no answer after the command text " + kinds;
    QTest::newRow("text on ack") << QByteArray("A ack OK") << "line 1: 'ack' takes no text";
    QTest::newRow("open quote") << QByteArray("\"G01 ack\n") << "line 1: missing closing quote";
    QTest::newRow("unknown escape") << QByteArray("\"\\n\" ack")
                                    << "line 1: unknown escape in quotes (use \\\", \\\\ or \\xHH)";
    QTest::newRow("no space after the quote")
        << QByteArray("\"A\"ack") << "line 1: a space must follow the command text";
    QTest::newRow("after the closing quote")
        << QByteArray("A reply \"x\" y") << "line 1: something follows the closing quote";
    QTest::newRow("unknown special") << QByteArray("!good ack")
                                     << "line 1: '!good' is neither a command text, * nor !bad "
                                        "(quote a text that starts with ! or is *)";
    QTest::newRow("same text twice, once quoted")
        << QByteArray("A ack\n\n\"A\" nak") << "line 3: \"A\" already has a rule on line 1";
    QTest::newRow("not in Windows-1252")
        << QByteArray("A reply \xE2\x86\x92") << "line 1: '\u2192' has no Windows-1252 byte";
    QTest::newRow("not UTF-8") << QByteArray("A reply \xFC") << "line 1: not valid UTF-8";
}

void tst_Device::rulesFile()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);

    std::string error;
    const auto parsed = parseRules(content.toStdString(), "OK", error);
    QStringList got{QString::fromStdString(error)};
    if (parsed) {
        got.clear();
        for (const Rule &rule : parsed->rules) {
            const QString pattern = rule.match == Rule::Match::AnyGood ? QStringLiteral("*")
                                    : rule.match == Rule::Match::Bad
                                        ? QStringLiteral("!bad")
                                        : QByteArray::fromStdString(rule.text).toHex().toUpper();
            got << pattern + u'|' +
                       QString::fromStdString(std::string(kindName(rule.answer.kind))) + u'|' +
                       QString::fromLatin1(QByteArray::fromStdString(rule.answer.text));
        }
    }
    QCOMPARE(got.join(u'\n'), expected);
}

QTEST_APPLESS_MAIN(tst_Device)
#include "tst_device.moc"
