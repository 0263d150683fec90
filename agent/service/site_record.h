// One configured site as it lives in the current user's block of the shared
// section, and the block itself. Plain fixed layouts: several agent threads and
// processes read them, so nothing here may hold a pointer or an object with a
// constructor. The process-local state of a connected site is Connection
// (connection.h), tied to its record.
#pragma once
#include <cstddef>
#include <cstdint>

namespace hvm {

inline constexpr size_t kSiteNameChars = 63;   // terminator included
inline constexpr size_t kSiteUrlChars = 260;
inline constexpr size_t kSiteLoginChars = 60;   // 8-bit text
inline constexpr size_t kSitePasswordChars = 60;
inline constexpr size_t kSiteCount = 25;

// SiteRecord::flags
inline constexpr uint32_t kSiteWebDavState1 = 0x01;      // run-time state of the WebDAV client
inline constexpr uint32_t kSiteWebDavState2 = 0x02;
inline constexpr uint32_t kSiteOffline = 0x04;           // connected offline
inline constexpr uint32_t kSiteSynByCon = 0x08;
inline constexpr uint32_t kSiteSynByDiscon = 0x10;
inline constexpr uint32_t kSiteActiveRefresh = 0x20;     // periodic refresh of the last listed folder
inline constexpr uint32_t kSiteWebDavState40 = 0x40;
inline constexpr uint32_t kSitePropfindGet = 0x80;       // list folders from HTML index pages

#pragma pack(push, 1)

struct SiteRecord {
  uint32_t reserved;                       // 0
  uint32_t trayMenu;                       // 4: the tray submenu's id; 0 while it has none
  char16_t name[kSiteNameChars];           // 8: empty = free record
  char16_t url[kSiteUrlChars];             // 134
  char login[kSiteLoginChars];             // 654
  char password[kSitePasswordChars];       // 714: clear text in memory
  char drive[2];                           // 774: letter and terminator
  uint32_t flags;                          // 776: kSite* bits
  uint32_t resolveTimeout;                 // 780: seconds ("Resolve")
  uint32_t connectTimeout;                 // 784: "Connect"
  uint32_t sendTimeout;                    // 788: "Send"
  uint32_t receiveTimeout;                 // 792: "Receive"
  uint32_t retryCount;                     // 796: "Retry"
  char mappedDrive;                        // 800: letter mapped now, 0 while not connected
  uint8_t autoConnect;                     // 801: "Auto"
  uint8_t passive;                         // 802: "Passive"
  uint8_t dontSavePassword;                // 803
  uint32_t refreshMinutes;                 // 804: "Refresh"
  uint8_t ignoreCertificateWarning;        // 808
  uint8_t padding[3];                      // 809
  uint8_t runtime[1396 - 812];             // 812: reserved for run-time use; zero
};

// The current user's block of the shared section.
struct SharedUserBlock {
  SiteRecord sites[kSiteCount];            // 0: the SiteTable
  char16_t proxyBypass[768];               // 34900: "ProxyBypass", up to 384 characters used
  char16_t proxyServer[80];                // 36436: "ProxyServer"
  uint32_t proxyPort;                      // 36596: "ProxyPort"
  char16_t proxyUser[60];                  // 36600: "ProxyUser"
  char16_t proxyPassword[60];              // 36720: "ProxyPassword"
  uint8_t reserved1[37396 - 36840];        // 36840
  uint32_t housekeepingRunning;            // 37396
  char16_t sid[120];                       // 37400: empty = block unused
  uint8_t reserved2[39060 - 37640];        // 37640
  uint32_t windowMessage;                  // 39060
};

#pragma pack(pop)

using SiteTable = SiteRecord[kSiteCount];

static_assert(sizeof(SiteRecord) == 1396);
static_assert(offsetof(SiteRecord, trayMenu) == 4);
static_assert(offsetof(SiteRecord, name) == 8);
static_assert(offsetof(SiteRecord, url) == 134);
static_assert(offsetof(SiteRecord, login) == 654);
static_assert(offsetof(SiteRecord, password) == 714);
static_assert(offsetof(SiteRecord, drive) == 774);
static_assert(offsetof(SiteRecord, flags) == 776);
static_assert(offsetof(SiteRecord, resolveTimeout) == 780);
static_assert(offsetof(SiteRecord, retryCount) == 796);
static_assert(offsetof(SiteRecord, mappedDrive) == 800);
static_assert(offsetof(SiteRecord, autoConnect) == 801);
static_assert(offsetof(SiteRecord, passive) == 802);
static_assert(offsetof(SiteRecord, dontSavePassword) == 803);
static_assert(offsetof(SiteRecord, refreshMinutes) == 804);
static_assert(offsetof(SiteRecord, ignoreCertificateWarning) == 808);
static_assert(offsetof(SiteRecord, runtime) == 812);

static_assert(sizeof(SharedUserBlock) == 39064);
static_assert(offsetof(SharedUserBlock, proxyBypass) == 34900);
static_assert(offsetof(SharedUserBlock, proxyServer) == 36436);
static_assert(offsetof(SharedUserBlock, proxyPort) == 36596);
static_assert(offsetof(SharedUserBlock, proxyUser) == 36600);
static_assert(offsetof(SharedUserBlock, proxyPassword) == 36720);
static_assert(offsetof(SharedUserBlock, housekeepingRunning) == 37396);
static_assert(offsetof(SharedUserBlock, sid) == 37400);
static_assert(offsetof(SharedUserBlock, windowMessage) == 39060);

}  // namespace hvm
