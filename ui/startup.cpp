#include "startup.h"

#include "frm.h"

#include <QMessageBox>

void showStartupError(const PortError &error)
{
    QMessageBox::critical(nullptr, QStringLiteral("TQ5-Bus-Protokoll"),
                          QStringLiteral("Fehler %1: %2").arg(error.number).arg(error.text));
}

int startForm(frm &form, const StartupErrorReport &report)
{
    if (const auto error = form.Form_Load()) {
        report(*error);
        return 1;
    }
    form.show();
    return 0;
}
