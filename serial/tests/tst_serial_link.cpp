#include "serial/serial_link.h"
#include "sim/pty.h"

#include <QTest>

#include <memory>

namespace {
std::unique_ptr<SerialLink> openLink(const QString &device)
{
    auto link = std::make_unique<SerialLink>(device);
    if (!(link->setSettings(QStringLiteral("9600,n,8,1")) && link->setCommPort(1) &&
          link->setPortOpen(true)))
        return nullptr;
    return link;
}
} // namespace

class tst_SerialLink : public QObject
{
    Q_OBJECT

private slots:
    void settings_data();
    void settings();
    void writeSendsExactlyTheFrame();
    void readsOneCharacterPerNotification();
};

void tst_SerialLink::settings_data()
{
    QTest::addColumn<QString>("settings");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("line settings") << QStringLiteral("9600,n,8,1") << true;
    QTest::newRow("upper case parity") << QStringLiteral("19200,E,7,2") << true;
    QTest::newRow("unknown parity") << QStringLiteral("9600,x,8,1") << false;
    QTest::newRow("nine data bits") << QStringLiteral("9600,n,9,1") << false;
    QTest::newRow("missing field") << QStringLiteral("9600,n,8") << false;
}

void tst_SerialLink::settings()
{
    QFETCH(QString, settings);
    QFETCH(bool, accepted);
    SerialLink link;
    QCOMPARE(link.setSettings(settings), accepted);
    if (!accepted) {
        QCOMPARE(link.lastError().number, int(QSerialPort::UnsupportedOperationError));
        QVERIFY(link.lastError().text.contains(settings));
    }
}

void tst_SerialLink::writeSendsExactlyTheFrame()
{
    Pty pty;
    auto link = openLink(pty.path());
    QVERIFY(link);
    std::string frame;
    for (int b = 0; b < 256; ++b)
        frame.push_back(char(b));
    QVERIFY(link->Output(frame));
    QCOMPARE(pty.read(frame.size()), frame);
    QCOMPARE(pty.drain(50), std::string());
}

void tst_SerialLink::readsOneCharacterPerNotification()
{
    Pty pty;
    auto link = openLink(pty.path());
    QVERIFY(link);
    std::vector<std::string> reads;
    connect(link.get(), &SerialLink::OnComm, this, [&] { reads.push_back(link->Input()); });

    std::string sent("OK9A\x03");
    sent.push_back('\0');
    sent += "\xFF\x06";
    pty.write(sent);
    QTRY_COMPARE(reads.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i)
        QCOMPARE(reads[i], std::string(1, sent[i]));
    QTest::qWait(30);
    QCOMPARE(reads.size(), sent.size());
}

QTEST_GUILESS_MAIN(tst_SerialLink)
#include "tst_serial_link.moc"
