#include "ui/frm.h"
#include "ui/startup.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    frm form;
    if (const int status = startForm(form))
        return status;
    return app.exec();
}
