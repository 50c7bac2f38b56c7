#pragma once

#include <QProcess>
#include <QString>

// A live process of its own holding a port open, as another program on the machine would.
class PortHolder
{
public:
    PortHolder() = default;
    ~PortHolder() { kill(); }
    PortHolder(const PortHolder &) = delete;
    PortHolder &operator=(const PortHolder &) = delete;

    // True once the other process has the port open.
    bool hold(const QString &device);
    // Ends the process without letting it close the port: its lock stays behind, stale.
    void kill();

private:
    QProcess process_;
};
