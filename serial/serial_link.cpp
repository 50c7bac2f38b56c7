#include "serial_link.h"

#include <QStringList>

SerialLink::SerialLink(QString port1Device, QObject *parent)
    : QObject(parent), port1Device_(std::move(port1Device))
{
    connect(&port_, &QSerialPort::readyRead, this, &SerialLink::OnComm);
    connect(&port_, &QSerialPort::errorOccurred, this, &SerialLink::onPortError);
}

QString SerialLink::deviceForPort(int number)
{
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(number);
#else
    return QStringLiteral("/dev/ttyS%1").arg(number - 1);
#endif
}

bool SerialLink::fail(int number, const QString &text)
{
    lastError_ = {number, text};
    return false;
}

bool SerialLink::setSettings(const QString &settings)
{
    const auto invalid = [&] {
        return fail(QSerialPort::UnsupportedOperationError,
                    QStringLiteral("Ungültige Einstellungen \"%1\"").arg(settings));
    };
    const QStringList parts = settings.split(u',');
    if (parts.size() != 4)
        return invalid();

    bool ok = false;
    const int baud = parts[0].trimmed().toInt(&ok);
    if (!ok || baud <= 0)
        return invalid();

    const QString parityLetter = parts[1].trimmed().toLower();
    if (parityLetter.size() != 1)
        return invalid();
    QSerialPort::Parity parity;
    switch (parityLetter[0].unicode()) {
    case u'n': parity = QSerialPort::NoParity; break;
    case u'e': parity = QSerialPort::EvenParity; break;
    case u'o': parity = QSerialPort::OddParity; break;
    case u'm': parity = QSerialPort::MarkParity; break;
    case u's': parity = QSerialPort::SpaceParity; break;
    default: return invalid();
    }

    const int bits = parts[2].trimmed().toInt(&ok);
    if (!ok || bits < 5 || bits > 8)
        return invalid();

    const QString stop = parts[3].trimmed();
    QSerialPort::StopBits stopBits;
    if (stop == u"1")
        stopBits = QSerialPort::OneStop;
    else if (stop == u"1.5")
        stopBits = QSerialPort::OneAndHalfStop;
    else if (stop == u"2")
        stopBits = QSerialPort::TwoStop;
    else
        return invalid();

    baudRate_ = baud;
    parity_ = parity;
    dataBits_ = static_cast<QSerialPort::DataBits>(bits);
    stopBits_ = stopBits;
    return true;
}

bool SerialLink::setCommPort(std::int16_t port)
{
    if (port_.isOpen())
        return fail(QSerialPort::OpenError, QStringLiteral("Port ist bereits geöffnet"));
    if (port < 1)
        return fail(QSerialPort::DeviceNotFoundError,
                    QStringLiteral("Ungültige Portnummer %1").arg(port));
    device_ = (port == 1 && !port1Device_.isEmpty()) ? port1Device_ : deviceForPort(port);
    return true;
}

bool SerialLink::setPortOpen(bool open)
{
    if (!open) {
        port_.close();
        return true;
    }
    if (port_.isOpen())
        return true;
    if (device_.isEmpty())
        return fail(QSerialPort::DeviceNotFoundError, QStringLiteral("Kein Port gewählt"));

    port_.setPortName(device_);
    port_.setBaudRate(baudRate_);
    port_.setParity(parity_);
    port_.setDataBits(dataBits_);
    port_.setStopBits(stopBits_);
    port_.setFlowControl(QSerialPort::NoFlowControl);
    // One byte per notification: the exchange recognises ETX, ACK and NAK only as reads of
    // their own, and Qt re-notifies after each read while more bytes wait.
    port_.setReadBufferSize(1);
    if (!port_.open(QIODevice::ReadWrite))
        return fail(port_.error(), port_.errorString());
    return true;
}

bool SerialLink::Output(const std::string &frame)
{
    if (!port_.isOpen())
        return fail(QSerialPort::NotOpenError, QStringLiteral("Port ist nicht geöffnet"));
    const qint64 written = port_.write(frame.data(), qint64(frame.size()));
    if (written != qint64(frame.size()))
        return fail(QSerialPort::WriteError, port_.errorString());
    return true;
}

std::string SerialLink::Input()
{
    char c;
    if (port_.isOpen() && port_.read(&c, 1) == 1)
        return std::string(1, c);
    return {};
}

void SerialLink::onPortError(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::ReadError:
    case QSerialPort::WriteError:
    case QSerialPort::ResourceError: {
        // A hung-up line keeps the notifier firing and spins a core until the port is closed.
        if (!port_.isOpen())
            return;
        // Qt's text for a hang-up is whatever errno held last, so the port says it itself.
        const PortError lost{error, error == QSerialPort::ReadError
                                        ? QStringLiteral("Lesefehler, Verbindung zum Gerät verloren")
                                    : error == QSerialPort::WriteError
                                        ? QStringLiteral("Schreibfehler, Verbindung zum Gerät verloren")
                                        : QStringLiteral("Port nicht mehr verfügbar")};
        port_.close();
        lastError_ = lost;
        emit portLost(lost);
        return;
    }
    default:
        // NoError comes with every open; ioctls a pty refuses leave the port usable.
        return;
    }
}
