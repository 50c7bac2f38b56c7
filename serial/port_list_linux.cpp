// SPDX-License-Identifier: MIT
#include "port_list.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

QString firstLine(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readLine(256)).trimmed();
}

} // namespace

std::vector<PortInfo> sysfsPorts(const QString &ttyClass)
{
    std::vector<PortInfo> ports;
    const QDir dir(ttyClass);
    for (const QString &name : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        const QString entry = dir.filePath(name);
        // Virtual terminals, the console and pseudo-terminals have no driven device behind them.
        if (!QFileInfo::exists(entry + QLatin1String("/device/driver")))
            continue;
        // The 8250 driver makes its ttyS nodes whether or not a UART is there.
        if (firstLine(entry + QLatin1String("/type")) == QLatin1String("0"))
            continue;
        PortInfo port{QLatin1String("/dev/") + name, {}, {}, false};
        // A USB adapter's words are its USB device's, an interface or two above the tty.
        QDir up(QFileInfo(entry + QLatin1String("/device")).canonicalFilePath());
        for (int level = 0; level < 4 && !up.isRoot(); ++level) {
            if (up.exists(QStringLiteral("idVendor"))) {
                port.description = firstLine(up.filePath(QStringLiteral("product")));
                port.manufacturer = firstLine(up.filePath(QStringLiteral("manufacturer")));
                port.usb = true;
                break;
            }
            up.cdUp();
        }
        ports.push_back(port);
    }
    return ports;
}
