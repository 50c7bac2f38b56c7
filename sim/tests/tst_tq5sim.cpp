#include "protocol/frame.h"
#include "tests/pty.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

// The device program as a whole: its line, its log, its exit, driven from the program's side.
class tst_Tq5sim : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void answersOnItsLine_data();
    void answersOnItsLine();
    void stopsCleanly_data();
    void stopsCleanly();
    void refusesBadArguments_data();
    void refusesBadArguments();

private:
    QTemporaryDir dir;
};

namespace {
const QString kSim = QStringLiteral(TQ5SIM);

QString writeFile(const QTemporaryDir &dir, const char *name, const char *content)
{
    QFile file(dir.filePath(QString::fromLatin1(name)));
    if (file.open(QIODevice::WriteOnly))
        file.write(content);
    return file.fileName();
}
} // namespace

void tst_Tq5sim::initTestCase()
{
    QVERIFY(dir.isValid());
}

void tst_Tq5sim::answersOnItsLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QByteArray>("answer");

    // What the unit tests cannot see: the delay, the gap and the echo in the real loop.
    const QByteArray frame("G01K01P00=41\x03");
    QTest::newRow("ack, late") << QStringList{"--answer", "ack", "--delay", "30"} << frame
                               << QByteArray("\x06");
    QTest::newRow("lowercase, a gap between characters")
        << QStringList{"--answer", "lowercase", "--text", "Grüße", "--gap", "5"} << frame
        << QByteArray("Gr\xFC\xDF"
                      "ef9\x03");
    QTest::newRow("echo: every byte, a bad frame too") << QStringList{"--answer", "echo"}
                                                       << QByteArray("x\x01"
                                                                     "G0177\x03")
                                                       << QByteArray("x\x01"
                                                                     "G0177\x03");
}

void tst_Tq5sim::answersOnItsLine()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, sent);
    QFETCH(QByteArray, answer);

    // The test plays the program on the far end of the terminal the device is given. A last
    // frame that the rules answer NAK marks the end of what comes back.
    Pty pty;
    QVERIFY(pty.isValid());
    QProcess device;
    device.start(kSim, args << "--rules" << writeFile(dir, "end.rules", "END nak\n") << "--tty"
                            << pty.path());
    QVERIFY(device.waitForStarted(5000) && device.waitForReadyRead(5000));
    QCOMPARE(device.readLine(), ("TTY " + pty.path() + '\n').toLocal8Bit());

    const QByteArray end = QByteArray::fromStdString(buildFrame("END"));
    const QByteArray expected = answer + (args.contains("echo") ? end : QByteArray()) + '\x15';
    pty.write((sent + end).toStdString());
    QCOMPARE(QByteArray::fromStdString(pty.read(std::size_t(expected.size()), 5000)), expected);

    device.terminate();
    QVERIFY(device.waitForFinished(5000));
    const QByteArray log = device.readAllStandardOutput();
    QVERIFY2(log.contains(" RX \"END\" checksum D7 good [45 4E 44 44 37 03]\n"), log.constData());
}

void tst_Tq5sim::stopsCleanly_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGTERM") << SIGTERM;
}

void tst_Tq5sim::stopsCleanly()
{
    QFETCH(int, signal);
    QProcess device;
    device.start(kSim, {});
    QVERIFY(device.waitForStarted(5000) && device.waitForReadyRead(5000));
    QVERIFY(device.readLine().startsWith("PTY /dev/"));
    ::kill(pid_t(device.processId()), signal);
    QVERIFY(device.waitForFinished(5000));
    QCOMPARE(device.exitStatus(), QProcess::NormalExit);
    QCOMPARE(device.exitCode(), 0);
    QVERIFY(device.readAllStandardOutput().endsWith(
        QByteArray(" stopped by ") + (signal == SIGINT ? "SIGINT" : "SIGTERM") + '\n'));
}

void tst_Tq5sim::refusesBadArguments_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("error");

    const QString bad = writeFile(dir, "bad.rules", "A ack\nB\n");
    QTest::newRow("unknown answer")
        << QStringList{"--answer", "ok"} << QByteArray("tq5sim: --answer: unknown answer 'ok'");
    QTest::newRow("malformed rules")
        << QStringList{"--rules", bad}
        << ("tq5sim: rules file " + bad.toLocal8Bit() + ": line 2: no answer after");
    QTest::newRow("rules file is a folder")
        << QStringList{"--rules", dir.path()}
        << ("tq5sim: cannot read rules file " + dir.path().toLocal8Bit() + ": Is a directory");
    QTest::newRow("not a terminal") << QStringList{"--tty", "/dev/null"}
                                    << QByteArray("tq5sim: cannot open /dev/null as a terminal");
}

void tst_Tq5sim::refusesBadArguments()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, error);

    QProcess device;
    device.start(kSim, args);
    QVERIFY(device.waitForFinished(5000));
    QCOMPARE(device.exitCode(), 2);
    QCOMPARE(device.readAllStandardOutput(), QByteArray());
    const QByteArray err = device.readAllStandardError();
    QVERIFY2(err.startsWith(error) && err.count('\n') == 1 && err.endsWith('\n'), err.constData());
}

QTEST_GUILESS_MAIN(tst_Tq5sim)
#include "tst_tq5sim.moc"
