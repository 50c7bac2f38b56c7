#pragma once

#include <QObject>
#include <QSerialPort>
#include <QString>

#include <cstdint>
#include <string>

// A port layer error: the number and text the user is shown.
struct PortError
{
    int number = 0;
    QString text;
};

// The one serial port: configured by a settings string and a port number, opened once,
// written a frame at a time and read one character per notification.
class SerialLink : public QObject
{
    Q_OBJECT

public:
    // An empty device means the machine's own port 1; tests pass a pseudo-terminal instead.
    explicit SerialLink(QString port1Device = {}, QObject *parent = nullptr);

    // Each returns false and sets lastError() when it fails.
    bool setSettings(const QString &settings); // "baud,parity,data bits,stop bits"
    bool setCommPort(std::int16_t port);
    bool setPortOpen(bool open);
    bool portOpen() const { return port_.isOpen(); }

    // Hands the whole frame to the port without waiting for it to leave.
    bool Output(const std::string &frame);
    // At most one received character; empty when none waits.
    std::string Input();

    PortError lastError() const { return lastError_; }

    // The device name port `number` stands for on this platform.
    static QString deviceForPort(int number);

signals:
    // Received characters wait to be read.
    void OnComm();
    // The open port failed (device gone, read or write error) and has been closed.
    void portLost(const PortError &error);

private:
    bool fail(int number, const QString &text);
    void onPortError(QSerialPort::SerialPortError error);

    QSerialPort port_;
    QString port1Device_;
    QString device_;
    qint32 baudRate_ = 9600;
    QSerialPort::Parity parity_ = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits_ = QSerialPort::Data8;
    QSerialPort::StopBits stopBits_ = QSerialPort::OneStop;
    PortError lastError_;
};
