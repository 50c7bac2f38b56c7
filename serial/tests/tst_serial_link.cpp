// SPDX-License-Identifier: MIT
#include "serial/serial_link.h"
#include "sim/pty.h"

#include <QTest>

#include <QTimer>

#include <ctime>
#include <memory>
#include <numeric>

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

// The port as the window uses it: every byte value goes out unchanged, the frame in one write;
// what comes in is handed on a character at a time.
class tst_SerialLink : public QObject
{
    Q_OBJECT

public:
    enum End { None, HangUp, Signalled, InRead };
    Q_ENUM(End)

private slots:
    void writeSendsExactlyTheFrame()
    {
        open();
        std::string frame(256, '\0');
        std::iota(frame.begin(), frame.end(), '\0');
        QVERIFY(link->Output(frame));
        QCOMPARE(pty->read(frame.size()), frame);
        QCOMPARE(pty->drain(50), std::string());
    }

    // Read in bulk, handed on one character per notification, every byte value in order. A
    // backlog never keeps the event loop from its turn. Whatever ends the line, the characters
    // received before it are still handed on, then the loss reported once; only a failure that
    // leaves the port usable ends nothing. A port failing inside a read is not read again.
    void oneCharacterPerNotification_data()
    {
        QTest::addColumn<int>("size");
        // Unless None, all but the last byte wait unread first; then this ends the line.
        QTest::addColumn<End>("end");
        QTest::addColumn<QSerialPort::SerialPortError>("error");
        QTest::addColumn<bool>("lost");
        QTest::newRow("a batch and one")
            << SerialLink::kDeliveryBatch + 1 << None << QSerialPort::NoError << false;
        QTest::newRow("a backlog of 15 batches, then the line lost")
            << 15 * SerialLink::kDeliveryBatch << HangUp << QSerialPort::NoError << true;
        const auto errors = QMetaEnum::fromType<QSerialPort::SerialPortError>();
        for (int i = 0; i < errors.keyCount(); ++i) {
            const auto error = QSerialPort::SerialPortError(errors.value(i));
            const bool harmless = error == QSerialPort::NoError ||
                                  error == QSerialPort::TimeoutError ||
                                  error == QSerialPort::UnsupportedOperationError;
            for (const End end : {Signalled, InRead})
                QTest::addRow("%s%s", errors.key(i), end == InRead ? " in a read" : "")
                    << 3 * SerialLink::kDeliveryBatch << end << error << !harmless;
        }
    }
    void oneCharacterPerNotification()
    {
        QFETCH(int, size);
        QFETCH(End, end);
        QFETCH(QSerialPort::SerialPortError, error);
        QFETCH(bool, lost);
        open();
        std::string sent(std::size_t(size), '\0'), got;
        for (std::size_t i = 0; i < sent.size(); ++i)
            sent[i] = char(i * 7 + i / 256);
        const bool backlog = end != None;
        bool reading = !backlog;
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
        pty->write(sent.substr(0, sent.size() - 1));
        if (backlog) {
            QTRY_COMPARE(link->waitingCount(), qint64(sent.size() - 1)); // all in the program
            reading = true;
            if (end == HangUp)
                pty->close();
            else if (end == Signalled)
                emit port->errorOccurred(error);
            else
                port->failure = error;
        }
        if (!lost || end == InRead) // the last byte sets the reading going
            pty->write(sent.substr(sent.size() - 1));
        else // the line ended before it
            sent.pop_back();
        QTRY_COMPARE(got.size(), sent.size());
        QVERIFY(got == sent);
        if (backlog)
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

private:
    void open()
    {
        pty = std::make_unique<Pty>();
        port = new FailingPort;
        link.reset(new SerialLink(pty->path(), std::unique_ptr<QSerialPort>(port)));
        QVERIFY(link->setSettings(QStringLiteral("9600,n,8,1")) && link->setCommPort(1) &&
                link->setPortOpen(true));
    }
    std::unique_ptr<Pty> pty;
    std::unique_ptr<SerialLink> link;
    FailingPort *port = nullptr; // the link's
};

QTEST_GUILESS_MAIN(tst_SerialLink)
#include "tst_serial_link.moc"
