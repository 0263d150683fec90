// Dutch error texts.
#include <iterator>

#include "lang/catalogue.h"

namespace hvm::lang {
namespace {

constexpr const char16_t* kInvalidAddress = u"Het adres kan niet worden ontleed. (HVM-5)";
constexpr const char16_t* kCannotConnect = u"De verbinding met internet is mislukt. (HVM-7)";
constexpr const char16_t* kObjectNotFound = u"Het object is niet gevonden. (HVM-9)";
constexpr const char16_t* kTimedOut = u"Er is een time-out opgetreden voor de internetverbinding. (HVM-14)";
constexpr const char16_t* kUnknownProtocol = u"Het protocol is onbekend of niet geïnstalleerd. (HVM-16)";
constexpr const char16_t* kCannotOpenFile = u"Het opgegeven bestand kan niet worden geopend. (HVM-18)";
constexpr const char16_t* kNoProgram = u"Er is geen programma geregistreerd om dit bestand te openen.";

}  // namespace

const CatalogueEntry kErrorTexts[] = {
    {6, u"De ingang is ongeldig. (HVM-3)"},
    {8, u" Onvoldoende geheugen (HVM-1) "},
    {18, u"Er zijn geen bestanden meer gevonden. (HVM-4)"},
    {50, u"De vereiste protocolstack is niet geladen, WinSock kan niet starten. (HVM-20)"},
    {122, u"Het gegevensgebied dat aan een systeemaanroep is doorgegeven, is te klein. (HVM-2)"},
    {259, u"Er zijn geen gegevens meer beschikbaar. (HVM-19)"},
    {400, u" Ongeldige aanvraag (400)"},
    {401, u"Voor de gevraagde bron is gebruikersverificatie vereist.(401)"},
    {403, u" Verboden (403) "},
    {404, u" Niet gevonden (404)"},
    {405, u" Methode niet toegestaan (405)"},
    {409, u" Conflict (409)"},
    {412, u" Niet aan voorwaarde voldaan (412)"},
    {415, u" Niet-ondersteund mediatype (415)"},
    {416, u"Het gevraagde bereik kan niet worden geleverd (416)"},
    {423, u" Vergrendeld (423) "},
    {424, u" Afhankelijkheid mislukt (424)"},
    {500, u" Interne serverfout (500)"},
    {501, u" Niet geïmplementeerd (501)"},
    {502, u" Ongeldige gateway (502)"},
    {507, u" Onvoldoende opslagruimte (507)"},
    {1000, u"Er is geen internetverbinding,\n controleer uw internetverbinding"},
    {12001, u"Er kunnen op dit moment geen ingangen meer worden aangemaakt.(12001)"},
    {12002, u"Er is een time-out opgetreden voor de aanvraag.(12002). \nMisschien moet u de "
            u"time-outs van de verbinding verhogen.\nDat kan in het menu \"Geavanceerd\""},
    {12004, u"Er is een interne fout opgetreden.(12004)"},
    {12005, u"De URL is ongeldig.(12005)"},
    {12006, u"De URL gebruikt een ander schema dan \"http:\" of \"https:\".(12006)"},
    {12007, u"De servernaam kan niet worden omgezet.(12007)"},
    {12009, u"Een aanvraag om een optie op te vragen of in te stellen bevatte een ongeldige "
            u"waarde.(12009)"},
    {12011, u"De gevraagde optie kan alleen worden opgevraagd, niet ingesteld.(12011)"},
    {12012, u"De HTTP-ondersteuning wordt afgesloten of verwijderd.(12012)"},
    {12015, u"De aanmeldpoging is mislukt.(12015)"},
    {12017, u"De bewerking is geannuleerd, meestal omdat de ingang werd gesloten voordat de "
            u"bewerking klaar was.(12017)"},
    {12018, u"Het type ingang is onjuist voor deze bewerking.(12018)"},
    {12019, u"De bewerking kan niet worden uitgevoerd omdat de ingang niet de juiste status "
            u"heeft.(12019)"},
    {12029, u"De verbinding met de server is mislukt.(12029)"},
    {12030, u"De verbinding met de server is verbroken of beëindigd, of er werd een "
            u"incompatibel SSL-protocol gebruikt.(12030)"},
    {12032, u"De functie is mislukt en kan op dezelfde aanvraag opnieuw worden "
            u"geprobeerd.(12032)"},
    {12037, u"De datum van het SSL-certificaat van de server is ongeldig. Het certificaat is "
            u"verlopen.(12037)"},
    {12038, u"De algemene naam (hostnaam) van het SSL-certificaat is onjuist.(12038)"},
    {12044, u"De server vraagt om clientverificatie.(12044)"},
    {12045, u"De certificaatketen eindigt in een basiscertificaat dat niet wordt "
            u"vertrouwd.(12045)"},
    {12057, u"De intrekking kan niet worden gecontroleerd omdat de intrekkingsserver offline "
            u"is.(12057)"},
    {12100, u"De bewerking kan niet worden uitgevoerd voordat de methode Open is "
            u"aangeroepen.(12100)"},
    {12101, u"De bewerking kan niet worden uitgevoerd voordat de methode Send is "
            u"aangeroepen.(12101)"},
    {12102, u"De bewerking kan niet worden uitgevoerd nadat de methode Send is "
            u"aangeroepen.(12102)"},
    {12103, u"De optie kan niet worden opgevraagd nadat de methode Open is aangeroepen.(12103)"},
    {12150, u"De gevraagde header is niet gevonden.(12150)"},
    {12152, u"Het antwoord van de server kan niet worden ontleed.(12152)"},
    {12154, u"De aanvraag om een header op te vragen is ongeldig.(12154)"},
    {12155, u"De header kan niet worden toegevoegd omdat hij al bestaat.(12155)"},
    {12156, u"De omleiding is mislukt omdat het schema veranderde of alle pogingen tot omleiden "
            u"mislukten.(12156)"},
    {12157, u"Er is een fout opgetreden in de ondersteuning van het beveiligde kanaal.(12157)"},
    {12166, u"Bij het uitvoeren van het proxyconfiguratiescript is een fout opgetreden.(12166)"},
    {12167, u"Het proxyconfiguratiescript kan niet worden gedownload.(12167)"},
    {12169, u"Het certificaat is ongeldig.(12169)"},
    {12170, u"Het certificaat is ingetrokken.(12170)"},
    {12172, u"Het HTTP-subsysteem is niet geïnitialiseerd.(12172)"},
    {12175, u"Er zijn fouten gevonden in het SSL-certificaat dat de server heeft "
            u"verzonden.(12175)"},
    {12178, u"Er is geen proxy gevonden voor de opgegeven URL.(12178)"},
    {12179, u"Het certificaat is niet geldig voor dit gebruik.(12179)"},
    {12180, u"Het adres van het proxyconfiguratiescript kan niet worden gevonden.(12180)"},
    {12181, u"Het antwoord bevatte meer headers dan konden worden ontvangen.(12181)"},
    {12182, u"De ontvangen headers overschrijden de toegestane grootte.(12182)"},
    {12183, u"Bij het ontleden van gesegmenteerde codering trad een overloop op.(12183)"},
    {12184, u"Het antwoord overschrijdt een interne groottegrens.(12184)"},
    {0x80004004, u"Bewerking afgebroken.()"},
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
    {0x800C0003, u"Er is geen internetsessie tot stand gebracht. (HVM-6)"},
    {0x800C0004, kCannotConnect},
    {0x800C0005, u"De server of proxy is niet gevonden. (HVM-8)"},
    {0x800C0006, kObjectNotFound},
    {0x800C0007, u"De verbinding is tot stand gebracht, maar de gegevens kunnen niet worden "
                 u"opgehaald. (HVM-10)"},
    {0x800C0008, u"Het downloaden is mislukt (verbinding onderbroken). (HVM-11)"},
    {0x800C0009, u"Voor toegang tot het object is verificatie nodig. (HVM-12)"},
    {0x800C000A, u"Het object heeft geen van de toegestane MIME-typen. (HVM-13)"},
    {0x800C000B, kTimedOut},
    {0x800C000C, u"De aanvraag was ongeldig. (HVM-15)"},
    {0x800C000D, kUnknownProtocol},
    {0x800C000E, u"Er is een beveiligingsprobleem opgetreden. (HVM-17)"},
    {0x800C000F, kCannotOpenFile},
    {0x800C0010, u"Het object kan niet worden gemaakt.()"},
    {Own(-1), u"Fout"},
    {Own(-2), u"Fout bij het schrijven naar een bestand"},
    {Own(-3), u"Fout bij het lezen uit een bestand"},
    {Own(-4), u"Fout bij het lezen uit tmpFile2"},
    {Own(-5), u"Kan niet lezen uit het tijdelijke bestand"},
    {Own(-6), u"Leesfout"},
    {Own(-7), u"Kan niet in het bestand schrijven"},
};
const size_t kErrorTextCount = std::size(kErrorTexts);

}  // namespace hvm::lang
