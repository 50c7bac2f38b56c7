// SPDX-License-Identifier: MIT
#include "sim/device.h"

#include <QTest>

using namespace sim;

// What the device puts on the line for what it receives, by its behaviour and its rules; the
// rules files it refuses. Each behaviour's answer is checked end to end by the query table.
class tst_Device : public QObject
{
    Q_OBJECT

private slots:
    void answers_data();
    void answers();
};

void tst_Device::answers_data()
{
    QTest::addColumn<QString>("kind"); // for what no rule answers, with the text "OK"
    QTest::addColumn<QByteArray>("rules");
    QTest::addColumn<QByteArrayList>("received");
    QTest::addColumn<QByteArray>("sent"); // for a rules file it refuses, why

    const auto row = [](const char *name, const QString &kind, const QByteArray &rules,
                        const QByteArrayList &received, const QByteArray &sent) {
        QTest::newRow(name) << kind << rules << received << sent;
    };
    const QByteArray cmd = "A41\x03", bad = "X59\x03";
    row("ack; NAK for a wrong, lowercase or missing checksum", "ack", "",
        {cmd, "OK9B\x03OK9a\x03\x03", "A\x03"}, "\x06\x15\x15\x15\x15");
    row("reply to a frame split across reads", "reply", "", {"A4", "1\x03G0"}, "OK9A\x03");
    row("echo, a bad frame too", "echo", "", {cmd + bad}, cmd + bad);
    row("silence, to a bad frame too", "silence", "", {cmd + bad}, "");
    row("echo under rules", "echo", "A nak\nX echo", {"A4", "1\x03X58\x03"}, "A41\x03X58\x03\x15");

    // The rules file as the device reads it.
    row("Windows-1252; BOM, CRLF, comments, blanks; text to the end; * for good frames only", "ack",
        "\xEF\xBB\xBF#\r\n\r\n \t\nüX silence\r\n* reply  Grüß € \t\r\n", {cmd, "\xFCX54\x03", bad},
        "Gr\xFC\xDF \x80\x33\x34\x03\x15");
    row("quoted commands and texts, empty ones; --text; no *: the fallback", "ack",
        "\"G01 K01\" reply \"a \"b\"\"\n\"\" ack-reply \"\"\n\"*\" lowercase\n\"!bad\" silence",
        {"G01 K0174\x03", "00\x03*2A\x03X58\x03!bad48\x03"},
        "a \"b\"27\x03\x06\x30\x30\x03OK9a\x03\x06");
    row("text before an earlier *, then *; first rule holds; !bad before text", "reply",
        "* nak\nA reply B\nA silence\n!bad silence\n!bad nak\nQ echo",
        {cmd, "Q51\x03", "G02A9\x03", "A42\x03"}, "B42\x03Q51\x03\x15");

    const QByteArray kinds = " (one of ack, nak, reply, bad-checksum, lowercase, ack-reply, echo, "
                             "silence)";
    row("unknown answer", "ack", "# x\nA ack\nB akc\n", {}, "line 3: unknown answer 'akc'" + kinds);
    row("no answer", "ack", "G01K01P00=  \n", {}, "line 1: no answer" + kinds);
    row("text on ack", "ack", "A ack OK", {}, "line 1: 'ack' takes no text");
    row("open quote", "ack", "\"G01 ack\n", {}, "line 1: missing closing quote");
    row("not in Windows-1252", "ack", "A reply a\u2192b", {},
        "line 1: 'a\u2192b' has a character Windows-1252 cannot hold");
}

void tst_Device::answers()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, rules);
    QFETCH(QByteArrayList, received);
    QFETCH(QByteArray, sent);

    QString error;
    const auto parsed = parseRules(rules, "OK", error);
    Device device{{Kind(kindNames.indexOf(kind)), "OK"}, parsed.value_or(Rules())};
    QByteArray got = error.toUtf8();
    for (const QByteArray &bytes : received)
        for (const auto &[line, out] : device.receive(bytes.toStdString()))
            got += QByteArray::fromStdString(out);
    QCOMPARE(got, sent);
}

QTEST_APPLESS_MAIN(tst_Device)
#include "tst_device.moc"
