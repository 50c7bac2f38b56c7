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
    void writeSendsExactlyTheFrame();
    void readsOneCharacterPerNotification();
};

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
