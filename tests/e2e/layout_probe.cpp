// SPDX-License-Identifier: MIT
// Prints where the window's controls are, as shell assignments ("cmd_abfragen='124 68'"), so the
// end-to-end test clicks the real window's layout rather than a copy of it.
#include "ui/frm.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const frm form; // not loaded: the port stays shut
    for (const char *name : {"txt_senden", "txt_empfangen", "cmd_abfragen"}) {
        const QPoint centre = form.findChild<QWidget *>(QLatin1String(name))->geometry().center();
        std::printf("%s='%d %d'\n", name, centre.x(), centre.y());
    }
    return 0;
}
