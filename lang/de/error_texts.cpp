// German error texts.
#include <iterator>

#include "lang/catalogue.h"

namespace hvm::lang {
namespace {

constexpr const char16_t* kInvalidAddress = u"Die Adresse konnte nicht ausgewertet werden. (HVM-5)";
constexpr const char16_t* kCannotConnect = u"Die Verbindung zum Internet ist fehlgeschlagen. (HVM-7)";
constexpr const char16_t* kObjectNotFound = u"Das Objekt wurde nicht gefunden. (HVM-9)";
constexpr const char16_t* kTimedOut = u"Die Internetverbindung hat das Zeitlimit überschritten. (HVM-14)";
constexpr const char16_t* kUnknownProtocol =
    u"Das Protokoll ist unbekannt und nicht installiert. (HVM-16)";
constexpr const char16_t* kCannotOpenFile = u"Die angegebene Datei kann nicht geöffnet werden. (HVM-18)";
constexpr const char16_t* kNoProgram = u"Für diese Datei ist kein Programm zum Öffnen registriert.";

}  // namespace

const CatalogueEntry kErrorTexts[] = {
    {6, u"Das Handle ist ungültig. (HVM-3)"},
    {8, u" Nicht genügend Speicher (HVM-1) "},
    {18, u"Es wurden keine weiteren Dateien gefunden. (HVM-4)"},
    {50, u"Der benötigte Protokollstapel ist nicht geladen, WinSock kann nicht gestartet werden. (HVM-20)"},
    {122, u"Der an einen Systemaufruf übergebene Datenbereich ist zu klein. (HVM-2)"},
    {259, u"Es sind keine weiteren Daten vorhanden. (HVM-19)"},
    {400, u" Ungültige Anfrage (400)"},
    {401, u"Die angeforderte Ressource erfordert eine Benutzeranmeldung.(401)"},
    {403, u" Verboten (403) "},
    {404, u" Nicht gefunden (404)"},
    {405, u" Methode nicht erlaubt (405)"},
    {409, u" Konflikt (409)"},
    {412, u" Vorbedingung nicht erfüllt (412)"},
    {415, u" Nicht unterstützter Medientyp (415)"},
    {416, u"Der angeforderte Bereich ist nicht erfüllbar (416)"},
    {423, u" Gesperrt (423) "},
    {424, u" Abhängigkeit fehlgeschlagen (424)"},
    {500, u" Interner Serverfehler (500)"},
    {501, u" Nicht implementiert (501)"},
    {502, u" Fehlerhaftes Gateway (502)"},
    {507, u" Nicht genügend Speicherplatz (507)"},
    {1000, u"Es besteht keine Internetverbindung,\n bitte prüfen Sie Ihre Internetverbindung"},
    {12002, u"Die Anfrage hat das Zeitlimit überschritten.(12002). \nVielleicht sollten Sie die "
            u"Zeitlimits der Verbindung erhöhen.\nDas geht im Menü \"Erweitert\""},
    {12004, u"Ein interner Fehler ist aufgetreten.(12004)"},
    {12005, u"Die URL ist ungültig.(12005)"},
    {12006, u"Die URL enthält ein anderes Schema als \"http:\" oder \"https:\".(12006)"},
    {12007, u"Der Servername kann nicht aufgelöst werden.(12007)"},
    {12011, u"Die angeforderte Option kann nicht gesetzt, nur abgefragt werden.(12011)"},
    {12012, u"Die HTTP-Unterstützung wird heruntergefahren oder entladen.(12012)"},
    {12017, u"Der Vorgang wurde abgebrochen, meist weil das Handle vor dem Ende des Vorgangs "
            u"geschlossen wurde.(12017)"},
    {12029, u"Die Verbindung zum Server ist fehlgeschlagen.(12029)"},
    {12030, u"Die Verbindung zum Server wurde zurückgesetzt oder beendet, oder ein inkompatibles "
            u"SSL-Protokoll wurde verwendet.(12030)"},
    {12032, u"Die Funktion ist fehlgeschlagen und kann mit derselben Anfrage wiederholt "
            u"werden.(12032)"},
    {12037, u"Das Datum des SSL-Zertifikats des Servers ist ungültig. Das Zertifikat ist "
            u"abgelaufen.(12037)"},
    {12038, u"Der allgemeine Name (Hostname) des SSL-Zertifikats ist falsch.(12038)"},
    {12044, u"Der Server verlangt eine Client-Authentifizierung.(12044)"},
    {12045, u"Die Zertifikatskette endet in einem nicht vertrauenswürdigen "
            u"Stammzertifikat.(12045)"},
    {12057, u"Der Sperrstatus kann nicht geprüft werden, weil der Sperrserver nicht erreichbar "
            u"ist.(12057)"},
    {12150, u"Der angeforderte Header wurde nicht gefunden.(12150)"},
    {12152, u"Die Antwort des Servers kann nicht ausgewertet werden.(12152)"},
    {12157, u"In der Unterstützung des sicheren Kanals ist ein Fehler aufgetreten.(12157)"},
    {12166, u"Beim Ausführen des Proxy-Konfigurationsskripts ist ein Fehler aufgetreten.(12166)"},
    {12167, u"Das Proxy-Konfigurationsskript konnte nicht geladen werden.(12167)"},
    {12169, u"Das Zertifikat ist ungültig.(12169)"},
    {12170, u"Das Zertifikat wurde gesperrt.(12170)"},
    {12175, u"Im SSL-Zertifikat des Servers wurden Fehler gefunden.(12175)"},
    {12178, u"Für die angegebene URL wurde kein Proxy gefunden.(12178)"},
    {12179, u"Das Zertifikat ist für diese Verwendung nicht gültig.(12179)"},
    {12180, u"Die Adresse des Proxy-Konfigurationsskripts wurde nicht gefunden.(12180)"},
    {12182, u"Die empfangenen Header überschreiten die erlaubte Größe.(12182)"},
    {12184, u"Die Antwort überschreitet eine interne Größengrenze.(12184)"},
    {12185, u"Zum SSL-Client-Zertifikat gehört kein privater Schlüssel.(12185)"},
    {0x80004004, u"Vorgang abgebrochen.()"},
    {0x80040154, kNoProgram},
    {0x800401E4, kInvalidAddress},
    {0x800401E6, kNoProgram},
    {0x800401EA, kCannotOpenFile},
    {0x80072EE2, kTimedOut},
    {0x80072EE5, kInvalidAddress},
    {0x80072EE8, kUnknownProtocol},
    {0x80072EFC, kObjectNotFound},
    {0x80072EFD, kCannotConnect},
    {0x800C0002, kInvalidAddress},
    {0x800C0003, u"Es wurde keine Internetsitzung aufgebaut. (HVM-6)"},
    {0x800C0004, kCannotConnect},
    {0x800C0005, u"Der Server oder Proxy wurde nicht gefunden. (HVM-8)"},
    {0x800C0006, kObjectNotFound},
    {0x800C0007, u"Die Verbindung besteht, aber die Daten können nicht abgerufen werden. (HVM-10)"},
    {0x800C0008, u"Der Download ist fehlgeschlagen (Verbindung unterbrochen). (HVM-11)"},
    {0x800C0009, u"Für den Zugriff auf das Objekt ist eine Anmeldung nötig. (HVM-12)"},
    {0x800C000A, u"Das Objekt hat keinen der zulässigen MIME-Typen. (HVM-13)"},
    {0x800C000B, kTimedOut},
    {0x800C000C, u"Die Anfrage war ungültig. (HVM-15)"},
    {0x800C000D, kUnknownProtocol},
    {0x800C000E, u"Ein Sicherheitsproblem ist aufgetreten. (HVM-17)"},
    {0x800C000F, kCannotOpenFile},
    {0x800C0010, u"Das Objekt konnte nicht erzeugt werden.()"},
    {Own(-1), u"Fehler"},
    {Own(-2), u"Fehler beim Schreiben in eine Datei"},
    {Own(-3), u"Fehler beim Lesen aus einer Datei"},
    {Own(-4), u"Fehler beim Lesen aus tmpFile2"},
    {Own(-5), u"Die temporäre Datei kann nicht gelesen werden"},
    {Own(-6), u"Lesefehler"},
    {Own(-7), u"In die Datei kann nicht geschrieben werden"},
};
const size_t kErrorTextCount = std::size(kErrorTexts);

}  // namespace hvm::lang
