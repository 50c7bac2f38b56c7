#include "sim/pty.h"
#include "ui/frm.h"
#include "ui/startup.h"

#include <QAccessible>
#include <QApplication>
#include <QFile>
#include <QImageReader>
#include <QScreen>
#include <QTest>

#include <memory>

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
        QTest::addColumn<QString>("text");

        QTest::newRow("lbl_senden") << QRect(24, 11, 43, 13) << "Senden :"
                                    << "Senden :";
        QTest::newRow("txt_senden") << QRect(72, 8, 105, 19) << "Senden"
                                    << "G01K01P00=";
        QTest::newRow("lbl_empfangen") << QRect(8, 35, 60, 13) << "Empfangen :"
                                       << "Empfangen :";
        QTest::newRow("txt_empfangen") << QRect(72, 32, 105, 19) << "Empfangen"
                                       << "";
        QTest::newRow("cmd_abfragen") << QRect(72, 56, 105, 25) << "Abfragen"
                                      << "Abfragen";
    }
    void controls()
    {
        QFETCH(QRect, rect);
        QFETCH(QString, accessibleName);
        QFETCH(QString, text);

        const QString name = QTest::currentDataTag();
        QWidget *w = control(name);
        QVERIFY(w && w->isVisible());
        QCOMPARE(w->geometry(), rect);
        QCOMPARE(w->property("text").toString(), text);
        QCOMPARE(QAccessible::queryAccessibleInterface(w)->text(QAccessible::Name), accessibleName);
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
