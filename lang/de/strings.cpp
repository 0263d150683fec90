// German string resources.
#include <iterator>

#include "agent/app/string_table.h"
#include "lang/catalogue.h"

namespace hvm::lang {

const CatalogueEntry kStrings[] = {
    {IDS_CONNECT, u"Verbinden "},
    {IDS_DISCONNECT, u"Trennen"},
    {IDS_PROPERTIES, u"Eigenschaften"},
    {IDS_REFRESH, u"Aktualisieren"},
    {IDS_RUN_AT_STARTUP, u"Beim Systemstart ausführen"},
    {IDS_CONNECT_AT_STARTUP, u"Beim Start verbinden"},
    {IDS_NAME_HAS_SLASH, u"Der Name darf die Zeichen '\\' und '/' nicht enthalten"},
    {IDS_BAD_URL, u"Die URL ist nicht korrekt, erlaubt sind nur http://, https:// oder ftp://"},
    {IDS_PROGRAM_SETTINGS, u"Programmeinstellungen"},
    {IDS_OPEN_THIS_DRIVE, u"Dieses Laufwerk öffnen"},
    {IDS_CANNOT_DELETE_LAST, u"Der letzte Eintrag kann nicht gelöscht werden"},
    {IDS_PROXY_HINT, u"Wenn Sie in Ihrem Netzwerk einen Proxyserver verwenden, geben Sie bitte "
                     u"seine Adresse ein oder fragen Sie Ihren Administrator"},
    {IDS_CANNOT_WRITE_FILE, u"In die Datei kann nicht geschrieben werden"},
    {IDS_OFFLINE_CONNECT, u"Offline verbinden"},
    {IDS_CONFLICT_QUESTION, u"Konflikt! Soll die Datei auf den Server kopiert werden? Sonst "
                            u"gehen die lokalen Änderungen verloren"},
    {IDS_DISCONNECT_ALL, u"Bitte trennen Sie alle Verbindungen"},
    {IDS_DRIVE_ALREADY_MAPPED, u"Das Laufwerk ist bereits zugeordnet"},
    {IDS_ERROR, u"Fehler"},
    {IDS_CONNECT_LOGIN_FAILED,
     u"Der Server hat die Anmeldung abgelehnt. Bitte prüfen Sie Benutzername und Passwort."},
    {IDS_CONNECT_FTP_FAILED, u"Keine Verbindung zum FTP-Server. Bitte prüfen Sie Adresse, "
                             u"Benutzername und Passwort."},
    {IDS_CONNECT_FAILED, u"Keine Verbindung zum Server möglich"},
    {IDS_UNABLE_TO_MAP, u"Das Laufwerk kann nicht zugeordnet werden"},
    {IDS_UNABLE_TO_DISCONNECT, u"Das Laufwerk kann nicht getrennt werden"},
    {IDS_OPEN_FILE_ON_CONNECTION, u"Die Verbindung hat eine geöffnete Datei"},
    {IDS_MENU_CONNECTIONS, u"Verbindungen"},
    {IDS_MENU_SETTINGS, u"Einstellungen"},
    {IDS_MENU_LOG, u"Protokoll"},
    {IDS_MENU_HELP, u"Hilfe"},
    {IDS_MENU_ABOUT, u"Über"},
    {IDS_MENU_OPEN, u"Öffnen"},
    {IDS_MENU_UPDATE, u"Aktualisierung"},
    {IDS_MENU_EXIT, u"Beenden"},
};
const size_t kStringCount = std::size(kStrings);

}  // namespace hvm::lang
