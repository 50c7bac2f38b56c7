#include "protocol/frame.h"
#include "sim/device.h"
#include "sim/outbox.h"

#include <QTest>

using namespace sim;

namespace {
QByteArray qb(std::string_view s)
{
    return QByteArray(s.data(), qsizetype(s.size()));
}
std::string str(const QByteArray &b)
{
    return std::string(b.constData(), std::size_t(b.size()));
}
Rules rulesFrom(const char *content)
{
    std::string error;
    const auto rules = parseRules(content, "OK", error);
    if (!rules)
        qFatal("rules in a test table do not parse: %s", error.c_str());
    return *rules;
}
} // namespace

class tst_Device : public QObject
{
    Q_OBJECT

private slots:
    void frames_data();
    void frames();
    void answers_data();
    void answers();
    void choice_data();
    void choice();
    void lineEcho();
    void outbox_data();
    void outbox();
};

void tst_Device::frames_data()
{
    QTest::addColumn<QByteArrayList>("chunks");
    QTest::addColumn<QByteArrayList>("texts");
    QTest::addColumn<QList<int>>("verdicts");
    QTest::addColumn<QByteArray>("pending");

    const int good = int(Verdict::Good), bad = int(Verdict::Bad), none = int(Verdict::NoChecksum);
    QTest::newRow("default command")
        << QByteArrayList{"G01K01P00=41\x03"} << QByteArrayList{"G01K01P00="} << QList<int>{good}
        << QByteArray();
    QTest::newRow("a byte at a time") << QByteArrayList{"O", "K", "9", "A", "\x03"}
                                      << QByteArrayList{"OK"} << QList<int>{good} << QByteArray();
    QTest::newRow("two frames and the start of a third")
        << QByteArrayList{"OK9A\x03"
                          "0",
                          "0\x03G0"}
        << QByteArrayList{"OK", ""} << QList<int>{good, good} << QByteArray("G0");
    QTest::newRow("wrong checksum")
        << QByteArrayList{"OK9B\x03"} << QByteArrayList{"OK"} << QList<int>{bad} << QByteArray();
    QTest::newRow("lowercase checksum")
        << QByteArrayList{"OK9a\x03"} << QByteArrayList{"OK"} << QList<int>{bad} << QByteArray();
    QTest::newRow("bare ETX, one character and ETX")
        << QByteArrayList{"\x03"
                          "A\x03"}
        << QByteArrayList{"", "A"} << QList<int>{none, none} << QByteArray();
    QTest::newRow("Windows-1252 bytes")
        << QByteArrayList{"\xFC"
                          "FC\x03"}
        << QByteArrayList{"\xFC"} << QList<int>{good} << QByteArray();
}

void tst_Device::frames()
{
    QFETCH(QByteArrayList, chunks);
    QFETCH(QByteArrayList, texts);
    QFETCH(QList<int>, verdicts);
    QFETCH(QByteArray, pending);

    FrameAssembler assembler;
    QByteArrayList gotTexts;
    QList<int> gotVerdicts;
    QByteArray all;
    for (const QByteArray &chunk : chunks) {
        for (const Frame &frame : assembler.feed(str(chunk))) {
            gotTexts << qb(frame.text());
            gotVerdicts << int(frame.verdict());
            all += qb(frame.bytes);
        }
    }
    QCOMPARE(gotTexts, texts);
    QCOMPARE(gotVerdicts, verdicts);
    QCOMPARE(qb(assembler.pending()), pending);
    QCOMPARE(all + pending, chunks.join());
}

void tst_Device::answers_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("ack") << "ack" << QByteArray() << QByteArray("\x06");
    QTest::newRow("nak") << "nak" << QByteArray() << QByteArray("\x15");
    QTest::newRow("reply") << "reply" << QByteArray("OK") << QByteArray("OK9A\x03");
    QTest::newRow("empty reply") << "reply" << QByteArray() << QByteArray("00\x03");
    QTest::newRow("bad-checksum") << "bad-checksum" << QByteArray("OK") << QByteArray("OK9B\x03");
    QTest::newRow("bad-checksum where the sum wraps") << "bad-checksum" << QByteArray("\xFF")
                                                      << QByteArray("\xFF"
                                                                    "00\x03");
    QTest::newRow("lowercase") << "lowercase" << QByteArray("OK") << QByteArray("OK9a\x03");
    QTest::newRow("lowercase of a digits-only checksum")
        << "lowercase" << QByteArray("G01K01P00=") << QByteArray("G01K01P00=41\x03");
    QTest::newRow("ack-reply") << "ack-reply" << QByteArray("OK") << QByteArray("\x06OK9A\x03");
    QTest::newRow("echo sends the frame back") << "echo" << QByteArray() << QByteArray("AB00\x03");
    QTest::newRow("silence") << "silence" << QByteArray("OK") << QByteArray();
}

void tst_Device::answers()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, bytes);

    const Answer answer{*kindFromName(kind.toStdString()), str(text)};
    QCOMPARE(qb(answerBytes(answer, "AB00\x03")), bytes);
    if (answer.kind == Kind::BadChecksum)
        QVERIFY(!frameIsGood(str(bytes.chopped(1))));
}

void tst_Device::choice_data()
{
    QTest::addColumn<QByteArray>("rules");
    QTest::addColumn<QString>("fallback");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("text");

    const QByteArray table = "* nak\nG01K01P00= reply A\n!bad silence\n";
    QTest::newRow("text rule before an earlier *")
        << table << "ack" << QByteArray("G01K01P00=41\x03") << "reply" << QByteArray("A");
    QTest::newRow("* for any other text")
        << table << "ack" << QByteArray("G02A9\x03") << "nak" << QByteArray();
    QTest::newRow("texts compare case-sensitively")
        << table << "ack" << QByteArray("g01k01p00=A1\x03") << "nak" << QByteArray();
    QTest::newRow("!bad for a wrong checksum, even with the text of a rule")
        << table << "ack" << QByteArray("G01K01P00=42\x03") << "silence" << QByteArray();
    QTest::newRow("no rule: the fallback")
        << QByteArray() << "ack-reply" << QByteArray("X58\x03") << "ack-reply" << QByteArray("OK");
    QTest::newRow("no rule, wrong checksum: NAK")
        << QByteArray() << "reply" << QByteArray("X59\x03") << "nak" << QByteArray();
    QTest::newRow("no rule, no checksum: NAK")
        << QByteArray("* ack") << "reply" << QByteArray("\x03") << "nak" << QByteArray();
    QTest::newRow("a silent device stays silent")
        << QByteArray() << "silence" << QByteArray("X59\x03") << "silence" << QByteArray("OK");
    QTest::newRow("an echoing device keeps echoing")
        << QByteArray() << "echo" << QByteArray("X59\x03") << "echo" << QByteArray("OK");
}

void tst_Device::choice()
{
    QFETCH(QByteArray, rules);
    QFETCH(QString, fallback);
    QFETCH(QByteArray, frame);
    QFETCH(QString, kind);
    QFETCH(QByteArray, text);

    const Answer chosen =
        chooseAnswer(rulesFrom(rules.constData()), {*kindFromName(fallback.toStdString()), "OK"},
                     Frame{str(frame)});
    QCOMPARE(QString::fromStdString(std::string(kindName(chosen.kind))), kind);
    QCOMPARE(qb(chosen.text), text);
}

void tst_Device::lineEcho()
{
    // Every byte goes back as it comes; a rule still answers its frame on top of the echo.
    Device device({Kind::Echo, {}}, rulesFrom("A ack\nB echo\n"));
    Reaction r = device.receive("A4");
    QCOMPARE(qb(r.echo), QByteArray("A4"));
    QVERIFY(r.frames.empty());
    r = device.receive("1\x03"
                       "B42\x03"
                       "C43\x03");
    QCOMPARE(qb(r.echo), QByteArray("1\x03"
                                    "B42\x03"
                                    "C43\x03"));
    QCOMPARE(r.frames.size(), 3u);
    QCOMPARE(qb(r.frames[0].bytes), QByteArray("\x06"));
    QCOMPARE(qb(r.frames[1].bytes), QByteArray());
    QCOMPARE(qb(r.frames[2].bytes), QByteArray());
}

void tst_Device::outbox_data()
{
    // Answers as "at:bytes:delay:gap" (ms); what goes out as "at:bytes".
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QStringList>("sent");

    QTest::newRow("at once") << QStringList{"0:OK:0:0"} << QStringList{"0:OK"};
    QTest::newRow("delay") << QStringList{"5:OK:100:0"} << QStringList{"105:OK"};
    QTest::newRow("gap") << QStringList{"0:ABC:10:20"} << QStringList{"10:A", "30:B", "50:C"};
    QTest::newRow("the second waits for the first, then a gap")
        << QStringList{"0:AB:0:20", "5:C:0:20"} << QStringList{"0:A", "20:B", "40:C"};
    QTest::newRow("a later one keeps its own delay")
        << QStringList{"0:A:10:0", "100:B:10:0"} << QStringList{"10:A", "110:B"};
    QTest::newRow("nothing to send") << QStringList{"0::10:10"} << QStringList{};
}

void tst_Device::outbox()
{
    QFETCH(QStringList, answers);
    QFETCH(QStringList, sent);

    using Ms = Outbox::Ms;
    const Outbox::Clock::time_point t0;
    Outbox box;
    for (const QString &a : answers) {
        const QStringList f = a.split(u':');
        box.schedule(t0 + Ms(f[0].toInt()), f[1].toStdString(), Ms(f[2].toInt()), Ms(f[3].toInt()));
    }
    QStringList got;
    while (const auto due = box.nextDue()) {
        const auto ms = std::chrono::duration_cast<Ms>(*due - t0).count();
        QVERIFY(box.takeDue(*due - Ms(1)).empty());
        got << QString::number(ms) + u':' + QString::fromStdString(box.takeDue(*due));
    }
    QCOMPARE(got, sent);
}

QTEST_APPLESS_MAIN(tst_Device)
#include "tst_device.moc"
