// SPDX-License-Identifier: MIT
#pragma once

#include "receive_buffer.h"
#include "serial/serial_link.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <optional>
#include <string>

// The query window: sends the command text as one frame and shows how the device answered.
// Controls carry their names as object names, so tests and UI automation find them.
class frm : public QWidget
{
    Q_OBJECT

public:
    // An empty device means the machine's own port 1; tests pass a pseudo-terminal instead.
    explicit frm(QString port1Device = {}, QWidget *parent = nullptr);

    // Opens port 1; the port layer's error when it cannot, and the window must not be shown.
    std::optional<PortError> Form_Load();
    void cmd_abfragen_Click();
    void MSComm1_OnComm();
    void TimerTimeout_Timer();
    // The port failed after start-up and was closed: the wait ends with the error shown.
    void MSComm1_PortLost(const PortError &error);

    std::string_view receiveBuffer() const { return Empfangspuffer.view(); }
    bool waiting() const { return TimerTimeout.isActive(); }
    // What the reply box shows, or will show within a frame while outcomes come faster.
    QString replyText() const;

private:
    // Feeds reads of its own making, several characters at once too.
    friend struct FuzzReads;

    // Classifies one read's worth of received characters and buffers it.
    void receive(const std::string &c);
    void layOut();
    // TimerTimeout.Enabled = on; every switch is traced for the tests.
    void enableTimerTimeout(bool on);
    void fitFont();
    void showText(const QString &text) { showBuffer({}, text); }
    void showBuffer(std::string_view buffer, const QString &suffix);
    void putReply(const QString &text);
    void catchUpReply();

    QLabel lbl_senden;
    QLineEdit txt_senden;
    QLabel lbl_empfangen;
    QLineEdit txt_empfangen;
    QPushButton cmd_abfragen;
    QTimer TimerTimeout;
    SerialLink MSComm1;
    // Only the last text set before the window paints can be seen, and laying out a full
    // buffer takes about a millisecond: while outcomes come faster than the screen refreshes,
    // the box takes the latest once a frame. The first after a quiet frame shows at once.
    QTimer ReplyRefresh;
    bool replyBehind = false;
    std::string behindLine;
    QString behindSuffix;

    const std::string ETX;
    const std::string ACK;
    const std::string NAK;
    ReceiveBuffer Empfangspuffer;
    std::int16_t TimeoutZaehler = 0;
};
