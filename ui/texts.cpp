// SPDX-License-Identifier: MIT
#include "texts.h"

#include <QRegularExpression>

#include <algorithm>

namespace texts {

QString caption()
{
    return QStringLiteral("TQ5-Bus-Protokoll");
}
QString sendLabel()
{
    return QStringLiteral("Senden :");
}
QString receiveLabel()
{
    return QStringLiteral("Empfangen :");
}
QString queryButton()
{
    return QStringLiteral("Abfragen");
}
QString defaultCommand()
{
    return QStringLiteral("G01K01P00=");
}

// Nouns read better before "Eingabefeld" than the labels' verbs, whose words they keep.
QString commandName()
{
    return QStringLiteral("Befehl zum Senden");
}
QString commandDescription()
{
    return QStringLiteral("Wird beim Abfragen mit Prüfsumme an das Gerät an Port 1 gesendet.");
}
QString replyName()
{
    return QStringLiteral("Empfangene Antwort");
}
QString replyDescription()
{
    return QStringLiteral("Die Antwort des Geräts auf die letzte Abfrage oder eine Fehlermeldung.");
}
QString queryName()
{
    return QStringLiteral("Abfragen");
}
QString queryDescription()
{
    return QStringLiteral("Sendet den Befehl und zeigt die Antwort des Geräts.");
}

QString etxMarker()
{
    return QStringLiteral("{ETX}");
}
QString ackMarker()
{
    return QStringLiteral("{ACK}");
}
QString nakMarker()
{
    return QStringLiteral("{NAK}");
}
QString checksumError()
{
    return QStringLiteral("Prüfsummenfehler");
}
QString timeout()
{
    return QStringLiteral("Fehler : Timeout");
}

QString portErrorLine(const PortError &e)
{
    using Kind = PortError::Kind;
    const QString port = QStringLiteral("Port %1 (%2)").arg(e.port).arg(e.device);
    // Gone after it was open: how it went is what a narrow box shows first.
    const QString lost = QStringLiteral("Port %1 getrennt: ").arg(e.port);
    switch (e.kind) {
    case Kind::None:
        break;
    case Kind::BadSettings:
        return QStringLiteral("Ungültige Einstellungen \"%1\"").arg(e.settings);
    case Kind::BadPortNumber:
        return QStringLiteral("Ungültige Portnummer %1").arg(e.port);
    case Kind::NoPortChosen:
        return QStringLiteral("Kein Port gewählt");
    case Kind::AlreadyOpen:
        return QStringLiteral("Port ist bereits geöffnet");
    case Kind::NotOpen:
        return QStringLiteral("Port ist nicht geöffnet");
    case Kind::Missing:
        return port + QStringLiteral(" ist nicht vorhanden");
    case Kind::NoHardware:
        return QStringLiteral("An ") + port + QStringLiteral(" ist keine Hardware vorhanden");
    case Kind::NoPermission:
        return QStringLiteral("Keine Berechtigung für ") + port;
    case Kind::InUse:
        return port + QStringLiteral(" wird von einem anderen Programm benutzt");
    case Kind::NotSerial:
        return port + QStringLiteral(" ist keine serielle Schnittstelle oder nimmt die "
                                     "Einstellungen %1 nicht an")
                          .arg(e.settings);
    case Kind::OpenFailed:
        return port + QStringLiteral(" lässt sich nicht öffnen");
    case Kind::WriteFailed:
        // Qt's own words would be English; the frame not taken whole is what the user needs.
        return QStringLiteral("Schreibfehler an ") + port;
    case Kind::LostReading:
        return lost + QStringLiteral("Lesefehler");
    case Kind::LostWriting:
        return lost + QStringLiteral("Schreibfehler");
    case Kind::Disconnected:
        return lost + QStringLiteral("nicht mehr verfügbar");
    }
    return {};
}

QString portErrorText(const PortError &error)
{
    // In one go: a "%1" in a device name is no place for the number.
    return QStringLiteral("Fehler : %1 (%2)")
        .arg(portErrorLine(error), QString::number(error.number));
}

namespace {

// A long box is no help: the first few ports, and how many more there are.
constexpr std::size_t kPortsShown = 8;
constexpr qsizetype kDescriptionShown = 60;

// What the user can do about it, where it is up to the user.
QString advice(const PortError &e)
{
    const QString restart = QStringLiteral(" und starten Sie dieses Programm neu.");
    if (e.kind == PortError::Kind::NoPermission)
        return QStringLiteral("Nehmen Sie Ihr Benutzerkonto in die Gruppe des Ports auf (meist "
                              "„dialout“), melden Sie sich neu an") +
               restart;
    if (e.kind == PortError::Kind::InUse)
        return QStringLiteral("Beenden Sie das andere Programm") + restart;
    return {};
}

// The system's words add something only where the cause is not plain from ours; they differ for
// the same cause anyway (a port in use is a lock for root and EBUSY for others).
bool systemTextTellsMore(PortError::Kind kind)
{
    return kind == PortError::Kind::NoHardware || kind == PortError::Kind::NotSerial ||
           kind == PortError::Kind::OpenFailed;
}

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
    QString text = QStringLiteral("Fehler %1: %2.").arg(error.number).arg(portErrorLine(error));
    if (const QString what = advice(error); !what.isEmpty())
        text += u'\n' + what;
    if (systemTextTellsMore(error.kind) && !error.systemText.isEmpty())
        text += QStringLiteral("\nSystemmeldung: ") + error.systemText;
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

QString openDeviceManager()
{
    return QStringLiteral("Geräte-Manager öffnen");
}

QString onStandardError(const QString &text)
{
    return caption() + QStringLiteral(": ") + text;
}
QString qtGermanMissing()
{
    return QStringLiteral("Qts deutsche Texte (qtbase_de.qm) fehlen; Kontextmenüs bleiben "
                          "englisch.");
}
QString noDisplay(const QString &display)
{
    return QStringLiteral("keine Anzeige erreichbar (DISPLAY=\"%1\"). Das Programm braucht eine "
                          "grafische Sitzung.")
        .arg(display);
}
QString noGraphicalInterface()
{
    return QStringLiteral("die grafische Oberfläche lässt sich nicht starten (Meldungen oben).");
}

} // namespace texts
