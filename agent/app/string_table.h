// The agent's numbered string resources. English is built in; a loaded
// language library replaces every string it translates.
#pragma once
#include <cstdint>

namespace hvm {

class LanguageModule;

inline constexpr uint32_t IDS_CONNECT = 103;             // "Connect "
inline constexpr uint32_t IDS_DISCONNECT = 104;
inline constexpr uint32_t IDS_PROPERTIES = 107;
inline constexpr uint32_t IDS_REFRESH = 110;
inline constexpr uint32_t IDS_RUN_AT_STARTUP = 115;
inline constexpr uint32_t IDS_CONNECT_AT_STARTUP = 116;
inline constexpr uint32_t IDS_NAME_HAS_SLASH = 129;
inline constexpr uint32_t IDS_BAD_URL = 130;
inline constexpr uint32_t IDS_PROGRAM_SETTINGS = 1054;
inline constexpr uint32_t IDS_OPEN_THIS_DRIVE = 1061;
inline constexpr uint32_t IDS_CANNOT_DELETE_LAST = 1066;
inline constexpr uint32_t IDS_PROXY_HINT = 1088;
inline constexpr uint32_t IDS_CANNOT_WRITE_FILE = 1098;
inline constexpr uint32_t IDS_OFFLINE_CONNECT = 1101;
inline constexpr uint32_t IDS_CONFLICT_QUESTION = 1107;
inline constexpr uint32_t IDS_DISCONNECT_ALL = 1108;
// Connecting and mapping.
inline constexpr uint32_t IDS_DRIVE_ALREADY_MAPPED = 1201;
inline constexpr uint32_t IDS_ERROR = 1202;                  // caption
inline constexpr uint32_t IDS_CONNECT_LOGIN_FAILED = 1203;   // test answered 401
inline constexpr uint32_t IDS_CONNECT_FTP_FAILED = 1204;
inline constexpr uint32_t IDS_CONNECT_FAILED = 1205;         // followed by "\n(" text ")"
inline constexpr uint32_t IDS_UNABLE_TO_MAP = 1206;
inline constexpr uint32_t IDS_UNABLE_TO_DISCONNECT = 1207;
inline constexpr uint32_t IDS_OPEN_FILE_ON_CONNECTION = 1208;
// Tray menu.
inline constexpr uint32_t IDS_MENU_CONNECTIONS = 1210;
inline constexpr uint32_t IDS_MENU_SETTINGS = 1211;
inline constexpr uint32_t IDS_MENU_LOG = 1212;
inline constexpr uint32_t IDS_MENU_HELP = 1213;
inline constexpr uint32_t IDS_MENU_ABOUT = 1214;
inline constexpr uint32_t IDS_MENU_OPEN = 1215;
inline constexpr uint32_t IDS_MENU_UPDATE = 1216;
inline constexpr uint32_t IDS_MENU_EXIT = 1217;

// The built-in English text of a string resource, or null.
const char16_t* EnglishString(uint32_t id);

// The text of a string resource in the agent's language: the chosen language
// library's translation when it has one, else English; null when the
// resource does not exist.
const char16_t* LoadResourceString(uint32_t id);
// The same with a given language module (null = English).
const char16_t* LoadResourceString(const LanguageModule* module, uint32_t id);

}  // namespace hvm
