// SPDX-License-Identifier: MIT
#include "serial/serial_link.h"
#include "sim/pty.h"

#include <QTest>

#include <QTimer>

#include <memory>

// The port as the window uses it: what comes in is handed on a character at a time.
class tst_SerialLink : public QObject
{
    Q_OBJECT

private slots:
    // Read in bulk, handed on one character per notification, every byte value in order. A
    // backlog never keeps the event loop from its turn, and what the program received before
    // the line went is still handed on, then the loss reported once.
    void oneCharacterPerNotification_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("backlog"); // all but the last byte wait unread first
        QTest::addColumn<bool>("lost");    // then the line goes instead of the last byte
        QTest::newRow("a batch and one") << SerialLink::kDeliveryBatch + 1 << false << false;
        QTest::newRow("a backlog of 15 batches")
            << 15 * SerialLink::kDeliveryBatch << true << false;
        QTest::newRow("the same, then the line lost")
            << 15 * SerialLink::kDeliveryBatch << true << true;
    }
    void oneCharacterPerNotification()
    {
        QFETCH(int, size);
        QFETCH(bool, backlog);
        QFETCH(bool, lost);
        open();
        std::string sent(std::size_t(size), '\0'), got;
        for (std::size_t i = 0; i < sent.size(); ++i)
            sent[i] = char(i * 7 + i / 256);
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
        if (backlog) {
            pty->write(sent.substr(0, sent.size() - 1));
            QTRY_COMPARE(link->waitingCount(), qint64(sent.size() - 1)); // all in the program
            reading = true;
            if (lost) {
                sent.pop_back();
                pty->close();
            } else {
                pty->write(sent.substr(sent.size() - 1));
            }
        } else {
            pty->write(sent);
        }
        QTRY_COMPARE(got.size(), sent.size());
        QVERIFY(got == sent);
        if (backlog)
            QVERIFY2(atTurn < sent.size(), "the event loop waited for the whole backlog");
        QTRY_COMPARE(losses, int(lost));
        QCOMPARE(link->portOpen(), !lost);
    }

private:
    void open()
    {
        pty = std::make_unique<Pty>();
        link = std::make_unique<SerialLink>(pty->path());
        QVERIFY(link->setSettings(QStringLiteral("9600,n,8,1")) && link->setCommPort(1) &&
                link->setPortOpen(true));
    }
    std::unique_ptr<Pty> pty;
    std::unique_ptr<SerialLink> link;
};

QTEST_GUILESS_MAIN(tst_SerialLink)
#include "tst_serial_link.moc"
