#include "ui/frm.h"

#include <QApplication>
#include <QFile>
#include <QImageReader>
#include <QScopeGuard>
#include <QSet>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionFrame>
#include <QTest>

#include <algorithm>
#include <memory>

namespace {
// Where a control draws its text, as its style lays it out; text outside is clipped.
QRect textRoom(const QWidget &w)
{
    if (qobject_cast<const QLineEdit *>(&w)) {
        QStyleOptionFrame option;
        option.initFrom(&w);
        option.lineWidth = w.style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, &w);
        option.state |= QStyle::State_Sunken;
        // A line edit leaves 2 px between its contents' edge and the text.
        return w.style()
            ->subElementRect(QStyle::SE_LineEditContents, &option, &w)
            .adjusted(2, 0, -2, 0);
    }
    if (qobject_cast<const QPushButton *>(&w)) {
        QStyleOptionButton option;
        option.initFrom(&w);
        return w.style()->subElementRect(QStyle::SE_PushButtonContents, &option, &w);
    }
    return w.contentsRect();
}

bool fits(const QWidget &w, const QString &text)
{
    const QFontMetrics fm = w.fontMetrics();
    const QRect room = textRoom(w);
    return fm.height() <= room.height() &&
           std::max(fm.horizontalAdvance(text), fm.boundingRect(text).width()) <= room.width();
}

// Whether anything but background was drawn on a label's right, top or bottom edge, as a clipped
// text is. Left-aligned text starts on the left edge.
bool inkOnEdge(QLabel &label)
{
    const QImage image = label.grab().toImage();

    const QRgb background = label.palette().color(label.backgroundRole()).rgb();
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const bool edge = y == 0 || x == image.width() - 1 || y == image.height() - 1;
            if (edge && image.pixel(x, y) != background)
                return true;
        }
    return false;
}
} // namespace

// How the window looks: every text whole in its control, the desktop's font changed only as far
// as that needs, and the icon files. No port is opened.
class tst_Look : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void textsShowWhole_data();
    void textsShowWhole();
    void fontIsChangedOnlyWhenItMustBe_data();
    void fontIsChangedOnlyWhenItMustBe();
    void iconFilesMatchTheDrawings_data();
    void iconFilesMatchTheDrawings();

private:
    QWidget *control(const QString &name) const { return form->findChild<QWidget *>(name); }

    std::unique_ptr<frm> form;
};

void tst_Look::init()
{
    form = std::make_unique<frm>(QStringLiteral("/nonexistent/ttyS0"));
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
}

void tst_Look::cleanup()
{
    form.reset();
}

void tst_Look::textsShowWhole_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");

    QTest::newRow("Senden :") << "lbl_senden"
                              << "Senden :";
    QTest::newRow("Empfangen :") << "lbl_empfangen"
                                 << "Empfangen :";
    QTest::newRow("default command") << "txt_senden"
                                     << "G01K01P00=";
    for (const char *shown :
         {"{ACK}", "{NAK}", "OK9A{ETX}", "Prüfsummenfehler", "Fehler : Timeout"})
        QTest::newRow(shown) << "txt_empfangen" << QString::fromUtf8(shown);
    QTest::newRow("Abfragen") << "cmd_abfragen"
                              << "Abfragen";
}

void tst_Look::textsShowWhole()
{
    QFETCH(QString, name);
    QFETCH(QString, text);

    QWidget *w = control(name);
    const QFontMetrics fm = w->fontMetrics();
    const QRect room = textRoom(*w);
    QVERIFY2(fits(*w, text), qPrintable(QStringLiteral("%1 px wide, %2 px high in %3 x %4")
                                            .arg(fm.horizontalAdvance(text))
                                            .arg(fm.height())
                                            .arg(room.width())
                                            .arg(room.height())));
    if (auto *label = qobject_cast<QLabel *>(w))
        QVERIFY(!inkOnEdge(*label));
}

void tst_Look::fontIsChangedOnlyWhenItMustBe_data()
{
    QTest::addColumn<int>("desktopPx"); // 0: the desktop's own font
    QTest::addColumn<int>("changed");   // -1: whatever this desktop needs

    QTest::newRow("desktop default") << 0 << -1;
    QTest::newRow("small desktop font fits") << 8 << 0;
    QTest::newRow("large desktop font") << 24 << 1;
}

void tst_Look::fontIsChangedOnlyWhenItMustBe()
{
    QFETCH(int, desktopPx);
    QFETCH(int, changed);

    const QFont original = QApplication::font();
    QFont desktop = original;
    if (desktopPx)
        desktop.setPixelSize(desktopPx);
    QApplication::setFont(desktop);
    const auto restore = qScopeGuard([&] { QApplication::setFont(original); });

    frm second(QStringLiteral("/nonexistent/ttyS0"));
    const QList<std::pair<QString, QString>> texts = {{"lbl_senden", "Senden :"},
                                                      {"lbl_empfangen", "Empfangen :"},
                                                      {"txt_senden", "G01K01P00="},
                                                      {"txt_empfangen", "Prüfsummenfehler"},
                                                      {"txt_empfangen", "Fehler : Timeout"},
                                                      {"cmd_abfragen", "Abfragen"}};
    const auto allFit = [&] {
        return std::all_of(texts.begin(), texts.end(), [&](const auto &t) {
            return fits(*second.findChild<QWidget *>(t.first), t.second);
        });
    };
    QVERIFY(allFit());
    const bool set = second.testAttribute(Qt::WA_SetFont);
    if (changed >= 0)
        QCOMPARE(set, bool(changed));
    if (!set) {
        QCOMPARE(second.font(), desktop);
        return;
    }
    // Only the size went down, and by no more than it had to.
    QFont font = second.font();
    QCOMPARE(QFontInfo(font).family(), QFontInfo(desktop).family());
    QCOMPARE(font.weight(), desktop.weight());
    QVERIFY(font.pixelSize() < QFontInfo(desktop).pixelSize());
    font.setPixelSize(font.pixelSize() + 1);
    second.setFont(font);
    QVERIFY(!allFit());
}

void tst_Look::iconFilesMatchTheDrawings_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("16 x 16") << 16;
    QTest::newRow("32 x 32") << 32;
}

// The window's icon comes from the shipped drawings; the Windows .ico must show the same pixels
// in 16 colours.
void tst_Look::iconFilesMatchTheDrawings()
{
    QFETCH(int, size);

    const QImage drawing = QImage(QStringLiteral(":/icons/tq5bus-%1.xpm").arg(size))
                               .convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(drawing.size(), QSize(size, size));
    QSet<QRgb> colours;
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x)
            if (qAlpha(drawing.pixel(x, y)))
                colours.insert(drawing.pixel(x, y));
    QVERIFY(colours.size() > 1 && colours.size() <= 16);

    const QString icoPath = QStringLiteral(TQ5_DESKTOP_DIR "/tq5bus.ico");
    QFile icoFile(icoPath);
    QVERIFY(icoFile.open(QIODevice::ReadOnly));
    const QByteArray ico = icoFile.readAll();
    QImageReader reader(icoPath, "ico");
    QCOMPARE(reader.imageCount(), 2);
    bool found = false;
    for (int i = 0; i < reader.imageCount(); ++i) {
        QVERIFY(reader.jumpToImage(i));
        const QImage image = reader.read().convertToFormat(QImage::Format_ARGB32);
        if (image.size() != drawing.size())
            continue;
        found = true;
        QCOMPARE(int(ico.at(6 + 16 * i + 6)), 4); // bits per pixel in the directory entry
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x) {
                const QRgb want = drawing.pixel(x, y);
                const QRgb got = image.pixel(x, y);
                QCOMPARE(qAlpha(got), qAlpha(want));
                if (qAlpha(want))
                    QCOMPARE(got, want);
            }
    }
    QVERIFY(found);
}

QTEST_MAIN(tst_Look)
#include "tst_look.moc"
