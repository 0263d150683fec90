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

// Front end: the main window, the dialogs and the updater.
inline constexpr uint32_t IDS_UI_NAME = 1300;
inline constexpr uint32_t IDS_UI_URL = 1301;
inline constexpr uint32_t IDS_UI_LOGIN = 1302;
inline constexpr uint32_t IDS_UI_PASSWORD = 1303;
inline constexpr uint32_t IDS_UI_DRIVE = 1304;
inline constexpr uint32_t IDS_UI_NEW = 1305;
inline constexpr uint32_t IDS_UI_DELETE = 1306;
inline constexpr uint32_t IDS_UI_CONNECT = 1307;
inline constexpr uint32_t IDS_UI_DISCONNECT = 1308;
inline constexpr uint32_t IDS_UI_CLONE = 1309;
inline constexpr uint32_t IDS_UI_EXIT = 1310;
inline constexpr uint32_t IDS_UI_REFRESH = 1311;
inline constexpr uint32_t IDS_UI_HELP = 1312;
inline constexpr uint32_t IDS_UI_OPTIONS = 1313;
inline constexpr uint32_t IDS_UI_OFFLINE_CONNECT = 1314;
inline constexpr uint32_t IDS_UI_SYNCHRONIZE = 1315;
inline constexpr uint32_t IDS_UI_DELETE_CACHE = 1316;
inline constexpr uint32_t IDS_UI_DONT_SAVE = 1317;
inline constexpr uint32_t IDS_UI_SITES = 1318;
inline constexpr uint32_t IDS_UI_STATE_CONNECTED = 1319;
inline constexpr uint32_t IDS_UI_STATE_OFFLINE = 1320;
inline constexpr uint32_t IDS_UI_STATE_IDLE = 1321;
inline constexpr uint32_t IDS_OPT_TITLE = 1330;
inline constexpr uint32_t IDS_OPT_TIMEOUTS = 1331;
inline constexpr uint32_t IDS_OPT_RESOLVE = 1332;
inline constexpr uint32_t IDS_OPT_CONNECT = 1333;
inline constexpr uint32_t IDS_OPT_SEND = 1334;
inline constexpr uint32_t IDS_OPT_RECEIVE = 1335;
inline constexpr uint32_t IDS_OPT_RETRY = 1336;
inline constexpr uint32_t IDS_OPT_PASSIVE = 1337;
inline constexpr uint32_t IDS_OPT_REFRESH = 1338;
inline constexpr uint32_t IDS_OPT_OFFLINE = 1339;
inline constexpr uint32_t IDS_OPT_SYN_CON = 1340;
inline constexpr uint32_t IDS_OPT_SYN_DISCON = 1341;
inline constexpr uint32_t IDS_OPT_ACTIVE_REFRESH = 1342;
inline constexpr uint32_t IDS_OPT_PROPFIND_GET = 1343;
inline constexpr uint32_t IDS_OPT_IGNORE_CERT = 1344;
inline constexpr uint32_t IDS_SET_PROXY = 1350;
inline constexpr uint32_t IDS_SET_PROXY_NONE = 1351;
inline constexpr uint32_t IDS_SET_PROXY_AUTO = 1352;
inline constexpr uint32_t IDS_SET_PROXY_MANUAL = 1353;
inline constexpr uint32_t IDS_SET_SERVER = 1354;
inline constexpr uint32_t IDS_SET_PORT = 1355;
inline constexpr uint32_t IDS_SET_BYPASS = 1356;
inline constexpr uint32_t IDS_SET_CLOSE = 1357;
inline constexpr uint32_t IDS_PASSWORD_TITLE = 1360;
inline constexpr uint32_t IDS_UPDATE_QUESTION = 1370;
inline constexpr uint32_t IDS_UPDATE_DONT_ASK = 1371;
inline constexpr uint32_t IDS_UPDATE_DONE = 1372;
inline constexpr uint32_t IDS_UPDATE_TITLE = 1373;
inline constexpr uint32_t IDS_UPDATE_NO_RIGHTS = 1374;
inline constexpr uint32_t IDS_UPDATE_FAILED = 1375;
inline constexpr uint32_t IDS_UPDATE_CURRENT = 1376;
inline constexpr uint32_t IDS_ABOUT_TEXT = 1380;
inline constexpr uint32_t IDS_LOG_TITLE = 1381;
// Notices of uploads nobody waits for; the texts take the file, the error
// text and the backup copy's path as %ws, in this order.
inline constexpr uint32_t IDS_NOTICE_UPLOADED_TITLE = 1390;
inline constexpr uint32_t IDS_NOTICE_FAILED_TITLE = 1391;
inline constexpr uint32_t IDS_NOTICE_UPLOADED = 1392;     // file
inline constexpr uint32_t IDS_NOTICE_FAILED = 1393;       // file, error text
inline constexpr uint32_t IDS_NOTICE_BACKUP = 1394;       // backup path
inline constexpr uint32_t IDS_NOTICE_NO_BACKUP = 1395;

// The built-in English text of a string resource, or null.
const char16_t* EnglishString(uint32_t id);

// The text of a string resource in the agent's language: the chosen language
// library's translation when it has one, else English; null when the
// resource does not exist.
const char16_t* LoadResourceString(uint32_t id);
// The same with a given language module (null = English).
const char16_t* LoadResourceString(const LanguageModule* module, uint32_t id);

}  // namespace hvm
