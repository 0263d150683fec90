// Writing a failed upload's contents into the backup folder.
#include "agent/clients/upload_backup.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "agent/service/file_entry.h"
#include "platform/locale_language.h"
#include "platform/runtime_paths.h"
#include "platform/ui.h"
#include "platform/wide_format.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr DWORD kGerman = 7;
// A local name holds at most 255 bytes; the stamp ".YYYYmmdd-HHMMSS" and a
// number "-NN" follow the file's own name.
constexpr size_t kNameBytes = 255 - 16 - 3;

std::string SafeFileName(std::u16string_view name) {
  std::string out = Utf16ToUtf8(name);
  for (char& c : out)
    if (c == '/' || c == '\0') c = '_';
  return out.empty() || out == "." || out == ".." ? std::string("file") : out;
}

}  // namespace

std::string WriteUploadBackup(int fd, std::u16string_view site, std::u16string_view name) {
  std::string folder = DataDir() + "/backup/" + SafeFileName(site);
  if (!MakeDirs(folder)) return {};
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  // A name near the drive's limit would leave no room for the stamp: it is
  // cut between whole characters rather than leaving the data without a copy.
  std::string base = SafeFileName(name);
  if (base.size() > kNameBytes) {
    size_t end = kNameBytes;
    while (end > 0 && (static_cast<unsigned char>(base[end]) & 0xC0) == 0x80) --end;
    base.resize(end);
  }
  std::string path = folder + "/" + base + "." + stamp;
  int out = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
  for (int i = 2; out < 0 && errno == EEXIST && i < 100; ++i) {
    std::string numbered = path;  // in steps: GCC 12's -Wrestrict misreads `"-" + <temporary>`
    numbered += '-';
    numbered += std::to_string(i);
    out = open(numbered.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (out >= 0) path = numbered;
  }
  if (out < 0) return {};
  char buffer[131072];
  off_t offset = 0;
  bool ok = true;
  for (;;) {
    ssize_t n = pread(fd, buffer, sizeof buffer, offset);
    if (n < 0) ok = false;
    if (n <= 0) break;
    if (write(out, buffer, static_cast<size_t>(n)) != n) {
      ok = false;
      break;
    }
    offset += n;
  }
  ok = (fsync(out) == 0) && ok;
  close(out);
  return ok ? path : std::string();
}

bool KeepFailedUpload(FileEntry& entry, int fd, std::u16string_view site, std::u16string_view errorText) {
  std::string backup = WriteUploadBackup(fd, site, entry.Name());
  const char16_t* format = LanguageFromLocale() == kGerman ? u"Das File wurde gespeichert, unter\n%s"
                                                           : u"The file has been saved under\n%s";
  CurrentUi().MessageBox(backup.empty() ? u"The file could not be saved" : FormatWide(format, backup.c_str()),
                         u" Backup", MB_OK | MB_ICONERROR);
  entry.uploadFailure = std::make_unique<UploadFailure>(UploadFailure{std::u16string(errorText), backup});
  return !backup.empty();
}

}  // namespace hvm
