// French error texts.
#include <iterator>

#include "lang/catalogue.h"

namespace hvm::lang {
namespace {

constexpr const char16_t* kInvalidAddress = u"L'adresse n'a pas pu être analysée. (HVM-5)";
constexpr const char16_t* kCannotConnect = u"La connexion à Internet a échoué. (HVM-7)";
constexpr const char16_t* kObjectNotFound = u"L'objet est introuvable. (HVM-9)";
constexpr const char16_t* kTimedOut = u"Le délai de la connexion Internet a expiré. (HVM-14)";
constexpr const char16_t* kUnknownProtocol = u"Le protocole est inconnu ou n'est pas installé. (HVM-16)";
constexpr const char16_t* kCannotOpenFile = u"Impossible d'ouvrir le fichier indiqué. (HVM-18)";
constexpr const char16_t* kNoProgram = u"Aucun programme n'est enregistré pour ouvrir ce fichier.";

}  // namespace

const CatalogueEntry kErrorTexts[] = {
    {6, u"Le descripteur n'est pas valide. (HVM-3)"},
    {8, u" Espace insuffisant (HVM-1) "},
    {18, u"Aucun autre fichier n'a été trouvé. (HVM-4)"},
    {50, u"La pile de protocoles requise n'est pas chargée, WinSock ne peut pas démarrer. (HVM-20)"},
    {122, u"La zone de données transmise à un appel système est trop petite. (HVM-2)"},
    {259, u"Il n'y a plus de données. (HVM-19)"},
    {400, u" Requête incorrecte (400)"},
    {401, u"La ressource demandée exige une authentification de l'utilisateur.(401)"},
    {403, u" Interdit (403) "},
    {404, u" Introuvable (404)"},
    {405, u" Méthode non autorisée (405)"},
    {409, u" Conflit (409)"},
    {412, u" Échec de la précondition (412)"},
    {415, u" Type de média non pris en charge (415)"},
    {416, u"La plage demandée ne peut pas être satisfaite (416)"},
    {423, u" Verrouillé (423) "},
    {424, u" Échec de dépendance (424)"},
    {500, u" Erreur interne du serveur (500)"},
    {501, u" Non implémenté (501)"},
    {502, u" Mauvaise passerelle (502)"},
    {507, u" Espace de stockage insuffisant (507)"},
    {1000, u"Il n'y a pas de connexion Internet,\n veuillez vérifier votre connexion Internet"},
    {12002, u"Le délai de la requête a expiré.(12002). \nVous devriez peut-être augmenter les "
            u"délais de la connexion.\nVous pouvez le faire dans le menu \"Avancé\""},
    {12004, u"Une erreur interne s'est produite.(12004)"},
    {12005, u"L'URL n'est pas valide.(12005)"},
    {12006, u"L'URL indique un schéma autre que \"http:\" ou \"https:\".(12006)"},
    {12007, u"Le nom du serveur ne peut pas être résolu.(12007)"},
    {12011, u"L'option demandée ne peut pas être définie, seulement lue.(12011)"},
    {12012, u"Le support HTTP est en cours d'arrêt ou de déchargement.(12012)"},
    {12017, u"L'opération a été annulée, en général parce que le descripteur a été fermé avant "
            u"la fin de l'opération.(12017)"},
    {12029, u"La connexion au serveur a échoué.(12029)"},
    {12030, u"La connexion avec le serveur a été réinitialisée ou interrompue, ou un protocole "
            u"SSL incompatible a été rencontré.(12030)"},
    {12032, u"La fonction a échoué et peut être relancée sur la même requête.(12032)"},
    {12038, u"Le nom commun (nom d'hôte) du certificat SSL est incorrect.(12038)"},
    {12044, u"Le serveur demande une authentification du client.(12044)"},
    {12045, u"La chaîne de certificats aboutit à un certificat racine non approuvé.(12045)"},
    {12057, u"La révocation ne peut pas être vérifiée car le serveur de révocation est hors "
            u"ligne.(12057)"},
    {12150, u"L'en-tête demandé est introuvable.(12150)"},
    {12152, u"La réponse du serveur ne peut pas être analysée.(12152)"},
    {12157, u"Une erreur s'est produite dans le support du canal sécurisé.(12157)"},
    {12166, u"Une erreur s'est produite lors de l'exécution du script de configuration du "
            u"proxy.(12166)"},
    {12167, u"Le script de configuration du proxy n'a pas pu être téléchargé.(12167)"},
    {12169, u"Le certificat n'est pas valide.(12169)"},
    {12175, u"Des erreurs ont été trouvées dans le certificat SSL envoyé par le serveur.(12175)"},
    {12178, u"Aucun proxy n'a été trouvé pour l'URL indiquée.(12178)"},
    {12179, u"Le certificat n'est pas valide pour cet usage.(12179)"},
    {12180, u"L'adresse du script de configuration du proxy n'a pas pu être détectée.(12180)"},
    {12182, u"La taille des en-têtes reçus dépasse la limite permise.(12182)"},
    {12184, u"La réponse reçue dépasse une limite interne de taille.(12184)"},
    {0x80004004, u"Opération interrompue.()"},
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
    {0x800C0003, u"Aucune session Internet n'a été établie. (HVM-6)"},
    {0x800C0004, kCannotConnect},
    {0x800C0005, u"Le serveur ou le proxy est introuvable. (HVM-8)"},
    {0x800C0006, kObjectNotFound},
    {0x800C0007, u"La connexion est établie, mais les données ne peuvent pas être lues. (HVM-10)"},
    {0x800C0008, u"Le téléchargement a échoué (connexion interrompue). (HVM-11)"},
    {0x800C0009, u"Une authentification est nécessaire pour accéder à l'objet. (HVM-12)"},
    {0x800C000A, u"L'objet n'a aucun des types MIME acceptés. (HVM-13)"},
    {0x800C000B, kTimedOut},
    {0x800C000C, u"La requête n'était pas valide. (HVM-15)"},
    {0x800C000D, kUnknownProtocol},
    {0x800C000E, u"Un problème de sécurité a été rencontré. (HVM-17)"},
    {0x800C000F, kCannotOpenFile},
    {0x800C0010, u"L'objet n'a pas pu être créé.()"},
    {Own(-1), u"Erreur"},
    {Own(-2), u"Erreur d'écriture dans un fichier"},
    {Own(-3), u"Erreur de lecture d'un fichier"},
    {Own(-4), u"Erreur de lecture de tmpFile2"},
    {Own(-5), u"Impossible de lire le fichier temporaire"},
    {Own(-6), u"Erreur de lecture"},
    {Own(-7), u"Impossible d'écrire dans le fichier"},
};
const size_t kErrorTextCount = std::size(kErrorTexts);

}  // namespace hvm::lang
