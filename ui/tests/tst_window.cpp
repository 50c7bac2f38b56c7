#include "tests/pty.h"
#include "ui/frm.h"
#include "ui/startup.h"

#include <QAccessible>
#include <QApplication>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>
#include <QTest>

#include <memory>

namespace {
const std::string kDefaultFrame("G01K01P00=41\x03");
} // namespace

// The window as the user meets it: layout, focus and keys, with a pseudo-terminal as the line.
// The exchange's outcomes themselves are tst_frm's business, the looks tst_look's.
class tst_Window : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void opensAsDrawn();
    void controls_data();
    void controls();
    void geometry_data();
    void geometry();
    void tabCycle_data();
    void tabCycle();
    void enterAndEscapeInABoxSendNothing_data();
    void enterAndEscapeInABoxSendNothing();
    void spacePressesTheFocusedButton();
    void editedCommandIsTheNextFrame_data();
    void editedCommandIsTheNextFrame();
    void typedReplyStaysUntilTheNextOutcome_data();
    void typedReplyStaysUntilTheNextOutcome();

private:
    template <typename T = QWidget> T *control(const QString &name) const
    {
        return form->findChild<T *>(name);
    }
    void press() { QTest::mouseClick(control<QPushButton>("cmd_abfragen"), Qt::LeftButton); }

    std::unique_ptr<Pty> pty;
    std::unique_ptr<frm> form;
};

void tst_Window::init()
{
    pty = std::make_unique<Pty>();
    QVERIFY(pty->isValid());
    form = std::make_unique<frm>(pty->path());
    QCOMPARE(startForm(*form, [](const PortError &e) { QFAIL(qPrintable(e.text)); }), 0);
    QVERIFY(QTest::qWaitForWindowActive(form.get()));
}

void tst_Window::cleanup()
{
    form.reset();
    pty.reset();
}

void tst_Window::opensAsDrawn()
{
    QCOMPARE(form->windowTitle(), QStringLiteral("TQ5-Bus-Protokoll"));
    QCOMPARE(form->size(), QSize(182, 86));
    QCOMPARE(form->minimumSize(), form->maximumSize());
    QVERIFY(!(form->windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(form->findChildren<QMenuBar *>().isEmpty());
    QVERIFY(form->findChildren<QStatusBar *>().isEmpty());

    const QPoint offCentre =
        form->frameGeometry().center() - form->screen()->availableGeometry().center();
    QVERIFY2(offCentre.manhattanLength() <= 1,
             qPrintable(QString::number(offCentre.x()) + ',' + QString::number(offCentre.y())));

    QCOMPARE(QApplication::focusWidget(), control("cmd_abfragen"));
    const auto sizes = form->windowIcon().availableSizes();
    QVERIFY(sizes.contains(QSize(16, 16)) && sizes.contains(QSize(32, 32)));

    auto *timer = form->findChild<QTimer *>(QStringLiteral("TimerTimeout"));
    QVERIFY(timer && !timer->isActive());
    QCOMPARE(timer->interval(), 10);
    QObject *link = form->findChild<SerialLink *>(QStringLiteral("MSComm1"));
    QVERIFY(link && !link->isWidgetType());
}

void tst_Window::controls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("accessibleName");

    QTest::newRow("lbl_senden") << "lbl_senden"
                                << "Senden :"
                                << "Senden :";
    QTest::newRow("txt_senden") << "txt_senden"
                                << "G01K01P00="
                                << "Senden";
    QTest::newRow("lbl_empfangen") << "lbl_empfangen"
                                   << "Empfangen :"
                                   << "Empfangen :";
    QTest::newRow("txt_empfangen") << "txt_empfangen"
                                   << ""
                                   << "Empfangen";
    QTest::newRow("cmd_abfragen") << "cmd_abfragen"
                                  << "Abfragen"
                                  << "Abfragen";
}

// Texts as the user sees them and names as a screen reader finds them.
void tst_Window::controls()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(QString, accessibleName);

    QWidget *w = control(name);
    QVERIFY(w && w->isVisible());
    QCOMPARE(w->property("text").toString(), text);
    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(w);
    QVERIFY(accessible);
    QCOMPARE(accessible->text(QAccessible::Name), accessibleName);
}

void tst_Window::geometry_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("rect");
    QTest::addColumn<QString>("box"); // a label's box, which it is centred on

    // Twips divided by 15.
    QTest::newRow("lbl_senden") << "lbl_senden" << QRect(24, 11, 43, 13) << "txt_senden";
    QTest::newRow("txt_senden") << "txt_senden" << QRect(72, 8, 105, 19) << "";
    QTest::newRow("lbl_empfangen") << "lbl_empfangen" << QRect(8, 35, 60, 13) << "txt_empfangen";
    QTest::newRow("txt_empfangen") << "txt_empfangen" << QRect(72, 32, 105, 19) << "";
    QTest::newRow("cmd_abfragen") << "cmd_abfragen" << QRect(72, 56, 105, 25) << "";
}

void tst_Window::geometry()
{
    QFETCH(QString, name);
    QFETCH(QRect, rect);
    QFETCH(QString, box);

    QCOMPARE(control(name)->geometry(), rect);
    if (box.isEmpty())
        return;
    auto *label = control<QLabel>(name);
    QCOMPARE(label->alignment(), Qt::AlignLeft | Qt::AlignVCenter);
    const QRectF boxRect = control(box)->geometry();
    QCOMPARE(QRectF(label->geometry()).center().y(), boxRect.center().y());
    QVERIFY(label->geometry().right() < boxRect.left());
}

void tst_Window::tabCycle_data()
{
    QTest::addColumn<bool>("backwards");
    QTest::addColumn<QStringList>("focus");

    QTest::newRow("Tab") << false
                         << QStringList{"txt_empfangen", "txt_senden", "cmd_abfragen",
                                        "txt_empfangen"};
    QTest::newRow("Shift+Tab") << true
                               << QStringList{"txt_senden", "txt_empfangen", "cmd_abfragen",
                                              "txt_senden"};
}

void tst_Window::tabCycle()
{
    QFETCH(bool, backwards);
    QFETCH(QStringList, focus);

    for (const QString &next : focus) {
        QWidget *current = QApplication::focusWidget();
        QVERIFY(current);
        if (backwards)
            QTest::keyClick(current, Qt::Key_Backtab, Qt::ShiftModifier);
        else
            QTest::keyClick(current, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget()->objectName(), next);
    }
}

void tst_Window::enterAndEscapeInABoxSendNothing_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<int>("key");

    for (const char *box : {"txt_senden", "txt_empfangen"})
        for (const auto &[name, key] :
             {std::pair{"Return", Qt::Key_Return}, std::pair{"Enter", Qt::Key_Enter},
              std::pair{"Escape", Qt::Key_Escape}})
            QTest::addRow("%s, %s", box, name) << box << int(key);
}

void tst_Window::enterAndEscapeInABoxSendNothing()
{
    QFETCH(QString, box);
    QFETCH(int, key);

    QWidget *w = control(box);
    w->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), w);
    QTest::keyClick(w, Qt::Key(key));
    QCOMPARE(pty->drain(100), std::string());
    QVERIFY(!form->waiting());
    QVERIFY(form->isVisible());
    QCOMPARE(control<QLineEdit>("txt_empfangen")->text(), QString());

    // The line works: a press does send.
    press();
    QCOMPARE(pty->read(kDefaultFrame.size()), kDefaultFrame);
}

void tst_Window::spacePressesTheFocusedButton()
{
    auto *button = control<QPushButton>("cmd_abfragen");
    QCOMPARE(QApplication::focusWidget(), button);
    QTest::keyClick(button, Qt::Key_Space);
    QCOMPARE(pty->read(kDefaultFrame.size()), kDefaultFrame);
    QVERIFY(form->waiting());
}

void tst_Window::editedCommandIsTheNextFrame_data()
{
    QTest::addColumn<bool>("selectAll");
    QTest::addColumn<int>("backspaces");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QByteArray>("frame");

    QTest::newRow("replaced") << true << 0 << "G02K01P00=" << QByteArray("G02K01P00=42\x03");
    QTest::newRow("appended") << false << 0 << "1" << QByteArray("G01K01P00=172\x03");
    QTest::newRow("shortened") << false << 1 << "" << QByteArray("G01K01P0004\x03");
    QTest::newRow("emptied") << true << 1 << "" << QByteArray("00\x03");
    QTest::newRow("spaces kept") << true << 0 << " A " << QByteArray(" A 81\x03");
}

void tst_Window::editedCommandIsTheNextFrame()
{
    QFETCH(bool, selectAll);
    QFETCH(int, backspaces);
    QFETCH(QString, typed);
    QFETCH(QByteArray, frame);

    auto *command = control<QLineEdit>("txt_senden");
    QTest::mouseClick(command, Qt::LeftButton);
    QTest::keyClick(command, Qt::Key_End);
    if (selectAll)
        QTest::keyClick(command, Qt::Key_A, Qt::ControlModifier);
    for (int i = 0; i < backspaces; ++i)
        QTest::keyClick(command, Qt::Key_Backspace);
    QTest::keyClicks(command, typed);

    press();
    QCOMPARE(QByteArray::fromStdString(pty->read(std::size_t(frame.size()))), frame);
    press(); // the edit stays for the next query too
    QCOMPARE(QByteArray::fromStdString(pty->read(std::size_t(frame.size()))), frame);
}

void tst_Window::typedReplyStaysUntilTheNextOutcome_data()
{
    QTest::addColumn<QByteArray>("answer"); // the last character settles the outcome
    QTest::addColumn<QString>("shown");

    QTest::newRow("ACK") << QByteArray("\x06") << "{ACK}";
    QTest::newRow("good reply") << QByteArray("OK9A\x03") << "OK9A{ETX}";
    QTest::newRow("checksum error") << QByteArray("OK9B\x03") << "Prüfsummenfehler";
    QTest::newRow("timeout") << QByteArray() << "Fehler : Timeout";
}

void tst_Window::typedReplyStaysUntilTheNextOutcome()
{
    QFETCH(QByteArray, answer);
    QFETCH(QString, shown);

    auto *reply = control<QLineEdit>("txt_empfangen");
    QTest::mouseClick(reply, Qt::LeftButton);
    QTest::keyClicks(reply, "von Hand");
    QCOMPARE(reply->text(), QStringLiteral("von Hand"));

    press();
    QCOMPARE(pty->read(kDefaultFrame.size()), kDefaultFrame);
    QCOMPARE(reply->text(), QStringLiteral("von Hand"));
    if (answer.isEmpty()) {
        QTRY_COMPARE(reply->text(), shown);
        return;
    }
    const auto send = [&](const QByteArray &bytes) {
        const std::size_t expected = form->receiveBuffer().size() + std::size_t(bytes.size());
        pty->write(bytes.toStdString());
        QTRY_COMPARE(form->receiveBuffer().size(), expected);
    };
    send(answer.chopped(1));
    QCOMPARE(reply->text(), QStringLiteral("von Hand"));
    send(answer.right(1));
    QCOMPARE(reply->text(), shown);
}

QTEST_MAIN(tst_Window)
#include "tst_window.moc"
