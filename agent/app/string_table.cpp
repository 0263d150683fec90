// The agent's English string resources and their look-up through the
// chosen language library.
#include "agent/app/string_table.h"

#include <algorithm>
#include <iterator>

#include "agent/app/language.h"
#include "lang/language_library.h"

namespace hvm {
namespace {

struct StringEntry {
  uint32_t id;
  const char16_t* text;
};

constexpr StringEntry kEnglishStrings[] = {
    {IDS_CONNECT, u"Connect "},
    {IDS_DISCONNECT, u"Disconnect"},
    {IDS_PROPERTIES, u"Properties"},
    {IDS_REFRESH, u"Refresh"},
    {IDS_RUN_AT_STARTUP, u"Run at startup"},
    {IDS_CONNECT_AT_STARTUP, u"Connect at startup"},
    {IDS_NAME_HAS_SLASH, u"The name cannot contain the symbols '\\' or '/'"},
    {IDS_BAD_URL, u"The url is not correct, there can only be http://, https:// or ftp://"},
    {IDS_PROGRAM_SETTINGS, u"Program settings"},
    {IDS_OPEN_THIS_DRIVE, u"Open this drive"},
    {IDS_CANNOT_DELETE_LAST, u"You cannot delete the last entry"},
    {IDS_PROXY_HINT, u"If you use in your network a proxy server, please input the address or "
                     u"ask your administrator to help you"},
    {IDS_CANNOT_WRITE_FILE, u"Cannot write into a file"},
    {IDS_OFFLINE_CONNECT, u"Offline Connect"},
    {IDS_CONFLICT_QUESTION, u"Conflict! Should the file be copied to the server? If it's not "
                            u"copied, the local changes will be lost"},
    {IDS_DISCONNECT_ALL, u"Please, disconnect all connections"},
    {IDS_DRIVE_ALREADY_MAPPED, u"The drive is already mapped"},
    {IDS_ERROR, u"Error"},
    {IDS_CONNECT_LOGIN_FAILED,
     u"The server refused the login. Please check the login and the password."},
    {IDS_CONNECT_FTP_FAILED,
     u"Cannot connect to the FTP server. Please check the address, the login and the password."},
    {IDS_CONNECT_FAILED, u"Cannot connect to the server"},
    {IDS_UNABLE_TO_MAP, u"Unable to map"},
    {IDS_UNABLE_TO_DISCONNECT, u"Unable to disconnect drive"},
    {IDS_OPEN_FILE_ON_CONNECTION, u"Connection has open file"},
    {IDS_MENU_CONNECTIONS, u"Connections"},
    {IDS_MENU_SETTINGS, u"Settings"},
    {IDS_MENU_LOG, u"Log"},
    {IDS_MENU_HELP, u"Help"},
    {IDS_MENU_ABOUT, u"About"},
    {IDS_MENU_OPEN, u"Open"},
    {IDS_MENU_UPDATE, u"Update"},
    {IDS_MENU_EXIT, u"Exit"},
    {IDS_UI_NAME, u"N&ame"},
    {IDS_UI_URL, u"&URL"},
    {IDS_UI_LOGIN, u"&Login"},
    {IDS_UI_PASSWORD, u"&Password"},
    {IDS_UI_DRIVE, u"D&rive"},
    {IDS_UI_NEW, u"&New"},
    {IDS_UI_DELETE, u"D&elete"},
    {IDS_UI_CONNECT, u"&Connect"},
    {IDS_UI_DISCONNECT, u"&Disconnect"},
    {IDS_UI_CLONE, u"Cl&one"},
    {IDS_UI_EXIT, u"E&xit"},
    {IDS_UI_REFRESH, u"&Refresh"},
    {IDS_UI_HELP, u"Help"},
    {IDS_UI_OPTIONS, u"O&ptions"},
    {IDS_UI_OFFLINE_CONNECT, u"&Offline connect"},
    {IDS_UI_SYNCHRONIZE, u"&Synchronize"},
    {IDS_UI_DELETE_CACHE, u"De&lete cache"},
    {IDS_UI_DONT_SAVE, u"Doesn't save"},
    {IDS_UI_SITES, u"Sites"},
    {IDS_UI_STATE_CONNECTED, u"connected"},
    {IDS_UI_STATE_OFFLINE, u"connected offline"},
    {IDS_UI_STATE_IDLE, u"not connected"},
    {IDS_OPT_TITLE, u"Options"},
    {IDS_OPT_TIMEOUTS, u"Timeouts, seconds"},
    {IDS_OPT_RESOLVE, u"Resolve"},
    {IDS_OPT_CONNECT, u"Connect"},
    {IDS_OPT_SEND, u"Send"},
    {IDS_OPT_RECEIVE, u"Receive"},
    {IDS_OPT_RETRY, u"Retry count"},
    {IDS_OPT_PASSIVE, u"HTTP Range/FTP passive"},
    {IDS_OPT_REFRESH, u"Refresh, min"},
    {IDS_OPT_OFFLINE, u"Offline"},
    {IDS_OPT_SYN_CON, u"Synchronizing by connecting"},
    {IDS_OPT_SYN_DISCON, u"Synchronizing by disconnecting"},
    {IDS_OPT_ACTIVE_REFRESH, u"Active refresh(not recomended)"},
    {IDS_OPT_PROPFIND_GET, u"PROPFIND/GET"},
    {IDS_OPT_IGNORE_CERT, u"Accept server certificates that fail validation"},
    {IDS_SET_PROXY, u"Proxy"},
    {IDS_SET_PROXY_NONE, u"No proxy"},
    {IDS_SET_PROXY_AUTO, u"Automatic (the desktop's proxy settings)"},
    {IDS_SET_PROXY_MANUAL, u"Manual"},
    {IDS_SET_SERVER, u"Server"},
    {IDS_SET_PORT, u"Port"},
    {IDS_SET_BYPASS, u"No proxy for"},
    {IDS_SET_CLOSE, u"Close"},
    {IDS_PASSWORD_TITLE, u"Password"},
    {IDS_UPDATE_QUESTION, u"Would you like to update the software ?"},
    {IDS_UPDATE_DONT_ASK, u"Do not ask me any more"},
    {IDS_UPDATE_DONE, u"The software was successfully updated, please, restart the computer"},
    {IDS_UPDATE_TITLE, u"Update"},
    {IDS_UPDATE_NO_RIGHTS, u"You do not have any administraotor's rights to update the software"},
    {IDS_UPDATE_FAILED, u"While updating the file %s the error(%ld ) has happened"},
    {IDS_UPDATE_CURRENT, u"The software is up to date"},
    {IDS_ABOUT_TEXT, u"Halvenmoor shows your WebDAV, FTP and SFTP sites as local drives."},
    {IDS_LOG_TITLE, u"Halvenmoor Log"},
    {IDS_NOTICE_UPLOADED_TITLE, u"Upload finished"},
    {IDS_NOTICE_FAILED_TITLE, u"Upload failed"},
    {IDS_NOTICE_UPLOADED, u"%ws has been saved on the server."},
    {IDS_NOTICE_FAILED, u"%ws could not be saved on the server: %ws"},
    {IDS_NOTICE_BACKUP, u"The written contents are kept in %ws"},
    {IDS_NOTICE_NO_BACKUP, u"The written contents could not be kept."},
};

}  // namespace

const char16_t* EnglishString(uint32_t id) {
  auto entry = std::find_if(std::begin(kEnglishStrings), std::end(kEnglishStrings),
                            [id](const StringEntry& e) { return e.id == id; });
  return entry != std::end(kEnglishStrings) ? entry->text : nullptr;
}

const char16_t* LoadResourceString(const LanguageModule* module, uint32_t id) {
  if (module != nullptr) {
    auto lookup =
        reinterpret_cast<MoorLangStringFunction>(module->FindExport(kMoorLangStringExport));
    if (lookup != nullptr) {
      if (const char16_t* text = lookup(id)) return text;
    }
  }
  return EnglishString(id);
}

const char16_t* LoadResourceString(uint32_t id) {
  return LoadResourceString(CurrentLanguageModule(), id);
}

}  // namespace hvm
