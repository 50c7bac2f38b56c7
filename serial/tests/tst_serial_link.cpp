// SPDX-License-Identifier: MIT
#include "serial/serial_link.h"
#include "sim/pty.h"

#include <QTest>

#include <QTimer>

#include <ctime>
#include <memory>

// A port that can fail from inside a read, as Windows' does when the read it starts there fails.
struct FailingPort : QSerialPort
{
    SerialPortError failure = NoError;
    int depth = 0, deepest = 0; // reads under way inside one another

    qint64 readData(char *data, qint64 maxSize) override
    {
        deepest = std::max(deepest, ++depth);
        if (failure != NoError && depth == 1)
            emit errorOccurred(failure);
        --depth;
        return QSerialPort::readData(data, maxSize);
    }
};

// The port as the window uses it: what comes in is handed on a character at a time.
class tst_SerialLink : public QObject
{
    Q_OBJECT

public:
    enum End { None, HangUp, Signalled, InRead };
    Q_ENUM(End)

private slots:
    // Read in bulk, handed on one character per notification, every byte value in order. A
    // backlog never keeps the event loop from its turn. Whatever ends the line, the characters
    // received before it are still handed on, then the loss reported once; only a failure that
    // leaves the port usable ends nothing. A port failing inside a read is not read again.
    void oneCharacterPerNotification_data()
    {
        // Unless None, all but the last byte wait unread first; then this ends the line.
        QTest::addColumn<End>("end");
        QTest::addColumn<QSerialPort::SerialPortError>("error");
        QTest::addColumn<bool>("lost");
        QTest::newRow("as it comes") << None << QSerialPort::NoError << false;
        QTest::newRow("a backlog, then the line lost") << HangUp << QSerialPort::NoError << true;
        const auto errors = QMetaEnum::fromType<QSerialPort::SerialPortError>();
        for (int i = 0; i < errors.keyCount(); ++i) {
            const auto error = QSerialPort::SerialPortError(errors.value(i));
            const bool harmless = QList{QSerialPort::NoError, QSerialPort::TimeoutError,
                                        QSerialPort::UnsupportedOperationError}
                                      .contains(error);
            for (const End end : {Signalled, InRead})
                QTest::addRow("%s%s", errors.key(i), end == InRead ? " in a read" : "")
                    << end << error << !harmless;
        }
    }
    void oneCharacterPerNotification()
    {
        QFETCH(End, end);
        QFETCH(QSerialPort::SerialPortError, error);
        QFETCH(bool, lost);
        Pty pty;
        auto *port = new FailingPort;
        const std::unique_ptr<SerialLink> link(
            new SerialLink(pty.path(), std::unique_ptr<QSerialPort>(port)));
        QVERIFY(link->setSettings(QStringLiteral("9600,n,8,1")) && link->setCommPort(1) &&
                link->setPortOpen(true));
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
            QTRY_COMPARE(link->waitingCount(), qint64(sent.size() - 1)); // all in the program
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
        QTRY_COMPARE(got.size(), sent.size());
        QVERIFY(got == sent);
        if (end != None)
            QVERIFY2(atTurn < sent.size(), "the event loop waited for the whole backlog");
        QTRY_COMPARE(losses, int(lost));
        QCOMPARE(link->portOpen(), !lost);
        QCOMPARE(port->deepest, 1);
        // Once, and a hung-up line keeps no notifier firing.
        const std::clock_t start = std::clock();
        QTest::qWait(end == HangUp ? 2000 : 20);
        QCOMPARE_LT(double(std::clock() - start) / CLOCKS_PER_SEC, 1.0);
        QCOMPARE(losses, int(lost));
    }
};

QTEST_GUILESS_MAIN(tst_SerialLink)
#include "tst_serial_link.moc"
