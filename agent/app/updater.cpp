// The update run: manifest, comparison, question, download, checks, moves.
#include "agent/app/updater.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "agent/app/sites_values.h"
#include "agent/app/string_table.h"
#include "common/moorlib.h"
#include "platform/registry.h"
#include "platform/runtime_paths.h"
#include "platform/ui.h"
#include "platform/wide_format.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr char16_t kProductKeyPath[] = u"Software\\KOLV\\Halvenmoor";
constexpr long kTimeoutSeconds = 60;
constexpr size_t kBlock = 4096;

std::string Attribute(xmlNode* node, const char* name, bool* present = nullptr) {
  xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
  if (present != nullptr) *present = value != nullptr;
  if (value == nullptr) return {};
  std::string text(reinterpret_cast<const char*>(value));
  xmlFree(value);
  return text;
}

bool DecimalOf(const std::string& text, uint64_t limit, uint64_t& value) {
  if (text.empty() || text.size() > 20) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (limit - digit) / 10) return false;
    value = value * 10 + digit;
  }
  return true;
}

bool PlainFileName(const std::string& name) {
  if (name.empty() || name.size() > 259 || name == "." || name == "..") return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
              c == '_' || c == '-' || c == '+';
    if (!ok) return false;
  }
  return true;
}

bool HexDigest(std::string& text) {
  if (text.size() != 64) return false;
  for (char& c : text) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool Fail(std::string* why, const std::string& text) {
  if (why != nullptr) *why = text;
  return false;
}

bool ParseModule(xmlNode* node, UpdateModule& module, std::string* why) {
  module.name = Attribute(node, "name");
  if (!PlainFileName(module.name)) return Fail(why, "a module name is not a plain file name");
  uint64_t size = 0, crc = 0, dir = 0;
  if (!DecimalOf(Attribute(node, "size"), kModuleSizeLimit, size)) return Fail(why, module.name + ": bad size");
  if (!DecimalOf(Attribute(node, "crc"), 0xFFFFFFFFull, crc)) return Fail(why, module.name + ": bad crc");
  if (!DecimalOf(Attribute(node, "dir"), 0xFFFFFFFFull, dir)) return Fail(why, module.name + ": bad dir");
  module.sha256 = Attribute(node, "sha256");
  if (!HexDigest(module.sha256)) return Fail(why, module.name + ": no SHA-256 of 64 hex digits");
  xmlChar* content = xmlNodeGetContent(node);
  std::string location = content != nullptr ? reinterpret_cast<const char*>(content) : "";
  if (content != nullptr) xmlFree(content);
  size_t first = location.find_first_not_of(" \t\r\n");
  size_t last = location.find_last_not_of(" \t\r\n");
  location = first == std::string::npos ? std::string() : location.substr(first, last - first + 1);
  if (location.empty() || location.size() > 1536) return Fail(why, module.name + ": bad location");
  module.size = size;
  module.crc = static_cast<uint32_t>(crc);
  module.folderKind = static_cast<DWORD>(dir);
  module.location = location;
  return true;
}

// What a transfer keeps: the body up to a limit, into memory or a file.
struct Sink {
  std::string* memory = nullptr;
  int fd = -1;
  uint64_t limit = 0;
  uint64_t received = 0;
  bool overflow = false;
  ProgressWindow* progress = nullptr;
  uint64_t total = 0;
  std::u16string text;
  bool cancelled = false;
};

size_t Receive(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  size_t bytes = size * count;
  if (sink->received + bytes > sink->limit) {
    sink->overflow = true;
    return 0;
  }
  if (sink->memory != nullptr) sink->memory->append(data, bytes);
  if (sink->fd >= 0 && write(sink->fd, data, bytes) != static_cast<ssize_t>(bytes)) return 0;
  sink->received += bytes;
  if (sink->progress != nullptr && !sink->progress->Update(sink->received, sink->total, sink->text)) {
    sink->cancelled = true;
    return 0;
  }
  return bytes;
}

// One GET over HTTPS only, no redirects; the HTTP status, or -1 for a transport failure.
long Get(const std::string& url, const std::string& caFile, Sink& sink) {
  CURL* easy = curl_easy_init();
  if (easy == nullptr) return -1;
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, kTimeoutSeconds);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, kTimeoutSeconds);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!caFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, caFile.c_str());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, Receive);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &sink);
  CURLcode code = curl_easy_perform(easy);
  long status = -1;
  if (code == CURLE_OK) curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  else WideDbgPrint(u"Update GET %s: %s\n", url.c_str(), curl_easy_strerror(code));
  curl_easy_cleanup(easy);
  return status;
}

HKEY OpenKey(HKEY root, bool write) {
  HKEY key = nullptr;
  LONG error = write ? RegCreateKeyExW(root, kProductKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr)
                     : RegOpenKeyExW(root, kProductKeyPath, 0, KEY_READ, &key);
  return error == ERROR_SUCCESS ? key : nullptr;
}

void ShowUpdateBox(const std::u16string& text, const char16_t* caption, DWORD icon) {
  CurrentUi().MessageBox(text, caption, MB_OK | icon);
}

// Copies from into a new file beside to (its name in staged); to itself is not
// touched yet. Nothing is left behind on failure.
long StageBeside(const std::string& from, const std::string& to, std::string& staged) {
  staged.clear();
  std::string temporary = to + ".hvmupdate.XXXXXX";
  int out = mkstemp(temporary.data());
  if (out < 0) return errno == EACCES || errno == EPERM || errno == EROFS ? kUpdateAccessDenied : errno;
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  long error = in < 0 ? errno : 0;
  char buffer[1 << 16];
  ssize_t got = 0;
  while (error == 0 && (got = read(in, buffer, sizeof buffer)) > 0) {
    if (write(out, buffer, static_cast<size_t>(got)) != got) error = errno != 0 ? errno : -1;
  }
  if (got < 0 && error == 0) error = errno;
  struct stat old {};
  mode_t mode = stat(to.c_str(), &old) == 0 ? (old.st_mode & 0755) : 0755;
  if (error == 0 && (fchmod(out, mode) != 0 || fsync(out) != 0)) error = errno;
  if (in >= 0) close(in);
  if (close(out) != 0 && error == 0) error = errno;
  if (error != 0) {
    unlink(temporary.c_str());
    return error;
  }
  staged = temporary;
  return 0;
}

}  // namespace

bool ParseUpdateManifest(std::string_view xml, UpdateManifest& manifest, std::string* why) {
  manifest = UpdateManifest{};
  if (xml.size() > kManifestLimit) return Fail(why, "the manifest is too large");
  // No document type: no entities to expand and nothing fetched from elsewhere.
  if (xml.find("<!DOCTYPE") != std::string_view::npos || xml.find("<!ENTITY") != std::string_view::npos)
    return Fail(why, "the manifest has a document type");
  xmlDoc* doc = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), "HalvenmoorUpdate.xml", nullptr,
                              XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (doc == nullptr) return Fail(why, "the manifest is not well-formed XML");
  std::unique_ptr<xmlDoc, void (*)(xmlDoc*)> hold(doc, xmlFreeDoc);
  // The text search above finds a document type only in an encoding that
  // keeps ASCII as it is; one in UTF-16 (or another declared encoding) is
  // found here, before any entity of it is expanded.
  if (doc->intSubset != nullptr || doc->extSubset != nullptr) return Fail(why, "the manifest has a document type");
  xmlNode* root = xmlDocGetRootElement(doc);
  if (root == nullptr) return Fail(why, "the manifest is empty");
  bool haveVersion = false;
  for (xmlNode* node = root->children; node != nullptr; node = node->next) {
    if (node->type != XML_ELEMENT_NODE) continue;
    bool isVersion = false, isModule = false;
    std::string version = Attribute(node, "version", &isVersion);
    Attribute(node, "name", &isModule);
    if (isVersion && !haveVersion) {
      uint64_t v = 0, n = 0;
      if (!DecimalOf(version, 0xFFFFFFFFull, v) || !DecimalOf(Attribute(node, "number"), 0xFFFFFFFFull, n))
        return Fail(why, "the version or number is not a number");
      manifest.version = static_cast<DWORD>(v);
      manifest.number = static_cast<DWORD>(n);
      haveVersion = true;
    } else if (isModule) {
      if (manifest.modules.size() >= kModuleLimit) return Fail(why, "the manifest names too many modules");
      UpdateModule module;
      if (!ParseModule(node, module, why)) return false;
      for (const UpdateModule& other : manifest.modules)
        if (other.name == module.name && other.folderKind == module.folderKind)
          return Fail(why, module.name + " is named twice");
      manifest.modules.push_back(std::move(module));
    }
  }
  if (!haveVersion) return Fail(why, "the manifest has no version");
  return true;
}

uint32_t UpdateCrc(const std::string& path, bool* readable) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  FILE* file = std::fopen(path.c_str(), "rb");
  if (readable != nullptr) *readable = file != nullptr;
  if (file == nullptr) return 0;
  unsigned char buffer[kBlock];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
    for (size_t i = 0; i < got; ++i) crc = table[(crc ^ buffer[i]) & 0xFF] ^ (crc >> 8);
  std::fclose(file);
  return crc;
}

std::string Sha256OfFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  bool ok = context != nullptr && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1;
  char buffer[1 << 16];
  ssize_t got = 0;
  while (ok && (got = read(fd, buffer, sizeof buffer)) > 0)
    ok = EVP_DigestUpdate(context, buffer, static_cast<size_t>(got)) == 1;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  ok = ok && got == 0 && EVP_DigestFinal_ex(context, digest, &length) == 1;
  EVP_MD_CTX_free(context);
  close(fd);
  if (!ok) return {};
  std::string hex;
  char pair[3];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

Updater::Updater(UpdaterOptions options) : options_(std::move(options)) {
  base_ = options_.baseUrl;
  if (base_.empty()) {
    if (HKEY key = OpenKey(HKEY_LOCAL_MACHINE, false)) {
      std::string url;
      if (QueryNarrowValue(key, u"HalvenmoorUpdateUrl", url) == ERROR_SUCCESS && url.size() <= 1536) base_ = url;
      RegCloseKey(key);
    }
  }
  while (!base_.empty() && base_.back() == '/') base_.pop_back();
  if (options_.installRoot.empty()) {
    std::string folder = ProgramFolder();
    options_.installRoot = folder.empty() ? std::string(".") : folder + "/..";
  }
}

DWORD Updater::InstalledVersion() {
  DWORD version = 0;
  if (HKEY key = OpenKey(HKEY_LOCAL_MACHINE, false)) {
    QueryDwordValue(key, u"Version", version);
    RegCloseKey(key);
  }
  if (version < kLowestInstalledVersion) {
    version = kLowestInstalledVersion;
    if (HKEY key = OpenKey(HKEY_LOCAL_MACHINE, true)) {
      SetDwordValue(key, u"Version", version);
      RegCloseKey(key);
    }
  }
  return version;
}

bool Updater::FetchManifest() {
  if (base_.rfind("https://", 0) != 0) {
    WideDbgPrint(u"Update address %s is not https: no check\n", base_.c_str());
    return false;
  }
  std::string body;
  Sink sink;
  sink.memory = &body;
  sink.limit = kManifestLimit;
  long status = Get(base_ + "/" + kUpdateManifestName, options_.caFile, sink);
  if (status < 200 || status >= 300) {
    WideDbgPrint(u"Update manifest: status %ld%s\n", status, sink.overflow ? " (too large)" : "");
    return false;
  }
  std::string why;
  if (!ParseUpdateManifest(body, manifest_, &why)) {
    WideDbgPrint(u"Update manifest refused: %s\n", why.c_str());
    return false;
  }
  return true;
}

std::string Updater::LocationOf(const std::string& text) const {
  if (text.find("://") != std::string::npos) return text;
  size_t authority = base_.find('/', 8);
  std::string origin = authority == std::string::npos ? base_ : base_.substr(0, authority);
  return origin + (text[0] == '/' ? "" : "/") + text;
}

void Updater::PlaceModules() {
  for (UpdateModule& module : manifest_.modules) {
    const char* folder = module.folderKind == 2 ? "/lib/" : "/bin/";
    module.localPath = options_.installRoot + folder + module.name;
    module.location = LocationOf(module.location);
    struct stat st {};
    bool exists = stat(module.localPath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    module.needsUpdate = !exists || static_cast<uint64_t>(st.st_size) != module.size ||
                         Sha256OfFile(module.localPath) != module.sha256;
    if (exists && module.needsUpdate)
      WideDbgPrint(u"%s old length=%ld newL=%ld old crc new=%ld\n", module.name.c_str(),
                   static_cast<long>(st.st_size), static_cast<long>(module.size), static_cast<long>(module.crc));
  }
}

bool Updater::Ask() {
  DWORD dontAsk = 0;
  if (HKEY key = OpenKey(HKEY_CURRENT_USER, false)) {
    QueryDwordValue(key, u"Update", dontAsk);
    RegCloseKey(key);
  }
  if (dontAsk != 0) return false;
  bool dontAskAgain = false;
  if (CurrentUi().MessageBoxWithCheck(LoadResourceString(IDS_UPDATE_QUESTION), LoadResourceString(IDS_UPDATE_TITLE),
                                      MB_OKCANCEL | MB_ICONQUESTION, LoadResourceString(IDS_UPDATE_DONT_ASK),
                                      dontAskAgain) != IDOK)
    return false;
  // The answer is kept only when the person confirmed.
  HKEY key = OpenKey(HKEY_CURRENT_USER, true);
  if (key == nullptr) {
    ShowUpdateBox(u"Cannot open the registry key", u"Message", MB_ICONERROR);
  } else {
    if (SetDwordValue(key, u"Update", dontAskAgain ? 1 : 0) != ERROR_SUCCESS)
      ShowUpdateBox(u"Cannot change the registry", u"Message", MB_ICONERROR);
    RegCloseKey(key);
  }
  return true;
}

long Updater::Download(UpdateModule& module, ProgressWindow* progress) {
  module.temporaryPath = temporaryFolder_ + "/" + module.name;
  int fd = open(module.temporaryPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return errno;
  Sink sink;
  sink.fd = fd;
  sink.limit = module.size;
  sink.progress = progress;
  sink.total = module.size;
  sink.text = Utf8ToUtf16(module.name);
  long status = Get(module.location, options_.caFile, sink);
  close(fd);
  if (sink.cancelled) return kUpdateCancelled;
  if (status < 200 || status >= 300) return status < 0 ? -1 : status;
  // Only what has exactly the size, CRC and SHA-256 of the manifest is kept.
  bool readable = false;
  if (sink.overflow || sink.received != module.size || UpdateCrc(module.temporaryPath, &readable) != module.crc ||
      !readable || Sha256OfFile(module.temporaryPath) != module.sha256) {
    WideDbgPrint(u"Update %s: the download does not match the manifest\n", module.name.c_str());
    return kUpdateChecksumMismatch;
  }
  return 0;
}

long Updater::Install(std::string& failedModule) {
  // Every file is first copied beside the one it replaces; only when all of
  // them are there does any replace its old one, so a folder that cannot take
  // a file (read-only, full) leaves the whole installation as it was.
  long status = 0;
  for (UpdateModule& module : manifest_.modules) {
    if (!module.needsUpdate) continue;
    status = StageBeside(module.temporaryPath, module.localPath, module.stagedPath);
    if (status != 0) {
      WideDbgPrint(u"%s error %ld\n", module.name.c_str(), status);
      failedModule = module.name;
      break;
    }
  }
  for (UpdateModule& module : manifest_.modules) {
    if (status == 0 && !module.stagedPath.empty() &&
        rename(module.stagedPath.c_str(), module.localPath.c_str()) != 0) {
      status = errno == EACCES || errno == EPERM || errno == EROFS ? kUpdateAccessDenied : errno;
      WideDbgPrint(u"%s error %ld\n", module.name.c_str(), status);
      failedModule = module.name;
    }
    if (!module.stagedPath.empty() && status != 0) unlink(module.stagedPath.c_str());
    module.stagedPath.clear();
  }
  return status;
}

void Updater::DropTemporaryFiles() {
  if (temporaryFolder_.empty()) return;
  for (UpdateModule& module : manifest_.modules)
    if (!module.temporaryPath.empty()) unlink(module.temporaryPath.c_str());
  rmdir(temporaryFolder_.c_str());
  temporaryFolder_.clear();
}

UpdateOutcome Updater::CheckAndUpdate() {
  UpdateOutcome outcome;
  if (base_.empty()) return outcome;  // no update site configured
  if (!FetchManifest()) {
    outcome.status = kUpdateManifestMissing;
    return outcome;
  }
  if (manifest_.version <= InstalledVersion()) return outcome;
  PlaceModules();
  int needed = 0;
  for (const UpdateModule& module : manifest_.modules) needed += module.needsUpdate ? 1 : 0;
  if (needed == 0) return outcome;
  if (!Ask()) {
    outcome.status = kUpdateDeclined;
    return outcome;
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/HVMUp.XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    ShowUpdateBox(u"There is not enough memory", u"Update", MB_ICONERROR);
    outcome.status = -3;
    return outcome;
  }
  temporaryFolder_ = pattern;
  std::unique_ptr<ProgressWindow> progress = CurrentUi().OpenProgress(u".\\Updating");
  for (UpdateModule& module : manifest_.modules) {
    if (!module.needsUpdate) continue;
    long status = Download(module, progress.get());
    if (status != 0) {
      outcome.status = status;
      outcome.failedModule = module.name;
      break;
    }
  }
  progress.reset();
  if (outcome.status == 0) outcome.status = Install(outcome.failedModule);
  DropTemporaryFiles();
  if (outcome.status == 0) {
    if (HKEY key = OpenKey(HKEY_LOCAL_MACHINE, true)) {
      SetDwordValue(key, u"Version", manifest_.version);
      RegCloseKey(key);
    }
    ShowUpdateBox(LoadResourceString(IDS_UPDATE_DONE), LoadResourceString(IDS_UPDATE_TITLE), MB_ICONINFORMATION);
  } else if (outcome.status == kUpdateAccessDenied) {
    ShowUpdateBox(LoadResourceString(IDS_UPDATE_NO_RIGHTS), LoadResourceString(IDS_ERROR), MB_ICONERROR);
  } else if (outcome.status != kUpdateCancelled) {
    ShowUpdateBox(FormatWide(LoadResourceString(IDS_UPDATE_FAILED), outcome.failedModule.c_str(), outcome.status),
                  LoadResourceString(IDS_ERROR), MB_ICONERROR);
  }
  return outcome;
}

}  // namespace hvm
