#include "sim/options.h"

#include <QTest>

using namespace sim;

namespace {
QString kindText(Kind kind)
{
    return QString::fromStdString(std::string(kindName(kind)));
}
QString lineText(const std::string &bytes)
{
    return QString::fromLatin1(bytes.data(), qsizetype(bytes.size()));
}
} // namespace

// The rules file and the command line: what they mean, and how they are refused.
class tst_Rules : public QObject
{
    Q_OBJECT

private slots:
    void rules_data();
    void rules();
    void malformedRules_data();
    void malformedRules();
    void arguments_data();
    void arguments();
};

void tst_Rules::rules_data()
{
    QTest::addColumn<QByteArray>("content");
    // Per rule: "pattern|kind|text", the pattern * or !bad or the text in hex.
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("the two-line device") << QByteArray("G01K01P00= reply OK\n* nak\n")
                                         << QStringList{"4730314B30315030303D|reply|OK", "*|nak|"};
    QTest::newRow("comments, blanks, CRLF, BOM, indents")
        << QByteArray("\xEF\xBB\xBF# a device\r\n\r\n   \t\n  A\tack\r\n  # more\n")
        << QStringList{"41|ack|"};
    QTest::newRow("reply text: rest of line, inner spaces kept, end trimmed")
        << QByteArray("A reply  T = 21 C  \t\n") << QStringList{"41|reply|T = 21 C"};
    QTest::newRow("no text: --text") << QByteArray("A lowercase") << QStringList{"41|lowercase|OK"};
    QTest::newRow("quoted texts and escapes") << QByteArray(R"("G01 K01" reply "say \"hi\"\\"
"" bad-checksum ""
"*" ack-reply "\x03\x15x"
"!bad" silence
!bad nak
* ack)")
                                              << QStringList{"473031204B3031|reply|say \"hi\"\\",
                                                             "|bad-checksum|",
                                                             "2A|ack-reply|\x03\x15x",
                                                             "21626164|silence|",
                                                             "!bad|nak|",
                                                             "*|ack|"};
    QTest::newRow("UTF-8 into Windows-1252")
        << QByteArray("Gr\xC3\xBC\xC3\x9F\xE2\x82\xAC echo") << QStringList{"4772FCDF80|echo|"};
}

void tst_Rules::rules()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, expected);

    std::string error;
    const auto parsed = parseRules(content.toStdString(), "OK", error);
    QVERIFY2(parsed, error.c_str());
    QStringList got;
    for (const Rule &rule : parsed->rules) {
        const QString pattern = rule.match == Rule::Match::AnyGood ? QStringLiteral("*")
                                : rule.match == Rule::Match::Bad
                                    ? QStringLiteral("!bad")
                                    : lineText(rule.text).toLatin1().toHex().toUpper();
        got << pattern + u'|' + kindText(rule.answer.kind) + u'|' + lineText(rule.answer.text);
    }
    QCOMPARE(got, expected);
}

void tst_Rules::malformedRules_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("error");

    QTest::newRow("unknown answer") << QByteArray("# x\nA ack\nB akc\n")
                                    << "line 3: unknown answer 'akc' (one of ack, nak, reply, "
                                       "bad-checksum, lowercase, ack-reply, echo, silence)";
    QTest::newRow("no answer") << QByteArray("G01K01P00=  \n")
                               << "line 1: no answer after the command text (one of ack, nak, "
                                  "reply, bad-checksum, lowercase, ack-reply, echo, silence)";
    QTest::newRow("text on ack") << QByteArray("A ack OK") << "line 1: 'ack' takes no text";
    QTest::newRow("open quote") << QByteArray("\"G01 ack\n") << "line 1: missing closing quote";
    QTest::newRow("unknown escape") << QByteArray("\"\\n\" ack")
                                    << "line 1: unknown escape in quotes (use \\\", \\\\ or \\xHH)";
    QTest::newRow("after the quote")
        << QByteArray("A reply \"x\" y") << "line 1: something follows the closing quote";
    QTest::newRow("unknown special") << QByteArray("!good ack")
                                     << "line 1: '!good' is neither a command text, * nor !bad "
                                        "(quote a text that starts with ! or is *)";
    QTest::newRow("same text twice")
        << QByteArray("A ack\n\"A\" nak") << "line 2: \"A\" already has a rule on line 1";
    QTest::newRow("two *") << QByteArray("* ack\n\n* nak")
                           << "line 3: * already has a rule on line 1";
    QTest::newRow("not in Windows-1252")
        << QByteArray("A reply \xE2\x86\x92") << "line 1: '\u2192' has no Windows-1252 byte";
    QTest::newRow("not UTF-8") << QByteArray("A reply \xFC") << "line 1: not valid UTF-8";
}

void tst_Rules::malformedRules()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, error);

    std::string got;
    QVERIFY(!parseRules(content.toStdString(), "OK", got));
    QCOMPARE(QString::fromStdString(got), error);
}

void tst_Rules::arguments_data()
{
    QTest::addColumn<QStringList>("args");
    // "kind|text|delay|gap" (the text as Latin-1), or the error.
    QTest::addColumn<QString>("expected");

    QTest::newRow("defaults") << QStringList{} << "reply|OK|0|0";
    QTest::newRow("all of them") << QStringList{"--answer",        "ack-reply", "--text",
                                                "Grüße",           "--delay",   "150",
                                                "--gap=20",        "--rules",   "r",
                                                "--tty=/dev/pts/9"}
                                 << "ack-reply|Grüße|150|20";
    QTest::newRow("empty text, last one wins")
        << QStringList{"--answer=nak", "--text", "x", "--text="} << "nak||0|0";
    QTest::newRow("unknown") << QStringList{"--anser", "ack"}
                             << "unknown argument '--anser' (see --help)";
    QTest::newRow("stray word") << QStringList{"ack"} << "unknown argument 'ack' (see --help)";
    QTest::newRow("no value") << QStringList{"--delay"} << "--delay needs a value (see --help)";
    QTest::newRow("unknown kind") << QStringList{"--answer", "ok"}
                                  << "--answer: unknown answer 'ok' (one of ack, nak, reply, "
                                     "bad-checksum, lowercase, ack-reply, echo, silence)";
    const QString ms = QStringLiteral("takes milliseconds from 0 to 3600000, not ");
    QTest::newRow("negative") << QStringList{"--delay", "-1"} << "--delay " + ms + "'-1'";
    QTest::newRow("not a number") << QStringList{"--gap", "5ms"} << "--gap " + ms + "'5ms'";
    QTest::newRow("too long") << QStringList{"--gap=3600001"} << "--gap " + ms + "'3600001'";
    QTest::newRow("text off the code page")
        << QStringList{"--text", "\u2192"} << "--text: '\u2192' has no Windows-1252 byte";
}

void tst_Rules::arguments()
{
    QFETCH(QStringList, args);
    QFETCH(QString, expected);

    std::vector<std::string> argv;
    for (const QString &a : args)
        argv.push_back(a.toStdString());
    std::string error;
    const auto o = parseOptions(argv, error);
    const QString got = o ? QStringList{kindText(o->answer.kind), lineText(o->answer.text),
                                        QString::number(o->delayMs), QString::number(o->gapMs)}
                                .join(u'|')
                          : QString::fromStdString(error);
    QCOMPARE(got, expected);
}

QTEST_APPLESS_MAIN(tst_Rules)
#include "tst_rules.moc"
