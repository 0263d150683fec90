// Italian error texts.
#include <iterator>

#include "lang/catalogue.h"

namespace hvm::lang {
namespace {

constexpr const char16_t* kInvalidAddress = u"Impossibile analizzare l'indirizzo. (HVM-5)";
constexpr const char16_t* kCannotConnect = u"Il tentativo di connessione a Internet non è riuscito. (HVM-7)";
constexpr const char16_t* kObjectNotFound = u"L'oggetto non è stato trovato. (HVM-9)";
constexpr const char16_t* kTimedOut = u"Timeout della connessione Internet. (HVM-14)";
constexpr const char16_t* kUnknownProtocol = u"Il protocollo è sconosciuto o non installato. (HVM-16)";
constexpr const char16_t* kCannotOpenFile = u"Impossibile aprire il file specificato. (HVM-18)";
constexpr const char16_t* kNoProgram = u"Nessun programma è registrato per aprire questo file.";

}  // namespace

const CatalogueEntry kErrorTexts[] = {
    {6, u"L'handle non è valido. (HVM-3)"},
    {8, u" Memoria insufficiente (HVM-1) "},
    {18, u"Non sono stati trovati altri file. (HVM-4)"},
    {50, u"Lo stack di protocollo richiesto non è caricato, impossibile avviare WinSock. (HVM-20)"},
    {122, u"L'area dati passata a una chiamata di sistema è troppo piccola. (HVM-2)"},
    {259, u"Non ci sono altri dati disponibili. (HVM-19)"},
    {400, u" Richiesta non valida (400)"},
    {401, u"La risorsa richiesta richiede l'autenticazione dell'utente.(401)"},
    {403, u" Accesso negato (403) "},
    {404, u" Non trovato (404)"},
    {405, u" Metodo non consentito (405)"},
    {409, u" Conflitto (409)"},
    {412, u" Precondizione non soddisfatta (412)"},
    {415, u" Tipo di supporto non supportato (415)"},
    {416, u"L'intervallo richiesto non è soddisfacibile (416)"},
    {423, u" Bloccato (423) "},
    {424, u" Dipendenza non riuscita (424)"},
    {500, u" Errore interno del server (500)"},
    {501, u" Non implementato (501)"},
    {502, u" Gateway non valido (502)"},
    {507, u" Spazio di archiviazione insufficiente (507)"},
    {1000, u"Non c'è connessione a Internet,\n verificare la connessione a Internet"},
    {12002, u"Timeout della richiesta.(12002). \nForse è necessario aumentare i timeout della "
            u"connessione.\nÈ possibile farlo nel menu \"Avanzate\""},
    {12004, u"Si è verificato un errore interno.(12004)"},
    {12005, u"L'URL non è valido.(12005)"},
    {12006, u"L'URL indica uno schema diverso da \"http:\" o \"https:\".(12006)"},
    {12007, u"Impossibile risolvere il nome del server.(12007)"},
    {12011, u"L'opzione richiesta non può essere impostata, solo letta.(12011)"},
    {12012, u"Il supporto HTTP è in fase di chiusura o scaricamento.(12012)"},
    {12017, u"L'operazione è stata annullata, di solito perché l'handle è stato chiuso prima "
            u"della fine dell'operazione.(12017)"},
    {12029, u"Connessione al server non riuscita.(12029)"},
    {12030, u"La connessione con il server è stata reimpostata o interrotta, oppure è stato "
            u"rilevato un protocollo SSL incompatibile.(12030)"},
    {12032, u"La funzione non è riuscita e può essere ripetuta sulla stessa richiesta.(12032)"},
    {12037, u"La data del certificato SSL ricevuto dal server non è valida. Il certificato è "
            u"scaduto.(12037)"},
    {12038, u"Il nome comune (nome host) del certificato SSL non è corretto.(12038)"},
    {12044, u"Il server richiede l'autenticazione del client.(12044)"},
    {12045, u"La catena di certificati termina in un certificato radice non attendibile.(12045)"},
    {12057, u"Impossibile verificare la revoca perché il server di revoca non è in linea.(12057)"},
    {12150, u"L'intestazione richiesta non è stata trovata.(12150)"},
    {12152, u"Impossibile analizzare la risposta del server.(12152)"},
    {12157, u"Errore nel supporto del canale sicuro.(12157)"},
    {12166, u"Errore durante l'esecuzione dello script di configurazione del proxy.(12166)"},
    {12167, u"Impossibile scaricare lo script di configurazione del proxy.(12167)"},
    {12169, u"Il certificato non è valido.(12169)"},
    {12170, u"Il certificato è stato revocato.(12170)"},
    {12175, u"Sono stati trovati errori nel certificato SSL inviato dal server.(12175)"},
    {12178, u"Impossibile trovare un proxy per l'URL specificato.(12178)"},
    {12179, u"Il certificato non è valido per l'uso richiesto.(12179)"},
    {12180, u"Impossibile rilevare l'indirizzo dello script di configurazione del proxy.(12180)"},
    {12182, u"La dimensione delle intestazioni ricevute supera il limite consentito.(12182)"},
    {12184, u"La risposta ricevuta supera un limite interno di dimensione.(12184)"},
    {0x80004004, u"Operazione interrotta.()"},
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
    {0x800C0003, u"Non è stata stabilita alcuna sessione Internet. (HVM-6)"},
    {0x800C0004, kCannotConnect},
    {0x800C0005, u"Il server o il proxy non è stato trovato. (HVM-8)"},
    {0x800C0006, kObjectNotFound},
    {0x800C0007, u"La connessione è stabilita, ma i dati non possono essere letti. (HVM-10)"},
    {0x800C0008, u"Download non riuscito (connessione interrotta). (HVM-11)"},
    {0x800C0009, u"Per accedere all'oggetto è necessaria l'autenticazione. (HVM-12)"},
    {0x800C000A, u"L'oggetto non è di uno dei tipi MIME accettati. (HVM-13)"},
    {0x800C000B, kTimedOut},
    {0x800C000C, u"La richiesta non era valida. (HVM-15)"},
    {0x800C000D, kUnknownProtocol},
    {0x800C000E, u"Si è verificato un problema di sicurezza. (HVM-17)"},
    {0x800C000F, kCannotOpenFile},
    {0x800C0010, u"Impossibile creare l'oggetto.()"},
    {Own(-1), u"Errore"},
    {Own(-2), u"Errore di scrittura in un file"},
    {Own(-3), u"Errore di lettura da un file"},
    {Own(-4), u"Errore di lettura da tmpFile2"},
    {Own(-5), u"Impossibile leggere dal file temporaneo"},
    {Own(-6), u"Errore di lettura"},
    {Own(-7), u"Impossibile scrivere nel file"},
};
const size_t kErrorTextCount = std::size(kErrorTexts);

}  // namespace hvm::lang
