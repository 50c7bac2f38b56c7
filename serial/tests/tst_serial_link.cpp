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

QTEST_GUILESS_MAIN(tst_SerialLink)
#include "tst_serial_link.moc"
