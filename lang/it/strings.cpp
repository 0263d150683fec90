// Italian string resources.
#include <iterator>

#include "agent/app/string_table.h"
#include "lang/catalogue.h"

namespace hvm::lang {

const CatalogueEntry kStrings[] = {
    {IDS_CONNECT, u"Connetti "},
    {IDS_DISCONNECT, u"Disconnetti"},
    {IDS_PROPERTIES, u"Proprietà"},
    {IDS_REFRESH, u"Aggiorna"},
    {IDS_RUN_AT_STARTUP, u"Esegui all'avvio"},
    {IDS_CONNECT_AT_STARTUP, u"Connetti all'avvio"},
    {IDS_NAME_HAS_SLASH, u"Il nome non può contenere i simboli '\\' o '/'"},
    {IDS_BAD_URL, u"L'URL non è corretto, sono ammessi solo http://, https:// o ftp://"},
    {IDS_PROGRAM_SETTINGS, u"Impostazioni del programma"},
    {IDS_OPEN_THIS_DRIVE, u"Apri questa unità"},
    {IDS_CANNOT_DELETE_LAST, u"Non è possibile eliminare l'ultima voce"},
    {IDS_PROXY_HINT, u"Se nella vostra rete usate un server proxy, inserite il suo indirizzo o "
                     u"chiedete aiuto al vostro amministratore"},
    {IDS_CANNOT_WRITE_FILE, u"Impossibile scrivere in un file"},
    {IDS_OFFLINE_CONNECT, u"Connetti offline"},
    {IDS_CONFLICT_QUESTION, u"Conflitto! Copiare il file sul server? Altrimenti le modifiche "
                            u"locali andranno perse"},
    {IDS_DISCONNECT_ALL, u"Chiudere tutte le connessioni, per favore"},
    {IDS_DRIVE_ALREADY_MAPPED, u"L'unità è già assegnata"},
    {IDS_ERROR, u"Errore"},
    {IDS_CONNECT_LOGIN_FAILED,
     u"Il server ha rifiutato l'accesso. Verificare nome utente e password."},
    {IDS_CONNECT_FTP_FAILED, u"Impossibile connettersi al server FTP. Verificare indirizzo, "
                             u"nome utente e password."},
    {IDS_CONNECT_FAILED, u"Impossibile connettersi al server"},
    {IDS_UNABLE_TO_MAP, u"Impossibile assegnare l'unità"},
    {IDS_UNABLE_TO_DISCONNECT, u"Impossibile disconnettere l'unità"},
    {IDS_OPEN_FILE_ON_CONNECTION, u"La connessione ha un file aperto"},
    {IDS_MENU_CONNECTIONS, u"Connessioni"},
    {IDS_MENU_SETTINGS, u"Impostazioni"},
    {IDS_MENU_LOG, u"Registro"},
    {IDS_MENU_HELP, u"Guida"},
    {IDS_MENU_ABOUT, u"Informazioni"},
    {IDS_MENU_OPEN, u"Apri"},
    {IDS_MENU_UPDATE, u"Aggiornamento"},
    {IDS_MENU_EXIT, u"Esci"},
};
const size_t kStringCount = std::size(kStrings);

}  // namespace hvm::lang
