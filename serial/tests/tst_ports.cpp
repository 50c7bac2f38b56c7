// SPDX-License-Identifier: MIT
#include "serial/port_list.h"

#include <QDir>
#include <QSerialPort>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// The machine's other ports: listed from a fake sysfs tree (which ttys count as ports, where a USB
// adapter's words come from), and one that another program holds is left alone.
class tst_Ports : public QObject
{
    Q_OBJECT

private slots:
    void listsFromSysfs_data()
    {
        // The tree: "path=text" a file, "path/" a folder, "path>target" a link (relative to the
        // tree's root). The list: name|description|manufacturer|usb, ';' between ports.
        QTest::addColumn<QStringList>("tree");
        QTest::addColumn<QString>("listed");
        const QString ftdi = QStringLiteral("devices/usb1/1-1/");
        QTest::newRow("usb-serial adapter, words two levels up")
            << QStringList{ftdi + "idVendor=0403", ftdi + "product=FT232R USB UART\n",
                           ftdi + "manufacturer=FTDI", ftdi + "1-1:1.0/ttyUSB0/drv/",
                           ftdi + "1-1:1.0/ttyUSB0/driver>" + ftdi + "1-1:1.0/ttyUSB0/drv",
                           "class/tty/ttyUSB0/device>" + ftdi + "1-1:1.0/ttyUSB0"}
            << "/dev/ttyUSB0|FT232R USB UART|FTDI|usb";
        QTest::newRow("CDC-ACM adapter without maker, one level up")
            << QStringList{"devices/usb1/1-2/idVendor=2341", "devices/usb1/1-2/product=Uno",
                           "devices/usb1/1-2/1-2:1.0/driver/",
                           "class/tty/ttyACM0/device>devices/usb1/1-2/1-2:1.0"}
            << "/dev/ttyACM0|Uno||usb";
        QTest::newRow("8250 ports: with a UART listed, without one not")
            << QStringList{"devices/pnp0/00:04/driver/", "class/tty/ttyS0/device>devices/pnp0/00:04",
                           "class/tty/ttyS0/type=4", "class/tty/ttyS1/device>devices/pnp0/00:04",
                           "class/tty/ttyS1/type=0"}
            << "/dev/ttyS0|||";
        QTest::newRow("virtual terminals, consoles and unbound devices are no ports")
            << QStringList{"class/tty/tty1/dev=4:1", "class/tty/console/dev=5:1",
                           "devices/platform/serial/", "class/tty/ttyAMA0/device>devices/platform/serial"}
            << QString();
    }
    void listsFromSysfs()
    {
        QFETCH(QStringList, tree);
        QFETCH(QString, listed);
        QTemporaryDir root;
        const QDir dir(root.path());
        for (const QString &node : tree) {
            const qsizetype link = node.indexOf(u'>'), text = node.indexOf(u'=');
            const QString path = node.left(link >= 0 ? link : text >= 0 ? text : node.size());
            QVERIFY(dir.mkpath(path.endsWith(u'/') ? path : path.section(u'/', 0, -2)));
            if (link >= 0) {
                QVERIFY(QFile::link(dir.filePath(node.mid(link + 1)), dir.filePath(path)));
            } else if (text >= 0) {
                QFile file(dir.filePath(path));
                QVERIFY(file.open(QIODevice::WriteOnly));
                file.write(node.mid(text + 1).toUtf8());
            }
        }
        QStringList ports;
        for (const PortInfo &p : sysfsPorts(dir.filePath(QStringLiteral("class/tty"))))
            ports << QStringList{p.name, p.description, p.manufacturer,
                                 p.usb ? QStringLiteral("usb") : QString()}
                             .join(u'|');
        QCOMPARE(ports.join(u';'), listed);
    }

    // check_scripts names a device tq5bus-port1 has held for longer than Qt's 30 s for a lock to
    // go stale; Qt must still find the lock live.
    void heldDeviceRefused()
    {
        const QString device = qEnvironmentVariable("TQ5_HELD_DEVICE");
        if (device.isEmpty())
            QSKIP("check_scripts runs this with a held device");
        QSerialPort port(device);
        QVERIFY(!port.open(QIODevice::ReadWrite));
        QCOMPARE(port.error(), QSerialPort::PermissionError);
    }
};

QTEST_GUILESS_MAIN(tst_Ports)
#include "tst_ports.moc"
