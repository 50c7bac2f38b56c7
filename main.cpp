// SPDX-License-Identifier: MIT
#include "ui/frm.h"
#include "ui/startup.h"
#include "ui/texts.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

namespace {

QtMessageHandler qtHandler = nullptr;
bool noDisplay = false;

// Without a desktop Qt aborts with a message for developers; a user is told what is missing,
// and the program ends like any other failed start.
void onQtMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    qtHandler(type, context, message);
    noDisplay = noDisplay || message.contains(QLatin1String("could not connect to display"));
    if (type != QtFatalMsg || !message.contains(QLatin1String("platform plugin")))
        return;
    const QString text = noDisplay || qEnvironmentVariableIsEmpty("DISPLAY")
                             ? texts::noDisplay(qEnvironmentVariable("DISPLAY"))
                             : texts::noGraphicalInterface();
    std::fprintf(stderr, "%s\n", texts::onStandardError(text).toUtf8().constData());
    std::_Exit(1);
}

} // namespace

int main(int argc, char *argv[])
{
    qtHandler = qInstallMessageHandler(onQtMessage);
    QApplication app(argc, argv);
    frm form;
    if (const int status = startForm(form))
        return status;
    return app.exec();
}
