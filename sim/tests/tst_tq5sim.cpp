#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

// The device program as a whole: its arguments, its pseudo-terminal, its log and its exit.
class tst_Tq5sim : public QObject
{
    Q_OBJECT

private slots:
    void refusesBadArguments_data();
    void refusesBadArguments();
    void answersOnItsPseudoTerminal();

private:
    QTemporaryDir dir;
};

void tst_Tq5sim::refusesBadArguments_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("error");

    QVERIFY(dir.isValid());
    QFile bad(dir.filePath("bad.rules"));
    QVERIFY(bad.open(QIODevice::WriteOnly) && bad.write("A ack\nB\n") == 8);
    QTest::newRow("unknown argument")
        << QStringList{"--anser", "ack"} << QByteArray("tq5sim: unknown argument '--anser'");
    QTest::newRow("delay not in milliseconds")
        << QStringList{"--delay", "5ms"} << QByteArray("tq5sim: --delay takes milliseconds");
    QTest::newRow("malformed rules")
        << QStringList{"--rules", bad.fileName()}
        << ("tq5sim: rules file " + bad.fileName().toLocal8Bit() + ": line 2: no answer after");
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
    device.start(QStringLiteral(TQ5SIM), args);
    QVERIFY(device.waitForFinished(5000));
    QCOMPARE(device.exitCode(), 2);
    QCOMPARE(device.readAllStandardOutput(), QByteArray());
    const QByteArray err = device.readAllStandardError();
    QVERIFY2(err.startsWith(error) && err.count('\n') == 1 && err.endsWith('\n'), err.constData());
}

void tst_Tq5sim::answersOnItsPseudoTerminal()
{
    // The test plays the program on the terminal the device names on its first line.
    QProcess device;
    device.start(QStringLiteral(TQ5SIM), {});
    QVERIFY(device.waitForStarted(5000) && device.waitForReadyRead(5000));
    const QByteArray first = device.readLine();
    QVERIFY2(first.startsWith("PTY /dev/pts/") && first.endsWith('\n'), first.constData());
    const int fd = ::open(first.mid(4).trimmed().constData(), O_RDWR | O_NOCTTY);
    QVERIFY(fd >= 0);
    QCOMPARE(::write(fd, "G01K01P00=41\x03", 13), 13);
    QByteArray answer;
    pollfd ready{fd, POLLIN, 0};
    for (char c; answer.size() < 5 && ::poll(&ready, 1, 5000) > 0 && ::read(fd, &c, 1) == 1;)
        answer += c;
    ::close(fd);
    QCOMPARE(answer, QByteArray("OK9A\x03"));

    device.terminate();
    QVERIFY(device.waitForFinished(5000));
    QCOMPARE(device.exitCode(), 0);
    const QByteArray log = device.readAllStandardOutput();
    QVERIFY2(log.contains(" RX \"G01K01P00=\" checksum 41 good [47 30 31 4B 30 31 50 30 30 3D 34 "
                          "31 03]\n") &&
                 log.endsWith(" stopped by SIGTERM\n"),
             log.constData());
}

QTEST_GUILESS_MAIN(tst_Tq5sim)
#include "tst_tq5sim.moc"
