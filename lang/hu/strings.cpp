// Hungarian string resources.
#include <iterator>

#include "agent/app/string_table.h"
#include "lang/catalogue.h"

namespace hvm::lang {

const CatalogueEntry kStrings[] = {
    {IDS_CONNECT, u"Csatlakozás "},
    {IDS_DISCONNECT, u"Leválasztás"},
    {IDS_PROPERTIES, u"Tulajdonságok"},
    {IDS_REFRESH, u"Frissítés"},
    {IDS_RUN_AT_STARTUP, u"Indítás a rendszerrel"},
    {IDS_CONNECT_AT_STARTUP, u"Csatlakozás induláskor"},
    {IDS_NAME_HAS_SLASH, u"A név nem tartalmazhatja a '\\' vagy '/' jelet"},
    {IDS_BAD_URL, u"Az URL hibás, csak http://, https:// vagy ftp:// lehet"},
    {IDS_PROGRAM_SETTINGS, u"Programbeállítások"},
    {IDS_OPEN_THIS_DRIVE, u"A meghajtó megnyitása"},
    {IDS_CANNOT_DELETE_LAST, u"Az utolsó bejegyzés nem törölhető"},
    {IDS_PROXY_HINT, u"Ha a hálózatában proxykiszolgálót használ, adja meg a címét, vagy kérje "
                     u"a rendszergazda segítségét"},
    {IDS_CANNOT_WRITE_FILE, u"Nem lehet írni a fájlba"},
    {IDS_OFFLINE_CONNECT, u"Kapcsolat nélküli csatlakozás"},
    {IDS_CONFLICT_QUESTION, u"Ütközés! Átmásolja a fájlt a kiszolgálóra? Ha nem, a helyi "
                            u"módosítások elvesznek"},
    {IDS_DISCONNECT_ALL, u"Kérjük, bontsa az összes kapcsolatot"},
    {IDS_DRIVE_ALREADY_MAPPED, u"A meghajtó már hozzá van rendelve"},
    {IDS_ERROR, u"Hiba"},
    {IDS_CONNECT_LOGIN_FAILED,
     u"A kiszolgáló elutasította a bejelentkezést. Ellenőrizze a felhasználónevet és a jelszót."},
    {IDS_CONNECT_FTP_FAILED, u"Nem sikerült kapcsolódni az FTP-kiszolgálóhoz. Ellenőrizze a "
                             u"címet, a felhasználónevet és a jelszót."},
    {IDS_CONNECT_FAILED, u"Nem sikerült kapcsolódni a kiszolgálóhoz"},
    {IDS_UNABLE_TO_MAP, u"A meghajtó nem rendelhető hozzá"},
    {IDS_UNABLE_TO_DISCONNECT, u"A meghajtó nem választható le"},
    {IDS_OPEN_FILE_ON_CONNECTION, u"A kapcsolaton nyitott fájl van"},
    {IDS_MENU_CONNECTIONS, u"Kapcsolatok"},
    {IDS_MENU_SETTINGS, u"Beállítások"},
    {IDS_MENU_LOG, u"Napló"},
    {IDS_MENU_HELP, u"Súgó"},
    {IDS_MENU_ABOUT, u"Névjegy"},
    {IDS_MENU_OPEN, u"Megnyitás"},
    {IDS_MENU_UPDATE, u"Frissítés keresése"},
    {IDS_MENU_EXIT, u"Kilépés"},
};
const size_t kStringCount = std::size(kStrings);

}  // namespace hvm::lang
