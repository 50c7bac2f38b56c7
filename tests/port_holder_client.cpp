#include "port_holder.h"

bool PortHolder::hold(const QString &device)
{
    process_.start(QStringLiteral(TQ5_PORT_HOLDER), {device});
    if (!process_.waitForStarted(5000))
        return false;
    while (process_.state() == QProcess::Running && !process_.canReadLine())
        process_.waitForReadyRead(100);
    return process_.readLine().trimmed() == "held";
}

void PortHolder::kill()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.kill();
    process_.waitForFinished(5000);
}
