// French string resources.
#include <iterator>

#include "agent/app/string_table.h"
#include "lang/catalogue.h"

namespace hvm::lang {

const CatalogueEntry kStrings[] = {
    {IDS_CONNECT, u"Connecter "},
    {IDS_DISCONNECT, u"Déconnecter"},
    {IDS_PROPERTIES, u"Propriétés"},
    {IDS_REFRESH, u"Actualiser"},
    {IDS_RUN_AT_STARTUP, u"Lancer au démarrage"},
    {IDS_CONNECT_AT_STARTUP, u"Connecter au démarrage"},
    {IDS_NAME_HAS_SLASH, u"Le nom ne peut pas contenir les symboles '\\' ou '/'"},
    {IDS_BAD_URL, u"L'URL n'est pas correcte, seules http://, https:// ou ftp:// sont permises"},
    {IDS_PROGRAM_SETTINGS, u"Paramètres du programme"},
    {IDS_OPEN_THIS_DRIVE, u"Ouvrir ce lecteur"},
    {IDS_CANNOT_DELETE_LAST, u"Vous ne pouvez pas supprimer la dernière entrée"},
    {IDS_PROXY_HINT, u"Si vous utilisez un serveur proxy dans votre réseau, veuillez saisir son "
                     u"adresse ou demander de l'aide à votre administrateur"},
    {IDS_CANNOT_WRITE_FILE, u"Impossible d'écrire dans un fichier"},
    {IDS_OFFLINE_CONNECT, u"Connexion hors ligne"},
    {IDS_CONFLICT_QUESTION, u"Conflit ! Faut-il copier le fichier sur le serveur ? Sinon, les "
                            u"modifications locales seront perdues"},
    {IDS_DISCONNECT_ALL, u"Veuillez fermer toutes les connexions"},
    {IDS_DRIVE_ALREADY_MAPPED, u"Le lecteur est déjà attribué"},
    {IDS_ERROR, u"Erreur"},
    {IDS_CONNECT_LOGIN_FAILED,
     u"Le serveur a refusé la connexion. Veuillez vérifier l'identifiant et le mot de passe."},
    {IDS_CONNECT_FTP_FAILED, u"Impossible de joindre le serveur FTP. Veuillez vérifier "
                             u"l'adresse, l'identifiant et le mot de passe."},
    {IDS_CONNECT_FAILED, u"Impossible de se connecter au serveur"},
    {IDS_UNABLE_TO_MAP, u"Impossible d'attribuer le lecteur"},
    {IDS_UNABLE_TO_DISCONNECT, u"Impossible de déconnecter le lecteur"},
    {IDS_OPEN_FILE_ON_CONNECTION, u"La connexion a un fichier ouvert"},
    {IDS_MENU_CONNECTIONS, u"Connexions"},
    {IDS_MENU_SETTINGS, u"Paramètres"},
    {IDS_MENU_LOG, u"Journal"},
    {IDS_MENU_HELP, u"Aide"},
    {IDS_MENU_ABOUT, u"À propos"},
    {IDS_MENU_OPEN, u"Ouvrir"},
    {IDS_MENU_UPDATE, u"Mise à jour"},
    {IDS_MENU_EXIT, u"Quitter"},
};
const size_t kStringCount = std::size(kStrings);

}  // namespace hvm::lang
