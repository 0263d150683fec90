// Hungarian error texts.
#include <iterator>

#include "lang/catalogue.h"

namespace hvm::lang {
namespace {

constexpr const char16_t* kInvalidAddress = u"A cím nem értelmezhető. (HVM-5)";
constexpr const char16_t* kCannotConnect = u"Nem sikerült kapcsolódni az internethez. (HVM-7)";
constexpr const char16_t* kObjectNotFound = u"Az objektum nem található. (HVM-9)";
constexpr const char16_t* kTimedOut = u"Az internetkapcsolat időtúllépés miatt megszakadt. (HVM-14)";
constexpr const char16_t* kUnknownProtocol = u"A protokoll ismeretlen vagy nincs telepítve. (HVM-16)";
constexpr const char16_t* kCannotOpenFile = u"A megadott fájl nem nyitható meg. (HVM-18)";
constexpr const char16_t* kNoProgram = u"Nincs program regisztrálva a fájl megnyitásához.";

}  // namespace

const CatalogueEntry kErrorTexts[] = {
    {6, u"A leíró érvénytelen. (HVM-3)"},
    {8, u" Nincs elég memória (HVM-1) "},
    {18, u"Nem található több fájl. (HVM-4)"},
    {50, u"A szükséges protokollkészlet nincs betöltve, a WinSock nem indítható. (HVM-20)"},
    {122, u"A rendszerhívásnak átadott adatterület túl kicsi. (HVM-2)"},
    {259, u"Nincs több adat. (HVM-19)"},
    {400, u" Hibás kérés (400)"},
    {401, u"A kért erőforrás felhasználói hitelesítést igényel.(401)"},
    {403, u" Tiltott (403) "},
    {404, u" Nem található (404)"},
    {405, u" A metódus nem engedélyezett (405)"},
    {409, u" Ütközés (409)"},
    {412, u" Az előfeltétel nem teljesült (412)"},
    {415, u" Nem támogatott médiatípus (415)"},
    {416, u"A kért tartomány nem teljesíthető (416)"},
    {423, u" Zárolva (423) "},
    {424, u" Sikertelen függőség (424)"},
    {500, u" Belső kiszolgálóhiba (500)"},
    {501, u" Nincs megvalósítva (501)"},
    {502, u" Hibás átjáró (502)"},
    {507, u" Nincs elég tárhely (507)"},
    {1000, u"Nincs internetkapcsolat,\n kérjük, ellenőrizze az internetkapcsolatot"},
    {12002, u"A kérés időtúllépés miatt megszakadt.(12002). \nÉrdemes lehet növelni a kapcsolat "
            u"időkorlátait.\nEzt a \"Speciális\" menüben teheti meg"},
    {12004, u"Belső hiba történt.(12004)"},
    {12005, u"Az URL érvénytelen.(12005)"},
    {12006, u"Az URL sémája nem \"http:\" és nem \"https:\".(12006)"},
    {12007, u"A kiszolgáló neve nem oldható fel.(12007)"},
    {12009, u"Egy beállítás lekérdezése vagy megadása érvénytelen értéket tartalmazott.(12009)"},
    {12011, u"A kért beállítás nem módosítható, csak lekérdezhető.(12011)"},
    {12012, u"A HTTP-támogatás leállítása vagy eltávolítása folyamatban van.(12012)"},
    {12015, u"A bejelentkezés sikertelen.(12015)"},
    {12017, u"A művelet megszakadt, általában mert a leírót a művelet vége előtt "
            u"bezárták.(12017)"},
    {12018, u"A megadott leíró típusa nem megfelelő ehhez a művelethez.(12018)"},
    {12019, u"A művelet nem hajtható végre, mert a leíró nincs megfelelő állapotban.(12019)"},
    {12029, u"Nem sikerült kapcsolódni a kiszolgálóhoz.(12029)"},
    {12030, u"A kiszolgálóval létesített kapcsolat megszakadt, vagy nem kompatibilis SSL "
            u"protokollt használt.(12030)"},
    {12032, u"A függvény sikertelen, ugyanazzal a kéréssel újra megpróbálható.(12032)"},
    {12037, u"A kiszolgáló SSL-tanúsítványának dátuma érvénytelen. A tanúsítvány "
            u"lejárt.(12037)"},
    {12038, u"Az SSL-tanúsítvány köznapi neve (gazdagépneve) hibás.(12038)"},
    {12044, u"A kiszolgáló ügyfélhitelesítést kér.(12044)"},
    {12045, u"A tanúsítványlánc nem megbízható főtanúsítványban végződik.(12045)"},
    {12057, u"A visszavonás nem ellenőrizhető, mert a visszavonási kiszolgáló nem "
            u"érhető el.(12057)"},
    {12100, u"A művelet nem hajtható végre az Open metódus hívása előtt.(12100)"},
    {12101, u"A művelet nem hajtható végre a Send metódus hívása előtt.(12101)"},
    {12102, u"A művelet nem hajtható végre a Send metódus hívása után.(12102)"},
    {12103, u"A beállítás nem kérhető le az Open metódus hívása után.(12103)"},
    {12150, u"A kért fejléc nem található.(12150)"},
    {12152, u"A kiszolgáló válasza nem értelmezhető.(12152)"},
    {12155, u"A fejléc nem adható hozzá, mert már létezik.(12155)"},
    {12156, u"Az átirányítás sikertelen, mert a séma megváltozott, vagy minden átirányítási "
            u"kísérlet sikertelen volt.(12156)"},
    {12157, u"Hiba történt a biztonságos csatorna támogatásában.(12157)"},
    {12166, u"Hiba történt a proxykonfigurációs parancsfájl futtatásakor.(12166)"},
    {12167, u"A proxykonfigurációs parancsfájl nem tölthető le.(12167)"},
    {12169, u"A tanúsítvány érvénytelen.(12169)"},
    {12170, u"A tanúsítványt visszavonták.(12170)"},
    {12175, u"Hibák találhatók a kiszolgáló által küldött SSL-tanúsítványban.(12175)"},
    {12178, u"A megadott URL-hez nem található proxy.(12178)"},
    {12179, u"A tanúsítvány nem érvényes erre a felhasználásra.(12179)"},
    {12180, u"A proxykonfigurációs parancsfájl címe nem deríthető fel.(12180)"},
    {12181, u"A válasz több fejlécet tartalmazott, mint amennyi fogadható.(12181)"},
    {12182, u"A fogadott fejlécek mérete meghaladja a megengedett korlátot.(12182)"},
    {12183, u"Túlcsordulás történt a darabolt kódolás feldolgozása közben.(12183)"},
    {12184, u"A válasz meghaladja egy belső méretkorlátot.(12184)"},
    {0x80004004, u"A művelet megszakadt.()"},
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
    {0x800C0003, u"Nem jött létre internetes munkamenet. (HVM-6)"},
    {0x800C0004, kCannotConnect},
    {0x800C0005, u"A kiszolgáló vagy a proxy nem található. (HVM-8)"},
    {0x800C0006, kObjectNotFound},
    {0x800C0007, u"A kapcsolat létrejött, de az adatok nem olvashatók be. (HVM-10)"},
    {0x800C0008, u"A letöltés sikertelen (a kapcsolat megszakadt). (HVM-11)"},
    {0x800C0009, u"Az objektum eléréséhez hitelesítés szükséges. (HVM-12)"},
    {0x800C000A, u"Az objektum nem az elfogadott MIME-típusok egyike. (HVM-13)"},
    {0x800C000B, kTimedOut},
    {0x800C000C, u"A kérés érvénytelen volt. (HVM-15)"},
    {0x800C000D, kUnknownProtocol},
    {0x800C000E, u"Biztonsági probléma lépett fel. (HVM-17)"},
    {0x800C000F, kCannotOpenFile},
    {0x800C0010, u"Az objektum nem hozható létre.()"},
    {Own(-1), u"Hiba"},
    {Own(-2), u"Hiba a fájlba írás közben"},
    {Own(-3), u"Hiba a fájlból olvasás közben"},
    {Own(-4), u"Hiba a tmpFile2 olvasása közben"},
    {Own(-5), u"Az ideiglenes fájl nem olvasható"},
    {Own(-6), u"Olvasási hiba"},
    {Own(-7), u"Nem lehet írni a fájlba"},
};
const size_t kErrorTextCount = std::size(kErrorTexts);

}  // namespace hvm::lang
