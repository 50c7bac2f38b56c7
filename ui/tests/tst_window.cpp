#include "sim/pty.h"
#include "ui/frm.h"
#include "ui/startup.h"

#include <QAccessible>
#include <QApplication>
#include <QFile>
#include <QImageReader>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionFrame>
#include <QTest>

#include <algorithm>
#include <memory>

namespace {
// Whether a text shows whole in the part of the control its style draws text in.
bool fits(const QWidget &w, const QString &text)
{
    QRect room = w.contentsRect();
    if (qobject_cast<const QLineEdit *>(&w)) {
        QStyleOptionFrame o;
        o.initFrom(&w);
        o.lineWidth = w.style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &o, &w);
        // A line edit keeps 2 px between its contents' edge and the text.
        room = w.style()->subElementRect(QStyle::SE_LineEditContents, &o, &w).adjusted(2, 0, -2, 0);
    } else if (qobject_cast<const QPushButton *>(&w)) {
        QStyleOptionButton o;
        o.initFrom(&w);
        room = w.style()->subElementRect(QStyle::SE_PushButtonContents, &o, &w);
    }
    const QFontMetrics fm = w.fontMetrics();
    return fm.height() <= room.height() &&
           std::max(fm.horizontalAdvance(text), fm.boundingRect(text).width()) <= room.width();
}
} // namespace

// The window as the user meets it, with a pseudo-terminal as the line. The exchange's outcomes
// themselves are tst_frm's business.
class tst_Window : public QObject
{
    Q_OBJECT

    QWidget *control(const QString &name) const { return form->findChild<QWidget *>(name); }
    void press() { QTest::mouseClick(control("cmd_abfragen"), Qt::LeftButton); }

    std::unique_ptr<Pty> pty;
    std::unique_ptr<frm> form;

private slots:
    void init()
    {
        pty = std::make_unique<Pty>();
        QVERIFY(pty->isValid());
        form = std::make_unique<frm>(pty->path());
        QCOMPARE(startForm(*form, [](const PortError &e) { QFAIL(qPrintable(e.text)); }), 0);
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
    }

    void controls_data()
    {
        QTest::addColumn<QRect>("rect"); // twips divided by 15
        QTest::addColumn<QString>("accessibleName");
        QTest::addColumn<QStringList>("texts"); // the initial one first, then all it may show

        QTest::newRow("lbl_senden")
            << QRect(24, 11, 43, 13) << "Senden :" << QStringList{"Senden :"};
        QTest::newRow("txt_senden")
            << QRect(72, 8, 105, 19) << "Senden" << QStringList{"G01K01P00="};
        QTest::newRow("lbl_empfangen")
            << QRect(8, 35, 60, 13) << "Empfangen :" << QStringList{"Empfangen :"};
        // The reply box's longest outcomes.
        QTest::newRow("txt_empfangen") << QRect(72, 32, 105, 19) << "Empfangen"
                                       << QStringList{"", "Prüfsummenfehler", "Fehler : Timeout"};
        QTest::newRow("cmd_abfragen")
            << QRect(72, 56, 105, 25) << "Abfragen" << QStringList{"Abfragen"};
    }
    void controls()
    {
        QFETCH(QRect, rect);
        QFETCH(QString, accessibleName);
        QFETCH(QStringList, texts);

        const QString name = QTest::currentDataTag();
        QWidget *w = control(name);
        QVERIFY(w && w->isVisible());
        QCOMPARE(w->geometry(), rect);
        QCOMPARE(w->property("text").toString(), texts.front());
        QCOMPARE(QAccessible::queryAccessibleInterface(w)->text(QAccessible::Name), accessibleName);
        for (const QString &text : texts)
            QVERIFY2(fits(*w, text), qPrintable(text));
        if (auto *label = qobject_cast<QLabel *>(w))
            QCOMPARE(label->alignment(), Qt::AlignLeft | Qt::AlignVCenter);
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
            for (const auto &[name, key] : {std::pair{"Return", Qt::Key_Return},
                                            {"Enter", Qt::Key_Enter},
                                            {"Escape", Qt::Key_Escape}})
                QTest::addRow("%s, %s", box, name) << box << int(key) << box;
        QTest::newRow("button, Space") << "cmd_abfragen" << int(Qt::Key_Space) << "cmd_abfragen";
    }
    void keys()
    {
        QFETCH(QString, target);
        QFETCH(int, key);
        QFETCH(QString, focus);

        control(target)->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key(key),
                        key == Qt::Key_Backtab ? Qt::ShiftModifier : Qt::NoModifier);
        QCOMPARE(QApplication::focusWidget()->objectName(), focus);
        if (key != Qt::Key_Space) {
            QCOMPARE(pty->drain(100), std::string());
            press(); // the line works: a press does send
        }
        QCOMPARE(pty->read(12), std::string("G01K01P00=41\x03"));
    }

    void editedCommandIsTheNextFrame_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QByteArray>("frame");

        QTest::newRow("another") << "G02K01P00=" << QByteArray("G02K01P00=42\x03");
        QTest::newRow("spaces kept") << " A " << QByteArray(" A 81\x03");
        QTest::newRow("empty") << "" << QByteArray("00\x03");
    }
    void editedCommandIsTheNextFrame()
    {
        QFETCH(QString, typed);
        QFETCH(QByteArray, frame);

        QWidget *command = control("txt_senden");
        QTest::keyClick(command, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(command, Qt::Key_Delete);
        QTest::keyClicks(command, typed);
        press();
        QCOMPARE(QByteArray::fromStdString(pty->read(std::size_t(frame.size()))), frame);
    }

    void typedReplyStaysUntilTheNextOutcome_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<QByteArray>("last"); // settles the outcome
        QTest::addColumn<QString>("shown");

        QTest::newRow("good reply") << QByteArray("OK9A") << QByteArray("\x03") << "OK9A{ETX}";
        QTest::newRow("checksum") << QByteArray("OK9B") << QByteArray("\x03") << "Prüfsummenfehler";
        QTest::newRow("timeout") << QByteArray() << QByteArray() << "Fehler : Timeout";
    }
    void typedReplyStaysUntilTheNextOutcome()
    {
        QFETCH(QByteArray, head);
        QFETCH(QByteArray, last);
        QFETCH(QString, shown);

        auto *reply = qobject_cast<QLineEdit *>(control("txt_empfangen"));
        QTest::keyClicks(reply, "von Hand");
        press();
        pty->write(head.toStdString());
        QTRY_COMPARE(form->receiveBuffer().size(), std::size_t(head.size()));
        QCOMPARE(reply->text(), QStringLiteral("von Hand"));
        pty->write(last.toStdString());
        QTRY_COMPARE(reply->text(), shown);
    }

    // The Windows .ico is kept in the sources: it must show the drawings, in 16 colours.
    void icoMatchesTheDrawings()
    {
        QFile file(QStringLiteral(TQ5_DESKTOP_DIR "/tq5bus.ico"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray directory = file.read(6 + 16 * 2);
        QImageReader reader(file.fileName(), "ico");
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(int(directory.at(12 + 16 * i)), 4); // bits per pixel
            QVERIFY(reader.jumpToImage(i));
            const QImage drawing(QStringLiteral(":/icons/tq5bus-%1.xpm").arg(32 >> i));
            QCOMPARE(reader.read().convertToFormat(QImage::Format_ARGB32),
                     drawing.convertToFormat(QImage::Format_ARGB32));
        }
    }
};

QTEST_MAIN(tst_Window)
#include "tst_window.moc"
