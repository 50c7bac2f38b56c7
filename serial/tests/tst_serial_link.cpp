#include "serial/serial_link.h"
#include "sim/pty.h"

#include <QTest>

#include <numeric>

// The port as the window uses it: every byte value goes out unchanged, the frame in one write.
class tst_SerialLink : public QObject
{
    Q_OBJECT

private slots:
    void writeSendsExactlyTheFrame()
    {
        Pty pty;
        SerialLink link(pty.path());
        QVERIFY(link.setSettings(QStringLiteral("9600,n,8,1")) && link.setCommPort(1) &&
                link.setPortOpen(true));
        std::string frame(256, '\0');
        std::iota(frame.begin(), frame.end(), '\0');
        QVERIFY(link.Output(frame));
        QCOMPARE(pty.read(frame.size()), frame);
        QCOMPARE(pty.drain(50), std::string());
    }
};

QTEST_GUILESS_MAIN(tst_SerialLink)
#include "tst_serial_link.moc"
