// SPDX-License-Identifier: MIT
#include "startup.h"

#include "frm.h"
#include "texts.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <QTranslator>
#include <QUrl>

#include <cstdio>

QString standInCommand()
{
    const QString name = QStringLiteral("tq5bus-port1");
    const QString beside = QDir(QCoreApplication::applicationDirPath()).filePath(name);
    if (!QFileInfo(beside).isExecutable() ||
        QFileInfo(QStandardPaths::findExecutable(name)) == QFileInfo(beside))
        return name;
    return beside;
}

void showStartupError(const PortError &error)
{
    const PortSystem system = platform::hostSystem();
    const QString text = texts::startupErrorText(error, system, standInCommand());
    // A terminal that started the program has it too, where the command is easily copied.
    std::fprintf(stderr, "%s\n", texts::onStandardError(text).toLocal8Bit().constData());
    QMessageBox box(QMessageBox::Critical, texts::caption(), text, QMessageBox::Ok);
    // Port names and descriptions come from the system: never read as markup. The command
    // can be selected and copied.
    box.setTextFormat(Qt::PlainText);
    box.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    QPushButton *deviceManager = nullptr;
    if (system == PortSystem::Windows && error.standInHelps && !error.others.empty())
        deviceManager = box.addButton(texts::openDeviceManager(), QMessageBox::ActionRole);
    box.setDefaultButton(QMessageBox::Ok);
    // Device Manager opens beside the box, which stays for the steps to be read.
    while (box.exec(), deviceManager && box.clickedButton() == deviceManager) {
        // Through the shell, which asks for administrator rights where Windows wants them.
        const QString msc = QDir(qEnvironmentVariable("SystemRoot", QStringLiteral("C:/Windows")))
                                .filePath(QStringLiteral("System32/devmgmt.msc"));
        QDesktopServices::openUrl(QUrl::fromLocalFile(msc));
    }
}

namespace {

// Qt's own texts (context menus, standard buttons) in German; a note on standard error where
// they are missing.
bool installQtGerman()
{
    // Beside the program first, where the Windows folder ships it, then the system's Qt.
    auto *translator = new QTranslator(QCoreApplication::instance());
    for (const QString &dir :
         {QCoreApplication::applicationDirPath() + QStringLiteral("/translations"),
          QLibraryInfo::path(QLibraryInfo::TranslationsPath)}) {
        if (translator->load(QStringLiteral("qtbase_de"), dir))
            return QCoreApplication::installTranslator(translator);
    }
    delete translator;
    std::fprintf(stderr, "%s\n",
                 texts::onStandardError(texts::qtGermanMissing()).toUtf8().constData());
    return false;
}

} // namespace

int startForm(frm &form, const StartupErrorReport &report)
{
    // Before the first box: the error report's buttons are Qt's too.
    static const bool german = installQtGerman();
    Q_UNUSED(german);
    if (const auto error = form.Form_Load()) {
        report(*error);
        return 1;
    }
    form.show();
    return 0;
}
