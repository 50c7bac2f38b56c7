// SPDX-License-Identifier: MIT
#include "serial_link.h"
#include "port_list.h"

#include <QFile>
#include <QPointer>
#include <QSerialPortInfo>
#include <QStringList>

#include <algorithm>
#include <iterator>
#include <tuple>
#include <utility>

#ifndef Q_OS_WIN
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace {

// What handle() gives: a HANDLE on Windows, a descriptor elsewhere.
using PortHandle = decltype(std::declval<QSerialPort &>().handle());

#ifdef Q_OS_WIN
bool samePort(const QString &a, const QString &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}
bool unusable(const QString &)
{
    return false;
}
bool noHardwareBehind(const QString &)
{
    return false;
}
// Windows reports a vanished device through the port's own errors.
std::unique_ptr<QSocketNotifier> watchForHangUp(PortHandle)
{
    return nullptr;
}
bool hungUp(PortHandle)
{
    return false;
}
#else
std::optional<dev_t> deviceNumber(const QString &path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISCHR(st.st_mode))
        return std::nullopt;
    return st.st_rdev;
}

// Under any name: a link or a bind mount over port 1 is still port 1.
bool samePort(const QString &a, const QString &b)
{
    const auto na = deviceNumber(a);
    return na ? na == deviceNumber(b) : a == b;
}

// The 8250 driver makes ttyS nodes whether or not a UART is there; sysfs says which have none,
// without opening them.
bool uartMissing(dev_t device)
{
    QFile type(QStringLiteral("/sys/dev/char/%1:%2/type").arg(major(device)).arg(minor(device)));
    return type.open(QIODevice::ReadOnly) && type.readAll().trimmed() == "0";
}

// Pseudo-terminals (Unix 98 slaves, legacy BSD ones) and 8250 ports with no UART.
bool unusable(const QString &path)
{
    const auto n = deviceNumber(path);
    if (!n)
        return path.startsWith(QLatin1String("/dev/pts/"));
    const unsigned m = major(*n);
    return (m >= 136 && m <= 143) || m == 2 || m == 3 || uartMissing(*n);
}

// The node is there, but nothing answers behind it: EIO, ENXIO or ENODEV from opening it or
// from its settings, as a UART-less ttyS or a pulled adapter's bound node give.
bool noHardwareBehind(const QString &path)
{
    if (const auto n = deviceNumber(path); n && uartMissing(*n))
        return true;
    int error = 0;
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
    } else {
        termios t;
        if (::tcgetattr(fd, &t) != 0 || ::tcsetattr(fd, TCSANOW, &t) != 0)
            error = errno;
        ::close(fd);
    }
    return error == EIO || error == ENXIO || error == ENODEV;
}

// A hung-up line (the far end closed, an adapter pulled) reads as end of file, which Qt 6.5 and
// later pass over in silence while their read notifier keeps firing. The descriptor still tells:
// both of Qt's Unix event dispatchers wake an exception notifier on POLLERR, which a hung-up
// tty reports and a working one never does.
std::unique_ptr<QSocketNotifier> watchForHangUp(PortHandle handle)
{
    return std::make_unique<QSocketNotifier>(handle, QSocketNotifier::Exception);
}
bool hungUp(PortHandle handle)
{
    pollfd p{handle, 0, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR)) != 0;
}
#endif

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

QString SerialLink::deviceForPort(int number)
{
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(number);
#else
    return QStringLiteral("/dev/ttyS%1").arg(number - 1);
#endif
}

std::vector<PortInfo> SerialLink::systemPorts()
{
    if (kPortSystem == PortSystem::Linux)
        return sysfsPorts(); // availablePorts() would open every 8250 port to look for a UART
    std::vector<PortInfo> ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        ports.push_back(
            {kPortSystem == PortSystem::Windows ? info.portName() : info.systemLocation(),
             info.description(), info.manufacturer(), info.hasVendorIdentifier()});
    return ports;
}

std::vector<PortInfo> SerialLink::standInsAmong(std::vector<PortInfo> ports, const QString &port1)
{
    std::erase_if(ports, [&](const PortInfo &p) {
        return p.name.isEmpty() || samePort(p.name, port1) || unusable(p.name);
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
    return portNumber_ == 1 && !port1Device_.isEmpty() ? port1Device_ : deviceForPort(portNumber_);
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
    static constexpr std::pair<char16_t, QSerialPort::Parity> kParities[] = {
        {u'n', QSerialPort::NoParity},
        {u'e', QSerialPort::EvenParity},
        {u'o', QSerialPort::OddParity},
        {u'm', QSerialPort::MarkParity},
        {u's', QSerialPort::SpaceParity}};
    const auto named = std::find_if(std::begin(kParities), std::end(kParities),
                                    [&](const auto &p) { return p.first == parityLetter[0]; });
    if (named == std::end(kParities))
        return invalid();
    const QSerialPort::Parity parity = named->second;

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

    settings_ = settings;
    baudRate_ = baud;
    parity_ = parity;
    dataBits_ = static_cast<QSerialPort::DataBits>(bits);
    stopBits_ = stopBits;
    return true;
}

bool SerialLink::setCommPort(std::int16_t port)
{
    if (port_->isOpen())
        return fail(QSerialPort::OpenError, QStringLiteral("Port ist bereits geöffnet"));
    if (port < 1)
        return fail(QSerialPort::DeviceNotFoundError,
                    QStringLiteral("Ungültige Portnummer %1").arg(port));
    portNumber_ = port;
    return true;
}

bool SerialLink::setPortOpen(bool open)
{
    if (!open) {
        closePort();
        discardReceived();
        return true;
    }
    if (port_->isOpen())
        return true;
    // What is left of a lost connection, should a press come before it was all handed on, is
    // no part of the new one.
    discardReceived();
    if (portNumber_ == 0)
        return fail(QSerialPort::DeviceNotFoundError, QStringLiteral("Kein Port gewählt"));

    port_->setPortName(device());
    port_->setBaudRate(baudRate_);
    port_->setParity(parity_);
    port_->setDataBits(dataBits_);
    port_->setStopBits(stopBits_);
    port_->setFlowControl(QSerialPort::NoFlowControl);
    port_->setReadBufferSize(kPortBuffer);
    if (!port_->open(QIODevice::ReadWrite))
        return failToOpen();
    wasOpen_ = true;
    if ((hangUpWatch_ = watchForHangUp(port_->handle())))
        connect(hangUpWatch_.get(), &QSocketNotifier::activated, this, [this] {
            hangUpWatch_->setEnabled(false); // it fires until the port is closed
            onPortError(QSerialPort::ResourceError);
        });
    return true;
}

// Says what went wrong in the user's terms. The system's words differ for the same cause (a
// port in use is a lock for root and EBUSY for others), so they are only added where they
// tell more.
bool SerialLink::failToOpen()
{
    const auto error = port_->error();
    const QString port = QStringLiteral("Port %1 (%2)").arg(portNumber_).arg(device());
    const QString restart = QStringLiteral(" und starten Sie dieses Programm neu.");
    PortError e{error};
    // Another port made port 1 helps wherever port 1 itself is the trouble; the box then says
    // how, and only a port in use or closed to the user has advice of its own.
    e.standInHelps = error != QSerialPort::PermissionError;
    const bool missing = error == QSerialPort::DeviceNotFoundError;
    const bool noHardware = !missing && e.standInHelps && noHardwareBehind(device());
    // It was there a moment ago: a pulled adapter, whatever the system calls it now (Windows
    // may say "file not found", wine "invalid function").
    if (wasOpen_ && (missing || noHardware || error == QSerialPort::UnknownError)) {
        e.text = port + QStringLiteral(" ist nicht vorhanden");
    } else if (noHardware) {
        // Not the device's fault: the machine names the port but has no UART or adapter there.
        e.text = QStringLiteral("An ") + port + QStringLiteral(" ist keine Hardware vorhanden");
        e.detail = port_->errorString();
    } else {
        switch (error) {
        case QSerialPort::DeviceNotFoundError:
            e.text = port + QStringLiteral(" ist nicht vorhanden");
            break;
        case QSerialPort::PermissionError:
#ifndef Q_OS_WIN
            if (::access(QFile::encodeName(device()).constData(), R_OK | W_OK) != 0) {
                e.text = QStringLiteral("Keine Berechtigung für ") + port;
                e.advice = QStringLiteral("Nehmen Sie Ihr Benutzerkonto in die Gruppe des Ports "
                                          "auf (meist „dialout“), melden Sie sich neu an") +
                           restart;
                break;
            }
#endif
            // Allowed to, yet refused: another program holds the port.
            e.text = port + QStringLiteral(" wird von einem anderen Programm benutzt");
            e.advice = QStringLiteral("Beenden Sie das andere Programm") + restart;
            break;
        case QSerialPort::UnsupportedOperationError:
            e.text = port + QStringLiteral(" ist keine serielle Schnittstelle oder nimmt die "
                                           "Einstellungen %1 nicht an")
                                .arg(settings_);
            e.detail = port_->errorString();
            break;
        default:
            e.text = port + QStringLiteral(" lässt sich nicht öffnen");
            e.detail = port_->errorString();
            break;
        }
    }
    // Asked once, at start-up; after a loss the user wants the same port back.
    if (e.standInHelps && !wasOpen_)
        e.others = standInsAmong(portLister_(), device());
    lastError_ = e;
    return false;
}

bool SerialLink::Output(const std::string &frame)
{
    if (!port_->isOpen())
        return fail(QSerialPort::NotOpenError, QStringLiteral("Port ist nicht geöffnet"));
    const qint64 written = port_->write(frame.data(), qint64(frame.size()));
    if (written != qint64(frame.size()))
        return fail(QSerialPort::WriteError, port_->errorString());
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
    const auto error = hungUp(port_->handle()) ? QSerialPort::ResourceError : *pendingLoss_;
    // Qt's text for a hang-up is whatever errno held last, so the port says it itself.
    // The start is what a narrow box shows: that the port is gone, then how it went.
    const QString port = QStringLiteral("Port %1").arg(portNumber_);
    const PortError lost{error, error == QSerialPort::ReadError
                                    ? port + QStringLiteral(" getrennt: Lesefehler")
                                : error == QSerialPort::WriteError
                                    ? port + QStringLiteral(" getrennt: Schreibfehler")
                                    : port + QStringLiteral(" getrennt: nicht mehr verfügbar")};
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
