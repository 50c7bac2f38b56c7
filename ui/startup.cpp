// SPDX-License-Identifier: MIT
#include "startup.h"

#include "frm.h"

#include <QMessageBox>

QString startupErrorText(const PortError &error)
{
    QString text = QStringLiteral("Fehler %1: %2").arg(error.number).arg(error.text);
    if (!error.advice.isEmpty())
        text += QStringLiteral(".\n") + error.advice;
    if (!error.detail.isEmpty())
        text += QStringLiteral("\nSystemmeldung: ") + error.detail;
    return text;
}

void showStartupError(const PortError &error)
{
    QMessageBox::critical(nullptr, QStringLiteral("TQ5-Bus-Protokoll"), startupErrorText(error));
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
