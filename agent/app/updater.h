// The updater: fetches the manifest "HalvenmoorUpdate.xml" from the update
// site over HTTPS, compares its version with the installed "Version" (HKLM),
// decides file by file what changed, asks, downloads the changed files,
// checks each one's size and SHA-256 and moves them into place only when
// every one of them passed. Nothing downloaded is ever run.
//
// Manifest: a root element; an element with the attributes "version" and
// "number"; module elements with "name", "size", "crc", "dir" and "sha256"
// (64 hex digits) and the module's location as text (a full https address,
// or a path on the update site).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32.h"

namespace hvm {

inline constexpr long kUpdateNothingToDo = 0;
inline constexpr long kUpdateDeclined = 1;
inline constexpr long kUpdateChecksumMismatch = -5;
inline constexpr long kUpdateManifestMissing = static_cast<long>(0xC00000C4);
inline constexpr long kUpdateCancelled = static_cast<long>(0xC0000001);
inline constexpr long kUpdateAccessDenied = 5;
inline constexpr DWORD kLowestInstalledVersion = 70005;
inline constexpr char kUpdateManifestName[] = "HalvenmoorUpdate.xml";
// What the updater accepts at most: a manifest of 1 MiB, 64 modules of 512 MiB each.
inline constexpr size_t kManifestLimit = 1 << 20;
inline constexpr size_t kModuleLimit = 64;
inline constexpr uint64_t kModuleSizeLimit = uint64_t{512} << 20;

struct UpdateModule {
  bool needsUpdate = false;
  DWORD folderKind = 0;   // 2: lib, 3: the driver's folder, else the program folder
  uint64_t size = 0;
  uint32_t crc = 0;
  std::string sha256;     // lower-case hex
  std::string name;       // a plain file name
  std::string location;   // download address
  std::string localPath;
  std::string temporaryPath;
  std::string stagedPath;  // the copy beside localPath, until it replaces it
};

struct UpdateManifest {
  DWORD version = 0;
  DWORD number = 0;
  std::vector<UpdateModule> modules;
};

// Reads a manifest; false with a reason for anything malformed or hostile
// (a DOCTYPE, a name that is not a plain file name, a missing or bad sha256,
// sizes or counts above the limits, numbers that are not numbers).
bool ParseUpdateManifest(std::string_view xml, UpdateManifest& manifest, std::string* why = nullptr);
// The checksum of the manifest's "crc": CRC-32 (0xEDB88320, start 0xFFFFFFFF)
// without the final complement.
uint32_t UpdateCrc(const std::string& path, bool* readable = nullptr);
// Lower-case hex SHA-256 of a file; empty when it cannot be read.
std::string Sha256OfFile(const std::string& path);

struct UpdaterOptions {
  std::string baseUrl;      // empty: HKLM "HalvenmoorUpdateUrl"; none there: no check
  std::string caFile;       // a further CA bundle to trust (a private update site)
  std::string installRoot;  // empty: the folder above the program's own
};

struct UpdateOutcome {
  long status = kUpdateNothingToDo;
  std::string failedModule;
};

class Updater {
 public:
  explicit Updater(UpdaterOptions options = {});
  // The whole check; the boxes it shows are those of the update run.
  UpdateOutcome CheckAndUpdate();
  const UpdateManifest& manifest() const { return manifest_; }
  // The installed version, raised to 70005 (and written back) when lower.
  DWORD InstalledVersion();

 private:
  bool FetchManifest();
  void PlaceModules();
  bool Ask();
  long Download(UpdateModule& module, class ProgressWindow* progress);
  // Replaces the installed files by the downloads. Each is copied beside its
  // old one first; a copy that fails leaves every old file in place.
  long Install(std::string& failedModule);
  void DropTemporaryFiles();
  std::string LocationOf(const std::string& text) const;

  UpdaterOptions options_;
  std::string base_;
  UpdateManifest manifest_;
  std::string temporaryFolder_;
};

}  // namespace hvm
