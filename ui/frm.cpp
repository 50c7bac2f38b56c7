// SPDX-License-Identifier: MIT
#include "frm.h"

#include "protocol/cp1252.h"
#include "protocol/frame.h"
#include "texts.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFontInfo>
#include <QFontMetrics>
#include <QIcon>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionFrame>

#include <algorithm>
#include <iterator>
#include <limits>
#include <utility>

namespace {

const QString kSettings = QStringLiteral("9600,n,8,1");
constexpr std::int16_t kTimeoutTicks = 20;
constexpr int kTickMs = 10;
constexpr int kFrameMs = 16;
// Below this a font is no longer readable; the window keeps the last size tried.
constexpr int kSmallestFontPx = 7;

QString fromLine(std::string_view bytes)
{
    return QString::fromStdU16String(Windows1252::toUnicode(bytes));
}

std::string toLine(const QString &text)
{
    return Windows1252::fromUnicode(text.toStdU16String());
}

// The part of a control its text is drawn in; whatever lies outside is clipped.
QRect textRoom(const QWidget &control)
{
    const QStyle *style = control.style();
    if (const auto *box = qobject_cast<const QLineEdit *>(&control)) {
        QStyleOptionFrame option;
        option.initFrom(box);
        const int frame = style->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, box);
        // Qt keeps 2 px between frame and text on either side.
        return box->rect()
            .adjusted(frame + 2, frame, -frame - 2, -frame)
            .marginsRemoved(box->textMargins());
    }
    if (const auto *button = qobject_cast<const QPushButton *>(&control)) {
        QStyleOptionButton option;
        option.initFrom(button);
        return style->subElementRect(QStyle::SE_PushButtonContents, &option, button);
    }
    return control.contentsRect();
}

bool showsWhole(const QWidget &control, const QString &text)
{
    const QFontMetrics fm = control.fontMetrics();
    const QRect room = textRoom(control);
    const int width = std::max(fm.horizontalAdvance(text), fm.boundingRect(text).width());
    return fm.height() <= room.height() && width <= room.width();
}

// For tests only: with TQ5_TRACE_TICKS set, each press, switch and tick of the timer, outcome and
// text put into the reply box is logged with the milliseconds since the press, so a test can
// follow the box without copying from it and tell a timer that stopped ticking from a box that
// was not updated. "1" writes to standard error, anything else names a file (under wine a GUI
// program's standard error may reach no pipe). Read once; unset, each event costs one test of
// on(), which callers make before building a line.
class TickTrace
{
public:
    static TickTrace &get()
    {
        static TickTrace trace;
        return trace;
    }
    void press()
    {
        if (!on())
            return;
        sincePress.start();
        ticks = 0;
        line(QStringLiteral("press"));
    }
    void tick(std::int16_t zaehler)
    {
        if (on())
            line(QStringLiteral("tick %1 TimeoutZaehler %2").arg(++ticks).arg(zaehler));
    }
    // One line as the box holds it: control characters and backslashes as \xNN.
    void box(const QString &text)
    {
        if (!on())
            return;
        QString shown;
        for (const QChar c : text)
            shown += c.unicode() < 0x20 || c == u'\\'
                ? QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'))
                : QString(c);
        line(QStringLiteral("box ") + shown);
    }
    void line(const QString &what)
    {
        if (on())
            file.write(QStringLiteral("%1 ms: %2\n").arg(sincePress.elapsed()).arg(what).toUtf8());
    }
    bool on() const { return file.isOpen(); }

private:
    TickTrace()
    {
        const QString where = qEnvironmentVariable("TQ5_TRACE_TICKS");
        if (where == QLatin1String("1")) {
            file.open(stderr, QIODevice::WriteOnly | QIODevice::Unbuffered);
        } else if (!where.isEmpty()) {
            file.setFileName(where);
            file.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
        }
        sincePress.start();
    }
    QFile file;
    QElapsedTimer sincePress;
    int ticks = 0;
};

} // namespace

frm::frm(QString port1Device, QWidget *parent)
    : QWidget(parent), MSComm1(std::move(port1Device)), ETX(1, Steuerzeichen::ETX),
      ACK(1, Steuerzeichen::ACK), NAK(1, Steuerzeichen::NAK)
{
    lbl_senden.setObjectName(QStringLiteral("lbl_senden"));
    txt_senden.setObjectName(QStringLiteral("txt_senden"));
    lbl_empfangen.setObjectName(QStringLiteral("lbl_empfangen"));
    txt_empfangen.setObjectName(QStringLiteral("txt_empfangen"));
    cmd_abfragen.setObjectName(QStringLiteral("cmd_abfragen"));
    TimerTimeout.setObjectName(QStringLiteral("TimerTimeout"));
    MSComm1.setObjectName(QStringLiteral("MSComm1"));
    ReplyRefresh.setObjectName(QStringLiteral("ReplyRefresh"));
    // Not drawn, but children like the rest, so the window can be searched for them.
    TimerTimeout.setParent(this);
    MSComm1.setParent(this);
    ReplyRefresh.setParent(this);

    // Screen readers say the name, then the kind of control, then the description.
    txt_senden.setAccessibleName(texts::commandName());
    txt_senden.setAccessibleDescription(texts::commandDescription());
    txt_empfangen.setAccessibleName(texts::replyName());
    txt_empfangen.setAccessibleDescription(texts::replyDescription());
    cmd_abfragen.setAccessibleName(texts::queryName());
    cmd_abfragen.setAccessibleDescription(texts::queryDescription());

    lbl_senden.setText(texts::sendLabel());
    lbl_empfangen.setText(texts::receiveLabel());
    cmd_abfragen.setText(texts::queryButton());
    txt_senden.setText(texts::defaultCommand());
    // Ordinary boxes with no length limit: a long command is still sent whole.
    txt_senden.setMaxLength(std::numeric_limits<int>::max());
    txt_empfangen.setMaxLength(std::numeric_limits<int>::max());

    TimerTimeout.setInterval(kTickMs);
    // A coarse timer may fire up to 5 % early; the timeout must never come before 21 ticks.
    TimerTimeout.setTimerType(Qt::PreciseTimer);

    connect(&cmd_abfragen, &QPushButton::clicked, this, &frm::cmd_abfragen_Click);
    connect(&MSComm1, &SerialLink::OnComm, this, &frm::MSComm1_OnComm);
    connect(&MSComm1, &SerialLink::portLost, this, &frm::MSComm1_PortLost);
    connect(&TimerTimeout, &QTimer::timeout, this, &frm::TimerTimeout_Timer);
    ReplyRefresh.setSingleShot(true);
    ReplyRefresh.setInterval(kFrameMs);
    connect(&ReplyRefresh, &QTimer::timeout, this, &frm::catchUpReply);
    TickTrace::get();

    layOut();
}

void frm::layOut()
{
    setWindowTitle(texts::caption());
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/tq5bus-16.xpm"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/icons/tq5bus-32.xpm"), QSize(32, 32));
    setWindowIcon(icon);
    // A fixed single frame: the controls never move, so no resizing and no maximise button.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);

    for (QWidget *w :
         {static_cast<QWidget *>(&lbl_senden), static_cast<QWidget *>(&txt_senden),
          static_cast<QWidget *>(&lbl_empfangen), static_cast<QWidget *>(&txt_empfangen),
          static_cast<QWidget *>(&cmd_abfragen)})
        w->setParent(this);

    // Positions at 96 dpi: 15 twips to the pixel, every value a whole pixel. Qt scales these
    // device-independent pixels to other densities.
    lbl_senden.setGeometry(24, 11, 43, 13);
    txt_senden.setGeometry(72, 8, 105, 19);
    lbl_empfangen.setGeometry(8, 35, 60, 13);
    txt_empfangen.setGeometry(72, 32, 105, 19);
    cmd_abfragen.setGeometry(72, 56, 105, 25);
    // Each label's rectangle shares its box's vertical centre, so centred text lines up.
    lbl_senden.setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    lbl_empfangen.setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    setFixedSize(182, 86);
    fitFont();

    cmd_abfragen.setAutoDefault(false);
    cmd_abfragen.setDefault(false);
    setTabOrder(&cmd_abfragen, &txt_empfangen);
    setTabOrder(&txt_empfangen, &txt_senden);
    cmd_abfragen.setFocus();

    if (const QScreen *s = screen())
        setGeometry(
            QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(), s->availableGeometry()));
}

// The desktop's font stays unless some text would be clipped; then only its pixel size goes down,
// one pixel at a time, until every text shows whole.
void frm::fitFont()
{
    const std::pair<const QWidget *, QString> shown[] = {
        {&lbl_senden, lbl_senden.text()},   {&lbl_empfangen, lbl_empfangen.text()},
        {&txt_senden, txt_senden.text()},   {&txt_empfangen, texts::checksumError()},
        {&txt_empfangen, texts::timeout()}, {&cmd_abfragen, cmd_abfragen.text()}};
    const auto allShown = [&] {
        return std::all_of(std::begin(shown), std::end(shown),
                           [](const auto &s) { return showsWhole(*s.first, s.second); });
    };
    QFont f = font();
    for (int px = QFontInfo(f).pixelSize() - 1; !allShown() && px >= kSmallestFontPx; --px) {
        f.setPixelSize(px);
        setFont(f);
    }
}

std::optional<PortError> frm::Form_Load()
{
    if (MSComm1.setSettings(kSettings) && MSComm1.setCommPort(1) && MSComm1.open())
        return std::nullopt;
    return MSComm1.lastError();
}

void frm::cmd_abfragen_Click()
{
    // A new query starts with the box up to date, and its own first outcome shows at once.
    catchUpReply();
    ReplyRefresh.stop();
    Empfangspuffer.clear();
    const std::string frame = buildFrame(toLine(txt_senden.text()));
    // A port lost since the last query gets one attempt to come back.
    const bool sent = MSComm1.open() && MSComm1.Output(frame);
    TickTrace::get().press();
    if (!sent) {
        enableTimerTimeout(false);
        showText(texts::portErrorText(MSComm1.lastError()));
        return;
    }
    TimeoutZaehler = kTimeoutTicks;
    enableTimerTimeout(true);
}

void frm::MSComm1_OnComm()
{
    receive(MSComm1.Input());
}

void frm::receive(const std::string &c)
{
    if (TickTrace::get().on())
        TickTrace::get().line(QStringLiteral("read %1 characters").arg(c.size()));
    const std::string_view P = Empfangspuffer.view();
    if (c == ETX) {
        if (frameIsGood(P)) {
            showBuffer(P, texts::etxMarker());
            enableTimerTimeout(false);
        } else {
            showText(texts::checksumError());
        }
    } else if (c == ACK) {
        showBuffer(P, texts::ackMarker());
        enableTimerTimeout(false);
    } else if (c == NAK) {
        showBuffer(P, texts::nakMarker());
        enableTimerTimeout(false);
    }
    Empfangspuffer.append(c);
}

void frm::TimerTimeout_Timer()
{
    TickTrace::get().tick(TimeoutZaehler);
    if (TimeoutZaehler <= 0) {
        showText(texts::timeout());
        enableTimerTimeout(false);
    } else {
        --TimeoutZaehler;
    }
}

void frm::MSComm1_PortLost(const PortError &error)
{
    enableTimerTimeout(false);
    showText(texts::portErrorText(error));
}

void frm::enableTimerTimeout(bool on)
{
    if (TickTrace::get().on())
        TickTrace::get().line(QLatin1String(on ? "timer on" : "timer off") +
                              QLatin1String(TimerTimeout.isActive() ? ", was on" : ", was off"));
    if (on)
        TimerTimeout.start();
    else
        TimerTimeout.stop();
}

void frm::showBuffer(std::string_view buffer, const QString &suffix)
{
    const bool held = ReplyRefresh.isActive();
    if (TickTrace::get().on())
        TickTrace::get().line(QStringLiteral("outcome %1, %2 buffered characters, %3")
                                  .arg(suffix, QString::number(buffer.size()),
                                       QLatin1String(held ? "held for the next frame" : "shown")));
    if (!held) {
        putReply(fromLine(buffer) + suffix);
        return;
    }
    // Kept as bytes: most are overtaken before they could be seen, so most are never decoded.
    behindLine.assign(buffer);
    behindSuffix = suffix;
    replyBehind = true;
}

void frm::putReply(const QString &text)
{
    txt_empfangen.setText(text);
    // From its first character, as a text box given a new text shows it; a long one scrolls.
    txt_empfangen.setCursorPosition(0);
    TickTrace::get().box(txt_empfangen.text());
    replyBehind = false;
    ReplyRefresh.start();
}

void frm::catchUpReply()
{
    if (!replyBehind)
        return;
    TickTrace::get().line(QStringLiteral("held outcome shown"));
    putReply(replyText());
}

QString frm::replyText() const
{
    return replyBehind ? fromLine(behindLine) + behindSuffix : txt_empfangen.text();
}
