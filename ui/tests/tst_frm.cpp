// SPDX-License-Identifier: MIT
#include "protocol/cp1252.h"
#include "protocol/frame.h"
#include "sim/pty.h"
#include "ui/frm.h"
#include "ui/startup.h"
#include "ui/texts.h"

#include <QAccessible>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QKeySequence>
#include <QMenu>
#include <QProcess>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <termios.h>
#include <unistd.h>

namespace {
const std::string kDefaultFrame("G01K01P00=41\x03");
const QString kNoOtherPort("\n\nDieser Rechner hat keine andere serielle Schnittstelle. Schließen "
                           "Sie das Gerät über einen USB-Seriell-Adapter an und starten Sie "
                           "dieses Programm mit ihm als Port 1, zum Beispiel:\n  tq5bus-port1 "
                           "/dev/ttyUSB0");
constexpr qsizetype kBound = ReceiveBuffer::kDefaultBound;

QByteArray qb(std::string_view s)
{
    return QByteArray(s.data(), qsizetype(s.size()));
}
std::string bytes(const QByteArray &b)
{
    return std::string(b.constData(), std::size_t(b.size()));
}
QString shown(std::string_view line)
{
    return QString::fromStdU16String(Windows1252::toUnicode(line));
}
} // namespace

// The window as a user and a device meet it: the real window offscreen, a pseudo-terminal line.
class tst_Frm : public QObject
{
    Q_OBJECT

    void open(const QString &port)
    {
        form = std::make_unique<frm>(port);
        QCOMPARE(startForm(*form,
                           [](const PortError &e) { QFAIL(qPrintable(texts::portErrorLine(e))); }),
                 0);
        box = control<QLineEdit>("txt_empfangen");
        timer = form->findChild<QTimer *>(QStringLiteral("TimerTimeout"));
        link = form->findChild<SerialLink *>(QStringLiteral("MSComm1"));
        QVERIFY(box && timer && link);
    }
    template <typename T = QWidget> T *control(const char *name) const
    {
        return form->findChild<T *>(QLatin1String(name));
    }
    void press() { QTest::mouseClick(control("cmd_abfragen"), Qt::LeftButton); }
    // The device sends; the program has read every character, and the reply box caught up
    // with the outcomes, before this returns. `caughtUpAtOnce`: already as the last one was read.
    void device(std::string_view sent)
    {
        QSignalSpy reads(link, &SerialLink::OnComm);
        const auto last = connect(link, &SerialLink::OnComm, this,
                                  [&] { caughtUpAtOnce = reply() == form->replyText(); });
        pty->write(sent);
        QTRY_COMPARE_WITH_TIMEOUT(reads.size(), qsizetype(sent.size()), 20000);
        disconnect(last);
        QTRY_COMPARE(reply(), form->replyText());
    }
    QString reply() const { return box->text(); }

    std::unique_ptr<Pty> pty;
    std::unique_ptr<frm> form;
    QLineEdit *box = nullptr;
    QTimer *timer = nullptr;
    SerialLink *link = nullptr;
    bool caughtUpAtOnce = false;

public:
    // Started with TQ5_HOLD set, this program is another one holding that port: open until its
    // standard input closes, or until it is killed, which leaves its lock behind.
    static void initMain()
    {
        const QString port = qEnvironmentVariable("TQ5_HOLD");
        if (port.isEmpty())
            return;
        int status = 1;
        {
            int argc = 1;
            char name[] = "holder", *argv[] = {name, nullptr};
            QCoreApplication app(argc, argv);
            SerialLink link(port);
            if (link.setSettings(QStringLiteral("9600,n,8,1")) && link.setCommPort(1) &&
                link.open()) {
                std::puts("held");
                std::fflush(stdout);
                while (std::getchar() != EOF) {
                }
                status = 0;
            }
        }
        std::exit(status);
    }

private slots:
    void init()
    {
        pty = std::make_unique<Pty>();
        // The line as another program may have left it: the window sets every setting itself.
        termios line{};
        tcgetattr(pty->masterFd(), &line);
        cfsetspeed(&line, B4800);
        line.c_cflag |= CSTOPB | CRTSCTS;
        line.c_iflag |= IXON | IXOFF;
        tcsetattr(pty->masterFd(), TCSANOW, &line);
        open(pty->path());
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
    }
    void cleanup() { form.reset(); }

    void opens()
    {
        QCOMPARE(form->windowTitle(), QStringLiteral("TQ5-Bus-Protokoll"));
        QCOMPARE(form->size(), QSize(182, 86));
        QCOMPARE(form->minimumSize(), form->maximumSize());
        const QPoint centre = form->screen()->availableGeometry().center();
        QVERIFY((form->frameGeometry().center() - centre).manhattanLength() <= 1);
        QCOMPARE(form->windowIcon().availableSizes().size(), 2);
        QCOMPARE(QApplication::focusWidget(), control("cmd_abfragen"));
        QVERIFY(!form->waiting());
        QCOMPARE(timer->interval(), 10);
        QCOMPARE(timer->timerType(), Qt::PreciseTimer);
        // 9600 8N1 without flow control, read back from the device's end of the line.
        termios line{};
        QCOMPARE(tcgetattr(pty->masterFd(), &line), 0);
        QCOMPARE(cfgetispeed(&line), speed_t(B9600));
        QCOMPARE(cfgetospeed(&line), speed_t(B9600));
        QCOMPARE(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t(CS8));
        QCOMPARE(line.c_iflag & (IXON | IXOFF), tcflag_t(0));
    }

    void controls_data()
    {
        QTest::addColumn<QRect>("rect"); // twips divided by 15
        QTest::addColumn<QString>("text");
        // What a screen reader says before and after the control's kind, through AT-SPI and UI
        // Automation alike.
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("description");
        QTest::newRow("lbl_senden") << QRect(24, 11, 43, 13) << "Senden :"
                                    << "Senden :" << QString();
        QTest::newRow("txt_senden")
            << QRect(72, 8, 105, 19) << "G01K01P00="
            << "Befehl zum Senden"
            << "Wird beim Abfragen mit Prüfsumme an das Gerät an Port 1 gesendet.";
        QTest::newRow("lbl_empfangen") << QRect(8, 35, 60, 13) << "Empfangen :"
                                       << "Empfangen :" << QString();
        QTest::newRow("txt_empfangen")
            << QRect(72, 32, 105, 19) << ""
            << "Empfangene Antwort"
            << "Die Antwort des Geräts auf die letzte Abfrage oder eine Fehlermeldung.";
        QTest::newRow("cmd_abfragen") << QRect(72, 56, 105, 25) << "Abfragen"
                                      << "Abfragen"
                                      << "Sendet den Befehl und zeigt die Antwort des Geräts.";
    }
    void controls()
    {
        QFETCH(QRect, rect);
        QFETCH(QString, text);
        QFETCH(QString, name);
        QFETCH(QString, description);
        QWidget *w = control(QTest::currentDataTag());
        QVERIFY(w && w->isVisible());
        QCOMPARE(w->geometry(), rect);
        QCOMPARE(w->property("text").toString(), text);
        const QAccessibleInterface *read = QAccessible::queryAccessibleInterface(w);
        QCOMPARE(read->text(QAccessible::Name), name);
        QCOMPARE(read->text(QAccessible::Description), description);
        if (auto *label = qobject_cast<QLabel *>(w))
            QCOMPARE(label->alignment(), Qt::AlignLeft | Qt::AlignVCenter);
        // Qt's own menu in German, the shortcuts' modifier too; which keys varies by platform.
        if (auto *edit = qobject_cast<QLineEdit *>(w)) {
            const std::unique_ptr<QMenu> menu(edit->createStandardContextMenu());
            QStringList texts;
            for (const QAction *a : menu->actions())
                texts << a->text();
            QCOMPARE(texts.join(u'|').remove(QRegularExpression("\tStrg\\+[^|]+")),
                     "&Rückgängig|Wieder&herstellen||&Ausschneiden|&Kopieren|Einf&ügen|Löschen||"
                     "Alles auswählen");
        }
    }

    // Where each key leaves the focus, and that only Space on the button sends.
    void keys_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("key");
        QTest::addColumn<QString>("focus");
        const char *cycle[] = {"cmd_abfragen", "txt_empfangen", "txt_senden", "cmd_abfragen"};
        for (int i = 0; i < 3; ++i) {
            QTest::addRow("%s, Tab", cycle[i]) << cycle[i] << int(Qt::Key_Tab) << cycle[i + 1];
            QTest::addRow("%s, Shift+Tab", cycle[i + 1])
                << cycle[i + 1] << int(Qt::Key_Backtab) << cycle[i];
        }
        for (const char *box : {"txt_senden", "txt_empfangen"})
            for (const int key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape})
                QTest::addRow("%s, %s", box, qPrintable(QKeySequence(key).toString()))
                    << box << key << box;
        QTest::newRow("button, Space") << "cmd_abfragen" << int(Qt::Key_Space) << "cmd_abfragen";
    }
    void keys()
    {
        QFETCH(QString, target);
        QFETCH(int, key);
        QFETCH(QString, focus);
        form->findChild<QWidget *>(target)->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key(key),
                        key == Qt::Key_Backtab ? Qt::ShiftModifier : Qt::NoModifier);
        QCOMPARE(QApplication::focusWidget()->objectName(), focus);
        if (key != Qt::Key_Space) {
            QCOMPARE(pty->drain(100), std::string());
            press(); // the line works: a press does send
        }
        QCOMPARE(pty->read(kDefaultFrame.size()), kDefaultFrame);
    }

    void outcome_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("shown"); // over what the user typed into the reply box
        QTest::addColumn<bool>("waiting");

        // A query still waiting after the answer ends in the timeout, on the 21st tick.
        QTest::newRow("silence") << QByteArray() << "von Hand" << true;
        QTest::newRow("ACK") << QByteArray("\x06") << "{ACK}" << false;
        QTest::newRow("NAK") << QByteArray("\x15") << "{NAK}" << false;
        QTest::newRow("good reply") << QByteArray("OK9A\x03") << "OK9A{ETX}" << false;
        QTest::newRow("lowercase checksum") << QByteArray("OK9a\x03") << "Prüfsummenfehler" << true;
        QTest::newRow("bare ETX") << QByteArray("\x03") << "Prüfsummenfehler" << true;
        QTest::newRow("ACK then reply: ACK enters the payload")
            << QByteArray("\x06OK9A\x03") << "Prüfsummenfehler" << false;
        QTest::newRow("bad reply, good reply, ACK")
            << QByteArray("OK9B\x03OK9A\x03\x06") << "OK9B\x03OK9A\x03{ACK}" << false;
        QTest::newRow("echoed command") << qb(kDefaultFrame) << "G01K01P00=41{ETX}" << false;

        // Shown in Windows-1252, NUL and all, and counted by the checksum; the longest fills
        // the buffer to the byte with its checksum and ETX.
        std::string all;
        for (int b = 0; b < 256; ++b) {
            if (b != Steuerzeichen::ETX && b != Steuerzeichen::ACK && b != Steuerzeichen::NAK)
                all.push_back(char(b));
        }
        const std::string longest = bytes(qb(all).repeated(20).left(kBound - 3));
        for (const auto &[text, sum] : {std::pair(all, "62"), std::pair(longest, "6A")}) {
            const std::string reply = text + sum;
            QTest::addRow("reply of %zu bytes", text.size())
                << qb(reply + Steuerzeichen::ETX) << shown(reply) + "{ETX}" << false;
        }

        // Noise three times the buffer's bound, the control characters strewn in, then an ACK:
        // the buffer keeps the newest characters, and the ACK shows them.
        std::string flood(3 * kBound + 123, 'x');
        for (std::size_t i = 0; i < flood.size(); ++i)
            flood[i] = i % 211 == 0    ? Steuerzeichen::ETX
                       : i % 997 == 0  ? Steuerzeichen::ACK
                       : i % 1499 == 0 ? Steuerzeichen::NAK
                                       : "ab\xFF\x00.~ 9"[i * 7919 % 8];
        QTest::newRow("flood, then ACK")
            << qb(flood + Steuerzeichen::ACK)
            << shown(std::string_view(flood).substr(flood.size() - kBound)) + "{ACK}" << false;
    }
    void outcome()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QString, shown);
        QFETCH(bool, waiting);

        QTest::keyClicks(box, "von Hand");
        QSignalSpy ticks(timer, &QTimer::timeout);
        QElapsedTimer sincePress;
        sincePress.start();
        press();
        QCOMPARE(pty->read(kDefaultFrame.size()), kDefaultFrame);
        device(bytes(answer));
        QCOMPARE(reply(), shown);
        // A lone outcome shows at once; only a quick succession waits for the next frame.
        if (answer.count('\x03') + answer.count('\x06') + answer.count('\x15') == 1)
            QVERIFY(caughtUpAtOnce);
        if (!answer.isEmpty()) // from its first character, however long
            QCOMPARE(box->cursorPosition(), 0);
        QCOMPARE(form->waiting(), waiting);
        QCOMPARE(qb(form->receiveBuffer()), answer.right(kBound));
        if (!waiting)
            return;
        // A real event loop: QTRY's naps would stretch a tick shorter than 10 ms.
        while (form->waiting() && ticks.wait(1000)) {
        }
        QCOMPARE(reply(), QStringLiteral("Fehler : Timeout"));
        QCOMPARE(ticks.count(), 21);
        QVERIFY2(sincePress.elapsed() >= 200, qPrintable(QString::number(sincePress.elapsed())));
        QVERIFY(!form->waiting());
        QCOMPARE(qb(form->receiveBuffer()), answer);
        // What comes after the wait is classified all the same.
        device("\x15");
        QCOMPARE(reply(), QString::fromLatin1(answer + "{NAK}"));
    }

    // Whatever the box holds is sent as one frame: past 16 bits of length and sum, control
    // characters as they are, '?' for what the code page lacks (a surrogate pair is one).
    void hostileCommandIsSentWhole()
    {
        const QString text =
            QString::fromUtf16(u"a\0\x03\x06\x15z\U0001F600\xD800x\xDC00\x4E2D\x0080", 13) +
            QStringLiteral("G01K01P00=Ä€").repeated(4000);
        const QByteArray payload = QByteArray("a\0\x03\x06\x15z??x???", 12) +
                                   QByteArray("G01K01P00=\xC4\x80").repeated(4000);
        control<QLineEdit>("txt_senden")->setText(text);
        QCOMPARE(control<QLineEdit>("txt_senden")->text(), text);
        press();
        QVERIFY(form->waiting());
        const std::string frame = bytes(payload) + "CC\x03";
        QVERIFY(pty->read(frame.size(), 20000) == frame);
    }

    void portLossIsReportedAndThePressReopens_data()
    {
        QTest::addColumn<bool>("waiting");
        QTest::newRow("lost while waiting") << true;
        QTest::newRow("lost while idle") << false;
    }
    void portLossIsReportedAndThePressReopens()
    {
        QFETCH(bool, waiting);
        // The window opens a name pointed at whichever pseudo-terminal is the device now. Qt
        // locks a port by its name, so the name is this run's own; it looks like a placeholder,
        // which the message must show as it is.
        QTemporaryDir dir;
        const QString port = dir.filePath(QStringLiteral("port%1"));
        QVERIFY(QFile::link(pty->path(), port));
        open(port);

        press();
        QCOMPARE(pty->read(kDefaultFrame.size()), kDefaultFrame);
        if (!waiting)
            device("\x06");
        QCOMPARE(form->waiting(), waiting);
        pty->close();
        // A hang-up reads the same whichever Qt.
        QTRY_COMPARE(reply(), QStringLiteral("Fehler : Port 1 getrennt: nicht mehr verfügbar (6)"));
        QCOMPARE(box->cursorPosition(), 0); // the start of a text longer than the box
        QVERIFY(!form->waiting());

        // Still gone, and so is its name (a freed pseudo-terminal's number may go to anyone).
        QVERIFY(QFile::remove(port));
        press();
        QCOMPARE(reply(), QStringLiteral("Fehler : Port 1 (%1) ist nicht vorhanden (1)").arg(port));
        QVERIFY(!form->waiting());

        pty = std::make_unique<Pty>();
        QVERIFY(QFile::link(pty->path(), port));
        press();
        QCOMPARE(pty->read(kDefaultFrame.size()), kDefaultFrame);
        QVERIFY(form->waiting());
        device("\x06");
        QCOMPARE(reply(), QStringLiteral("{ACK}"));
    }

    // Each kind of failure in the user's words, the same for root and anyone else (%1: the
    // device). A refusal leaves the window unshown and the program's status 1.
    void startupFailureIsReported_data()
    {
        QTest::addColumn<QString>("holder");
        QTest::addColumn<QString>("shown");
        QTest::newRow("missing") << "/nonexistent/ttyS0"
                                 << "Fehler 1: Port 1 (%1) ist nicht vorhanden." + kNoOtherPort;
        QTest::newRow("not a terminal")
            << "/dev/null"
            << "Fehler 7: Port 1 (%1) ist keine serielle Schnittstelle oder nimmt die "
               "Einstellungen 9600,n,8,1 nicht an.\nSystemmeldung: Inappropriate ioctl for device" +
                   kNoOtherPort;
        QTest::newRow("held by another program")
            << "live"
            << "Fehler 2: Port 1 (%1) wird von einem anderen Programm benutzt.\nBeenden Sie das "
               "andere Programm und starten Sie dieses Programm neu.";
        QTest::newRow("no permission")
            << "unreadable"
            << "Fehler 2: Keine Berechtigung für Port 1 (%1).\nNehmen Sie Ihr Benutzerkonto in "
               "die Gruppe des Ports auf (meist „dialout“), melden Sie sich neu an und starten Sie "
               "dieses Programm neu.";
        // A program that died holding the port leaves its lock behind: not a refusal.
        QTest::newRow("lock of a killed program") << "killed" << QString();
    }
    void startupFailureIsReported()
    {
        QFETCH(QString, holder);
        QFETCH(QString, shown);
        form.reset();   // init()'s window lets go of the port
        QProcess other; // another program holding the port: this one, see initMain()
        if (holder == u"live" || holder == u"killed") {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("TQ5_HOLD"), pty->path());
            other.setProcessEnvironment(env);
            other.start(QCoreApplication::applicationFilePath(), {});
            QVERIFY(other.waitForReadyRead(5000) && other.readLine() == "held\n");
        }
        if (holder == u"killed") {
            other.kill();
            QVERIFY(other.waitForFinished(5000));
            pty->clearExclusive();
        }
        if (holder == u"unreadable") {
            if (geteuid() == 0)
                QSKIP("root may open any device");
            QVERIFY(QFile::setPermissions(pty->path(), {}));
        }
        const QString device = holder.startsWith(u'/') ? holder : pty->path();
        frm second(device);
        // Listing the machine's ports would open its 8250 ports, the real port 1 among them.
        second.findChild<SerialLink *>(QStringLiteral("MSComm1"))->setPortLister([] {
            return std::vector<PortInfo>{};
        });
        std::vector<PortError> reported;
        QCOMPARE(startForm(second, [&](const PortError &e) { reported.push_back(e); }),
                 shown.isEmpty() ? 0 : 1);
        QCOMPARE(second.isVisible(), shown.isEmpty());
        other.closeWriteChannel(); // a live holder lets go, and takes its lock with it
        QVERIFY(other.state() == QProcess::NotRunning || other.waitForFinished(5000));
        if (shown.isEmpty()) {
            second.cmd_abfragen_Click();
            QCOMPARE(pty->read(kDefaultFrame.size()), kDefaultFrame);
        }
        QCOMPARE(reported.size(), std::size_t(shown.isEmpty() ? 0 : 1));
        if (!shown.isEmpty())
            QCOMPARE(texts::startupErrorText(reported[0], PortSystem::Linux), shown.arg(device));
    }

    // Where port 1 itself is the trouble, the box names the ports the machine has, but not port
    // 1 or a pseudo-terminal, and how to make the first port 1, in the system's own terms.
    void startupBoxOffersOtherPorts_data()
    {
        QTest::addColumn<bool>("windows");
        QTest::addColumn<QStringList>("ports"); // name|description|manufacturer[|usb]
        QTest::addColumn<QString>("shown");     // after the first line
        const QString linux1 = "\n\nDieses Programm benutzt nur Port 1. Weitere serielle "
                               "Schnittstellen dieses Rechners:\n";
        const QString windows1 = "\n\nDieses Programm benutzt nur COM1. Weitere serielle "
                                 "Schnittstellen dieses Rechners:\n";
        const QString devices = "\n\nSo wird COM3 zu COM1:\nGeräte-Manager → Anschlüsse (COM & "
                                "LPT) → %1 → Eigenschaften → Anschlusseinstellungen → "
                                "Erweitert… → COM-Anschlussnummer: COM1 → OK.\nStarten Sie "
                                "danach dieses Programm neu.";
        QTest::newRow("linux, no port")
            << false << QStringList{"%1|port 1|", "%2|another pty|"} << kNoOtherPort;
        QTest::newRow("windows, no port")
            << true << QStringList{"COM1||"}
            << "\n\nDieser Rechner hat keine andere serielle Schnittstelle. Schließen Sie das "
               "Gerät über einen USB-Seriell-Adapter an, geben Sie ihm im Geräte-Manager die "
               "Nummer COM1 und starten Sie dieses Programm neu.";
        QTest::newRow("linux, several: adapters first, sorted, quoted, long and empty descriptions")
            << false
            << QStringList{"/dev/ttyS1|" + QString(70, u'x') + "|", "/dev/ttyUSB10|||usb",
                           "/dev/tty'1|Prolific\nPL2303|Prolific|usb"}
            << linux1 + "  /dev/tty'1 – Prolific PL2303\n  /dev/ttyUSB10\n  /dev/ttyS1 – " +
                   QString(59, u'x') +
                   "…\n\nSo starten Sie dieses Programm mit /dev/tty'1 als Port 1:\n  "
                   "tq5bus-port1 '/dev/tty'\\''1'";
        // Windows names ignore case: com1 is port 1.
        QTest::newRow("windows, COM3 beside COM1")
            << true << QStringList{"com1|Kommunikationsanschluss|", "COM3|USB-SERIAL CH340|wch.cn"}
            << windows1 + "  COM3 – USB-SERIAL CH340 (wch.cn)" +
                   devices.arg("„USB-SERIAL CH340 (COM3)“");
        QStringList many;
        for (int i = 12; i >= 3; --i)
            many << QStringLiteral("COM%1||").arg(i);
        QTest::newRow("windows, ten ports, no descriptions")
            << true << many
            << windows1 +
                   "  COM3\n  COM4\n  COM5\n  COM6\n  COM7\n  COM8\n  COM9\n  COM10\n  … und "
                   "2 weitere" +
                   devices.arg("COM3");
    }
    void startupBoxOffersOtherPorts()
    {
        QFETCH(bool, windows);
        QFETCH(QStringList, ports);
        QFETCH(QString, shown);
        const Pty other;
        std::vector<PortInfo> listed;
        for (const QString &p : ports) {
            const QStringList f =
                QString(p).replace("%1", pty->path()).replace("%2", other.path()).split(u'|');
            listed.push_back({f[0], f[1], f[2], f.value(3) == u"usb"});
        }
        const PortSystem system = windows ? PortSystem::Windows : PortSystem::Linux;
        const QString port1 = SerialLink::deviceForPort(system, 1);
        PortError e{PortError::Kind::Missing, 1, {}, 1, port1};
        e.standInHelps = true;
        e.others = SerialLink::standInsAmong(system, listed, windows ? port1 : pty->path());
        QCOMPARE(texts::startupErrorText(e, system),
                 QStringLiteral("Fehler 1: Port 1 (%1) ist nicht vorhanden.")
                         .arg(windows ? "COM1" : "/dev/ttyS0") +
                     shown);
    }
};

QTEST_MAIN(tst_Frm)
#include "tst_frm.moc"
