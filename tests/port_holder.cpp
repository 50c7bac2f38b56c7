// Another program holding a serial port: opens the port named on the command line, says "held",
// and keeps it until its standard input closes or it is killed.
#include <QCoreApplication>
#include <QSerialPort>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 2)
        return 2;
    QSerialPort port(QString::fromLocal8Bit(argv[1]));
    if (!port.open(QIODevice::ReadWrite)) {
        std::printf("failed %d\n", int(port.error()));
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    char c;
    while (std::fread(&c, 1, 1, stdin) == 1) {
    }
    return 0;
}
