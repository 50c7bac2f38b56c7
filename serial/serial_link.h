// SPDX-License-Identifier: MIT
#pragma once

#include "serial/platform.h"

#include <QObject>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// A serial port of the machine as the system describes it.
struct PortInfo
{
    QString name; // what the user selects it by: COM3, /dev/ttyUSB0
    QString description;
    QString manufacturer;
    bool usb =
        false; // an adapter someone plugged in, more likely the device's than a built-in port
};

// What went wrong with the port, as data; the window words it.
struct PortError
{
    enum class Kind {
        None,
        BadSettings,   // a settings string the link does not take
        BadPortNumber, // below 1
        NoPortChosen,
        AlreadyOpen, // the port number cannot change while open
        NotOpen,
        Missing,      // no such device, or the one that was open went away
        NoHardware,   // the node is there, but no UART or adapter behind it
        NoPermission, // this user may not open it
        InUse,        // another program holds it
        NotSerial,    // not a serial port, or it refuses the settings
        OpenFailed,   // any other failure to open
        WriteFailed,  // the system did not take the whole frame
        LostReading,  // failed while open: a read error
        LostWriting,  // failed while open: a write error
        Disconnected, // failed while open: hung up, unplugged
    };
    Kind kind = Kind::None;
    int number = 0;     // the port layer's error number, which the user is shown
    QString systemText; // the system's own words, where it had any
    int port = 0;       // the port number asked for
    QString device;     // the device that number stands for
    QString settings;   // the settings string, for the kinds about settings
    // Port 1 itself is unusable (missing, no hardware, not a serial port), so another port made
    // port 1 would help; `others` are the ones the machine has.
    bool standInHelps = false;
    std::vector<PortInfo> others;
};

// The one serial port: configured by a settings string and a port number, opened once,
// written a frame at a time and read one character per notification. It takes whatever the
// system has ready in one read of its own and hands it on a character at a time, so a busy line
// costs one system call per chunk, not per character.
class SerialLink : public QObject
{
    Q_OBJECT

public:
    // An empty device means the machine's own port 1; tests pass a pseudo-terminal instead.
    explicit SerialLink(QString port1Device = {}, QObject *parent = nullptr);
    ~SerialLink() override;

    // Each returns false and sets lastError() when it fails.
    // "baud,parity,data bits,stop bits"; the device speaks no parity, 8 data bits and 1 stop bit
    // only, so anything else is refused.
    bool setSettings(const QString &settings);
    bool setCommPort(std::int16_t port);
    bool open(); // an open port stays open
    bool portOpen() const { return port_->isOpen(); }

    // Hands the whole frame to the port without waiting for it to leave.
    bool Output(const std::string &frame);
    // At most one received character; empty when none waits.
    std::string Input();
    PortError lastError() const { return lastError_; }

    // Characters handed on before the event loop gets a turn: about a millisecond's work, so a
    // flood of any length never holds up the timer or the window.
    static constexpr int kDeliveryBatch = 4096;
    // What Qt may hold beyond that before it stops reading the line, so a device that outruns
    // the window holds back in the system instead of growing memory.
    static constexpr int kPortBuffer = 64 * 1024;

    // The device name port `number` stands for on `system`.
    static QString deviceForPort(PortSystem system, int number);
    // Whether two names are the same port on `system`: Windows names ignore case; on Linux a
    // link or a bind mount over port 1 is still port 1.
    static bool samePort(PortSystem system, const QString &a, const QString &b);
    // The serial ports the system lists, none of them opened; tests hand in a list of their own.
    static std::vector<PortInfo> systemPorts();
    using PortLister = std::function<std::vector<PortInfo>()>;
    void setPortLister(PortLister lister) { portLister_ = std::move(lister); }
    // Those of `ports` that could stand in for `port1`, in the order they are shown: not port 1
    // itself, and on Linux nothing that is no usable port (pseudo-terminals, 8250 ports with no
    // UART); USB adapters first.
    static std::vector<PortInfo> standInsAmong(PortSystem system, std::vector<PortInfo> ports,
                                               const QString &port1);

signals:
    // A received character waits to be read: once per character, until none is left or nobody
    // reads.
    void OnComm();
    // The open port failed (device gone, read or write error) and has been closed; sent once,
    // after the notifications for every character received before the failure.
    void portLost(const PortError &error);

private:
    // On a port of the test's making, which fails as a platform's port may.
    friend class tst_SerialLink;
    SerialLink(QString port1Device, std::unique_ptr<QSerialPort> port, QObject *parent = nullptr);

    PortError errorOf(PortError::Kind kind, int number, const QString &systemText = {}) const;
    bool fail(PortError::Kind kind, int number, const QString &systemText = {});
    QString device() const;
    bool failToOpen();
    void onPortError(QSerialPort::SerialPortError error);
    void closeLostPort();
    void closePort();
    bool refill();
    void deliver();
    void deliverLater();
    void discardReceived();

    std::unique_ptr<QSerialPort> port_;
    std::unique_ptr<QSocketNotifier> hangUpWatch_; // where the platform has one; null elsewhere
    QString port1Device_;
    int portNumber_ = 0; // 0: none chosen
    QString settings_;
    qint32 baudRate_ = 9600;
    PortError lastError_;
    QByteArray received_; // read from the port, handed on from `next_`
    qsizetype next_ = 0;
    std::uint64_t reads_ = 0;
    PortLister portLister_ = &SerialLink::systemPorts;
    bool wasOpen_ = false; // a failed open then means the device went away
    bool deliveryPosted_ = false;
    bool delivering_ = false;
    std::optional<PortError> lossToReport_;
    std::optional<QSerialPort::SerialPortError> pendingLoss_; // noted, the port not closed yet
};
