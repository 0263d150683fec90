// Dutch string resources.
#include <iterator>

#include "agent/app/string_table.h"
#include "lang/catalogue.h"

namespace hvm::lang {

const CatalogueEntry kStrings[] = {
    {IDS_CONNECT, u"Verbinden "},
    {IDS_DISCONNECT, u"Verbinding verbreken"},
    {IDS_PROPERTIES, u"Eigenschappen"},
    {IDS_REFRESH, u"Vernieuwen"},
    {IDS_RUN_AT_STARTUP, u"Uitvoeren bij opstarten"},
    {IDS_CONNECT_AT_STARTUP, u"Verbinden bij opstarten"},
    {IDS_NAME_HAS_SLASH, u"De naam mag de tekens '\\' of '/' niet bevatten"},
    {IDS_BAD_URL, u"De URL is niet juist, alleen http://, https:// of ftp:// zijn toegestaan"},
    {IDS_PROGRAM_SETTINGS, u"Programma-instellingen"},
    {IDS_OPEN_THIS_DRIVE, u"Dit station openen"},
    {IDS_CANNOT_DELETE_LAST, u"U kunt de laatste vermelding niet verwijderen"},
    {IDS_PROXY_HINT, u"Als u in uw netwerk een proxyserver gebruikt, voer dan het adres in of "
                     u"vraag uw beheerder om hulp"},
    {IDS_CANNOT_WRITE_FILE, u"Kan niet in een bestand schrijven"},
    {IDS_OFFLINE_CONNECT, u"Offline verbinden"},
    {IDS_CONFLICT_QUESTION, u"Conflict! Moet het bestand naar de server worden gekopieerd? "
                            u"Anders gaan de lokale wijzigingen verloren"},
    {IDS_DISCONNECT_ALL, u"Verbreek eerst alle verbindingen"},
    {IDS_DRIVE_ALREADY_MAPPED, u"Het station is al toegewezen"},
    {IDS_ERROR, u"Fout"},
    {IDS_CONNECT_LOGIN_FAILED,
     u"De server heeft de aanmelding geweigerd. Controleer de gebruikersnaam en het wachtwoord."},
    {IDS_CONNECT_FTP_FAILED, u"Geen verbinding met de FTP-server. Controleer het adres, de "
                             u"gebruikersnaam en het wachtwoord."},
    {IDS_CONNECT_FAILED, u"Kan geen verbinding maken met de server"},
    {IDS_UNABLE_TO_MAP, u"Kan het station niet toewijzen"},
    {IDS_UNABLE_TO_DISCONNECT, u"Kan de verbinding met het station niet verbreken"},
    {IDS_OPEN_FILE_ON_CONNECTION, u"De verbinding heeft een geopend bestand"},
    {IDS_MENU_CONNECTIONS, u"Verbindingen"},
    {IDS_MENU_SETTINGS, u"Instellingen"},
    {IDS_MENU_LOG, u"Logboek"},
    {IDS_MENU_HELP, u"Help"},
    {IDS_MENU_ABOUT, u"Info"},
    {IDS_MENU_OPEN, u"Openen"},
    {IDS_MENU_UPDATE, u"Bijwerken"},
    {IDS_MENU_EXIT, u"Afsluiten"},
};
const size_t kStringCount = std::size(kStrings);

}  // namespace hvm::lang
