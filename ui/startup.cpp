// SPDX-License-Identifier: MIT
#include "startup.h"

#include "frm.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTranslator>
#include <QUrl>

#include <cstdio>

namespace {

// A long box is no help: the first few ports, and how many more there are.
constexpr std::size_t kPortsShown = 8;
constexpr qsizetype kDescriptionShown = 60;

QString portLine(const PortInfo &p)
{
    QString about = p.description;
    if (!p.manufacturer.isEmpty() && !about.contains(p.manufacturer, Qt::CaseInsensitive))
        about += about.isEmpty() ? p.manufacturer : QStringLiteral(" (%1)").arg(p.manufacturer);
    if (about.size() > kDescriptionShown)
        about = about.left(kDescriptionShown - 1).trimmed() + u'…';
    return QStringLiteral("  ") + p.name +
           (about.isEmpty() ? QString() : QStringLiteral(" – ") + about);
}

// A device name as one word of a shell command; names from /dev rarely need the quotes.
QString shellWord(const QString &word)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./:@%+=,-]+$"));
    if (plain.match(word).hasMatch())
        return word;
    return u'\'' + QString(word).replace(u'\'', QStringLiteral("'\\''")) + u'\'';
}

// How the first of the other ports becomes port 1.
QString howToMakePort1(const PortInfo &p, PortSystem system, const QString &standInCommand)
{
    if (system == PortSystem::Linux)
        return QStringLiteral("So starten Sie dieses Programm mit %1 als Port 1:\n  %2 %3")
            .arg(p.name, shellWord(standInCommand), shellWord(p.name));
    // Device Manager lists the adapter by its description with the port in brackets.
    const QString entry =
        p.description.isEmpty() ? p.name : QStringLiteral("„%1 (%2)“").arg(p.description, p.name);
    return QStringLiteral("So wird %1 zu COM1:\nGeräte-Manager → Anschlüsse (COM & LPT) → %2 → "
                          "Eigenschaften → Anschlusseinstellungen → Erweitert… → "
                          "COM-Anschlussnummer: COM1 → OK.\nStarten Sie danach dieses Programm "
                          "neu.")
        .arg(p.name, entry);
}

} // namespace

QString startupErrorText(const PortError &error, PortSystem system, const QString &standInCommand)
{
    QString text = QStringLiteral("Fehler %1: %2.").arg(error.number).arg(error.text);
    if (!error.advice.isEmpty())
        text += u'\n' + error.advice;
    if (!error.detail.isEmpty())
        text += QStringLiteral("\nSystemmeldung: ") + error.detail;
    if (!error.standInHelps)
        return text;
    const bool windows = system == PortSystem::Windows;
    if (error.others.empty())
        return text +
               QStringLiteral("\n\nDieser Rechner hat keine andere serielle Schnittstelle. "
                              "Schließen Sie das Gerät über einen USB-Seriell-Adapter an") +
               (windows ? QStringLiteral(", geben Sie ihm im Geräte-Manager die Nummer COM1 und "
                                         "starten Sie dieses Programm neu.")
                        : QStringLiteral(" und starten Sie dieses Programm mit ihm als Port 1, "
                                         "zum Beispiel:\n  %1 /dev/ttyUSB0")
                              .arg(shellWord(standInCommand)));
    text += QStringLiteral("\n\nDieses Programm benutzt nur %1. Weitere serielle Schnittstellen "
                           "dieses Rechners:")
                .arg(windows ? QStringLiteral("COM1") : QStringLiteral("Port 1"));
    const std::size_t shown = std::min(error.others.size(), kPortsShown);
    for (std::size_t i = 0; i < shown; ++i)
        text += u'\n' + portLine(error.others[i]);
    if (error.others.size() > shown)
        text += QStringLiteral("\n  … und %1 weitere").arg(error.others.size() - shown);
    return text + QStringLiteral("\n\n") +
           howToMakePort1(error.others.front(), system, standInCommand);
}

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
    const QString text = startupErrorText(error, kPortSystem, standInCommand());
    // A terminal that started the program has it too, where the command is easily copied.
    std::fprintf(stderr, "TQ5-Bus-Protokoll: %s\n", text.toLocal8Bit().constData());
    QMessageBox box(QMessageBox::Critical, QStringLiteral("TQ5-Bus-Protokoll"), text,
                    QMessageBox::Ok);
    // Port names and descriptions come from the system: never read as markup. The command
    // can be selected and copied.
    box.setTextFormat(Qt::PlainText);
    box.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    QPushButton *deviceManager = nullptr;
    if (kPortSystem == PortSystem::Windows && error.standInHelps && !error.others.empty())
        deviceManager =
            box.addButton(QStringLiteral("Geräte-Manager öffnen"), QMessageBox::ActionRole);
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
    std::fprintf(stderr, "TQ5-Bus-Protokoll: Qts deutsche Texte (qtbase_de.qm) fehlen; "
                         "Kontextmenüs bleiben englisch.\n");
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
