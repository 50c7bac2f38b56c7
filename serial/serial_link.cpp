// SPDX-License-Identifier: MIT
#include "serial_link.h"
#include "port_list.h"

#include <QPointer>
#include <QSerialPortInfo>
#include <QStringList>

#include <algorithm>
#include <tuple>
#include <utility>

namespace {

// A description from the system is shown as one line of plain text.
QString oneLine(QString text)
{
    for (QChar &c : text)
        if (c.isSpace() || c.category() == QChar::Other_Control)
            c = u' ';
    return text.simplified();
}

} // namespace

SerialLink::SerialLink(QString port1Device, QObject *parent)
    : SerialLink(std::move(port1Device), std::make_unique<QSerialPort>(), parent)
{
}

SerialLink::SerialLink(QString port1Device, std::unique_ptr<QSerialPort> port, QObject *parent)
    : QObject(parent), port_(std::move(port)), port1Device_(std::move(port1Device))
{
    connect(port_.get(), &QSerialPort::readyRead, this, [this] {
        // A continuation already due takes what came too: one batch per turn.
        if (!deliveryPosted_)
            deliver();
    });
    connect(port_.get(), &QSerialPort::errorOccurred, this, &SerialLink::onPortError);
}

SerialLink::~SerialLink()
{
    // Closing a failed port may still signal an error, with nobody left to take it.
    disconnect(port_.get(), nullptr, this, nullptr);
    closePort();
}

QString SerialLink::deviceForPort(PortSystem system, int number)
{
    if (system == PortSystem::Windows)
        return QStringLiteral("COM%1").arg(number);
    return QStringLiteral("/dev/ttyS%1").arg(number - 1);
}

bool SerialLink::samePort(PortSystem system, const QString &a, const QString &b)
{
    if (system == PortSystem::Windows)
        return a.compare(b, Qt::CaseInsensitive) == 0;
    const auto na = platform::deviceNumber(a);
    return na ? na == platform::deviceNumber(b) : a == b;
}

std::vector<PortInfo> SerialLink::systemPorts()
{
    if (platform::hostSystem() == PortSystem::Linux)
        return sysfsPorts(); // availablePorts() would open every 8250 port to look for a UART
    std::vector<PortInfo> ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        ports.push_back(
            {info.portName(), info.description(), info.manufacturer(), info.hasVendorIdentifier()});
    return ports;
}

std::vector<PortInfo> SerialLink::standInsAmong(PortSystem system, std::vector<PortInfo> ports,
                                                const QString &port1)
{
    std::erase_if(ports, [&](const PortInfo &p) {
        return p.name.isEmpty() || samePort(system, p.name, port1) ||
               (system == PortSystem::Linux && platform::unusable(p.name));
    });
    for (PortInfo &p : ports) {
        p.description = oneLine(p.description);
        p.manufacturer = oneLine(p.manufacturer);
    }
    // Adapters first, the first of them the one the box makes port 1; COM3 before COM10.
    std::sort(ports.begin(), ports.end(), [](const PortInfo &a, const PortInfo &b) {
        return std::tuple(!a.usb, a.name.size(), a.name) <
               std::tuple(!b.usb, b.name.size(), b.name);
    });
    return ports;
}

// Port 1 may stand for a device given at construction; every other number is the platform's.
QString SerialLink::device() const
{
    return portNumber_ == 1 && !port1Device_.isEmpty()
               ? port1Device_
               : deviceForPort(platform::hostSystem(), portNumber_);
}

PortError SerialLink::errorOf(PortError::Kind kind, int number, const QString &systemText) const
{
    return {kind, number, systemText, portNumber_, portNumber_ ? device() : QString()};
}

bool SerialLink::fail(PortError::Kind kind, int number, const QString &systemText)
{
    lastError_ = errorOf(kind, number, systemText);
    return false;
}

bool SerialLink::setSettings(const QString &settings)
{
    const QStringList parts = settings.split(u',');
    bool ok = parts.size() == 4;
    const int baud = ok ? parts[0].trimmed().toInt(&ok) : 0;
    if (!ok || baud <= 0 || parts[1].trimmed().compare(u"n", Qt::CaseInsensitive) != 0 ||
        parts[2].trimmed() != u"8" || parts[3].trimmed() != u"1") {
        fail(PortError::Kind::BadSettings, QSerialPort::UnsupportedOperationError);
        lastError_.settings = settings;
        return false;
    }
    settings_ = settings;
    baudRate_ = baud;
    return true;
}

bool SerialLink::setCommPort(std::int16_t port)
{
    if (port_->isOpen())
        return fail(PortError::Kind::AlreadyOpen, QSerialPort::OpenError);
    if (port < 1) {
        fail(PortError::Kind::BadPortNumber, QSerialPort::DeviceNotFoundError);
        lastError_.port = port;
        return false;
    }
    portNumber_ = port;
    return true;
}

bool SerialLink::open()
{
    if (port_->isOpen())
        return true;
    // What is left of a lost connection, should a press come before it was all handed on, is
    // no part of the new one.
    discardReceived();
    if (portNumber_ == 0)
        return fail(PortError::Kind::NoPortChosen, QSerialPort::DeviceNotFoundError);

    port_->setPortName(device());
    port_->setBaudRate(baudRate_);
    port_->setParity(QSerialPort::NoParity);
    port_->setDataBits(QSerialPort::Data8);
    port_->setStopBits(QSerialPort::OneStop);
    port_->setFlowControl(QSerialPort::NoFlowControl);
    port_->setReadBufferSize(kPortBuffer);
    if (!port_->open(QIODevice::ReadWrite))
        return failToOpen();
    wasOpen_ = true;
    if ((hangUpWatch_ = platform::watchForHangUp(port_->handle())))
        connect(hangUpWatch_.get(), &QSocketNotifier::activated, this, [this] {
            hangUpWatch_->setEnabled(false); // it fires until the port is closed
            onPortError(QSerialPort::ResourceError);
        });
    return true;
}

// Tells the causes apart as the user would: the system's words differ for the same cause (a
// port in use is a lock for root and EBUSY for others).
bool SerialLink::failToOpen()
{
    using Kind = PortError::Kind;
    const auto error = port_->error();
    // Another port made port 1 helps wherever port 1 itself is the trouble; only a port in use
    // or closed to the user has advice of its own.
    const bool standInHelps = error != QSerialPort::PermissionError;
    const bool missing = error == QSerialPort::DeviceNotFoundError;
    const bool noHardware = !missing && standInHelps && platform::noHardwareBehind(device());
    Kind kind = Kind::OpenFailed;
    // It was there a moment ago: a pulled adapter, whatever the system calls it now (Windows
    // may say "file not found", wine "invalid function").
    if (missing || (wasOpen_ && (noHardware || error == QSerialPort::UnknownError)))
        kind = Kind::Missing;
    else if (noHardware) // not the device's fault: no UART or adapter where the machine names one
        kind = Kind::NoHardware;
    else if (error == QSerialPort::PermissionError)
        // Allowed to, yet refused: another program holds the port.
        kind = platform::mayOpen(device()) ? Kind::InUse : Kind::NoPermission;
    else if (error == QSerialPort::UnsupportedOperationError)
        kind = Kind::NotSerial;
    fail(kind, error, port_->errorString());
    lastError_.settings = settings_;
    lastError_.standInHelps = standInHelps;
    // Asked once, at start-up; after a loss the user wants the same port back.
    if (standInHelps && !wasOpen_)
        lastError_.others = standInsAmong(platform::hostSystem(), portLister_(), device());
    return false;
}

bool SerialLink::Output(const std::string &frame)
{
    if (!port_->isOpen())
        return fail(PortError::Kind::NotOpen, QSerialPort::NotOpenError);
    const qint64 written = port_->write(frame.data(), qint64(frame.size()));
    if (written != qint64(frame.size()))
        return fail(PortError::Kind::WriteFailed, QSerialPort::WriteError, port_->errorString());
    return true;
}

std::string SerialLink::Input()
{
    if (!refill())
        return {};
    ++reads_;
    return std::string(1, received_[next_++]);
}

bool SerialLink::refill()
{
    if (next_ < received_.size())
        return true;
    // Into the storage the last chunk left, so a quiet line's one-byte reads allocate nothing.
    received_.resize(kDeliveryBatch);
    const qint64 n = port_->isOpen() ? port_->read(received_.data(), kDeliveryBatch) : 0;
    received_.resize(std::max<qsizetype>(n, 0));
    next_ = 0;
    return !received_.isEmpty();
}

void SerialLink::discardReceived()
{
    received_.clear();
    next_ = 0;
    lossToReport_.reset();
}

// One notification per received character, each handled before the next is sent: the
// exchange recognises ETX, ACK and NAK only as reads of their own.
void SerialLink::deliver()
{
    deliveryPosted_ = false;
    // A handler that runs the event loop must not start a second delivery inside the first;
    // the one under way carries on.
    if (delivering_)
        return;
    const QPointer<SerialLink> alive(this);
    delivering_ = true;
    for (int n = 0; n < kDeliveryBatch; ++n) {
        const std::uint64_t reads = reads_;
        if (refill())
            emit OnComm();
        if (!alive)
            return; // a handler ended the link
        if (reads_ == reads) {
            // All handed on, or nobody reads and the rest waits for the next arrival.
            delivering_ = false;
            if (lossToReport_)
                emit portLost(*std::exchange(lossToReport_, std::nullopt));
            return;
        }
    }
    delivering_ = false;
    deliverLater();
}

void SerialLink::deliverLater()
{
    if (deliveryPosted_)
        return;
    deliveryPosted_ = true;
    QMetaObject::invokeMethod(this, &SerialLink::deliver, Qt::QueuedConnection);
}

// A driver refusing an operation (a pty has no modem lines) leaves the port usable; NoError
// comes with every open. Any other failure while open means the device is gone, whatever the
// platform calls it (Windows says "access denied" for a pulled adapter).
void SerialLink::onPortError(QSerialPort::SerialPortError error)
{
    if (error == QSerialPort::NoError || error == QSerialPort::TimeoutError ||
        error == QSerialPort::UnsupportedOperationError || !port_->isOpen() || pendingLoss_)
        return;
    // Handled once this signal has returned: touching the port in here can start another read
    // that fails and signals again, right inside this handler.
    pendingLoss_ = error;
    QMetaObject::invokeMethod(this, &SerialLink::closeLostPort, Qt::QueuedConnection);
}

void SerialLink::closeLostPort()
{
    if (!pendingLoss_)
        return; // closed meanwhile
    // A hang-up reads the same whichever error, if any, this Qt version made of it.
    const auto error =
        platform::hungUp(port_->handle()) ? QSerialPort::ResourceError : *pendingLoss_;
    // Qt's text for a hang-up is whatever errno held last: not kept.
    const PortError lost =
        errorOf(error == QSerialPort::ReadError    ? PortError::Kind::LostReading
                : error == QSerialPort::WriteError ? PortError::Kind::LostWriting
                                                   : PortError::Kind::Disconnected,
                error);
    // What arrived before the failure is still handed on, the loss reported after it. Only what
    // Qt already holds: asking the failed device for more can only fail again.
    if (const qint64 held = port_->bytesAvailable(); held > 0)
        received_ += port_->read(held);
    closePort();
    lastError_ = lost;
    lossToReport_ = lost;
    deliverLater();
}

void SerialLink::closePort()
{
    hangUpWatch_.reset();
    port_->close();
    pendingLoss_.reset();
}
