// SPDX-License-Identifier: MIT
#include "serial/port_list.h"

#include <QTest>

// The port list read from a fake sysfs tree (sysfs/ beside this file): USB adapters with the words
// of their USB device an interface or two up, 8250 ports only with a UART behind them, and no
// virtual terminal, console or device without a driver.
class tst_Ports : public QObject
{
    Q_OBJECT

private slots:
    void listsFromSysfs()
    {
        QStringList ports;
        for (const PortInfo &p : sysfsPorts(QFINDTESTDATA("sysfs/class/tty")))
            ports << p.name + u'|' + p.description + u'|' + p.manufacturer + (p.usb ? "|usb" : "|");
        QCOMPARE(ports, QStringList({"/dev/ttyACM0|Uno||usb", "/dev/ttyS0|||",
                                     "/dev/ttyUSB0|FT232R USB UART|FTDI|usb"}));
    }
};

QTEST_GUILESS_MAIN(tst_Ports)
#include "tst_ports.moc"
