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
