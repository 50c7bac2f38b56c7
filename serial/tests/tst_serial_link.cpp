// SPDX-License-Identifier: MIT
#include "serial/serial_link.h"
#include "sim/pty.h"

#include <QTest>

#include <QTimer>

#include <ctime>
#include <memory>
#include <termios.h>

// A port that can fail from inside every read, as Windows' does when the read it starts there
// fails. A link that reads again from inside the error signal recurses until the stack is gone.
struct FailingPort : QSerialPort
{
    SerialPortError failure = NoError;

    qint64 readData(char *data, qint64 maxSize) override
    {
        if (failure != NoError)
            emit errorOccurred(failure);
        return QSerialPort::readData(data, maxSize);
    }
};

// What ends the line in a row: nothing, a hang-up, an error signalled, or one from inside a read.
enum End { None, HangUp, Signalled, InRead };

// The port as the window uses it: what comes in is handed on a character at a time.
class tst_SerialLink : public QObject
{
    Q_OBJECT

    // Received characters not handed on yet.
    static qint64 waiting(const SerialLink &link)
    {
        return link.received_.size() - link.next_ + link.port_->bytesAvailable();
    }

private slots:
    // Read in bulk, handed on one character per notification, every byte value in order. A
    // backlog never keeps the event loop from its turn. Whatever ends the line, the characters
    // received before it are still handed on, then the loss reported once; only a failure that
    // leaves the port usable ends nothing. A port failing inside a read is not read again.
    void oneCharacterPerNotification_data()
    {
        // Unless None, all but the last byte wait unread first; then this ends the line.
        QTest::addColumn<int>("end");
        QTest::addColumn<QSerialPort::SerialPortError>("error");
        QTest::addColumn<bool>("lost");
        QTest::newRow("as it comes") << int(None) << QSerialPort::NoError << false;
        QTest::newRow("a backlog, then the line lost")
            << int(HangUp) << QSerialPort::NoError << true;
        const auto errors = QMetaEnum::fromType<QSerialPort::SerialPortError>();
        for (int i = 0; i < errors.keyCount(); ++i) {
            const auto error = QSerialPort::SerialPortError(errors.value(i));
            const bool lost = error != QSerialPort::NoError && error != QSerialPort::TimeoutError &&
                              error != QSerialPort::UnsupportedOperationError;
            for (const int end : {Signalled, InRead})
                QTest::addRow("%s%s", errors.key(i), end == InRead ? " in a read" : "")
                    << end << error << lost;
        }
    }
    void oneCharacterPerNotification()
    {
        QFETCH(int, end);
        QFETCH(QSerialPort::SerialPortError, error);
        QFETCH(bool, lost);
        Pty pty;
        auto *port = new FailingPort;
        const std::unique_ptr<SerialLink> link(
            new SerialLink(pty.path(), std::unique_ptr<QSerialPort>(port)));
        QVERIFY(link->setCommPort(1) && link->open()); // 9600 8N1 unless set
        std::string sent(3 * SerialLink::kDeliveryBatch + 1, '\0'), got;
        for (std::size_t i = 0; i < sent.size(); ++i)
            sent[i] = char(i * 7 + i / 256);
        bool reading = end == None; // else a backlog first
        int losses = 0;
        std::size_t atTurn = sent.size();
        connect(link.get(), &SerialLink::OnComm, this, [&] {
            QVERIFY(!losses);
            if (!reading)
                return;
            if (got.empty())
                QTimer::singleShot(0, this, [&] { atTurn = got.size(); });
            got += link->Input();
        });
        connect(link.get(), &SerialLink::portLost, this, [&] { ++losses; });
        pty.write(sent.substr(0, sent.size() - 1));
        if (end != None) {
            QTRY_COMPARE(waiting(*link), qint64(sent.size() - 1)); // all in the program
            reading = true;
            if (end == HangUp)
                pty.close();
            else if (end == Signalled)
                emit port->errorOccurred(error);
            else
                port->failure = error;
        }
        if (!lost || end == InRead) // the last byte sets the reading going
            pty.write(sent.substr(sent.size() - 1));
        else // the line ended before it
            sent.pop_back();
        QTRY_VERIFY2(got == sent, qPrintable(QString::number(got.size())));
        QVERIFY2(atTurn < sent.size(), "the event loop waited for the whole backlog");
        QCOMPARE(link->portOpen(), !lost); // the loss, if any, came with the last character
        // Once, and a hung-up line keeps no notifier firing.
        const std::clock_t start = std::clock();
        QTest::qWait(end == HangUp ? 2000 : 20);
        QCOMPARE_LT(double(std::clock() - start) / CLOCKS_PER_SEC, 1.0);
        QCOMPARE(losses, int(lost));
    }

    // Only what the device speaks is taken; anything else is refused, and the line keeps the
    // settings it had.
    void settings_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<bool>("taken");
        QTest::addColumn<int>("speed"); // of the line once open; 19200 was set before
        QTest::newRow("9600 8N1") << "9600,n,8,1" << true << int(B9600);
        QTest::newRow("spaced, upper case") << " 4800 , N ,8, 1" << true << int(B4800);
        for (const char *s : {"9600,e,8,1", "9600,o,8,1", "9600,m,8,1", "9600,n,7,1", "9600,n,8,2",
                              "9600,n,8,1.5", "0,n,8,1", "x,n,8,1", "9600,n,8", "9600,n,8,1,", ""})
            QTest::addRow("\"%s\"", s) << s << false << int(B19200);
    }
    void settings()
    {
        QFETCH(QString, settings);
        QFETCH(bool, taken);
        QFETCH(int, speed);
        Pty pty;
        SerialLink link(pty.path());
        QVERIFY(link.setSettings(QStringLiteral("19200,n,8,1")));
        QCOMPARE(link.setSettings(settings), taken);
        QCOMPARE(link.lastError().kind,
                 taken ? PortError::Kind::None : PortError::Kind::BadSettings);
        QVERIFY(link.setCommPort(1) && link.open());
        termios line{};
        QCOMPARE(tcgetattr(pty.masterFd(), &line), 0);
        QCOMPARE(cfgetospeed(&line), speed_t(speed));
        QCOMPARE(line.c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t(CS8));
    }
};

QTEST_GUILESS_MAIN(tst_SerialLink)
#include "tst_serial_link.moc"
