// Listing a folder with opendir/readdir (a refresh of one file with stat),
// links shown as what they point to.
#include <sys/stat.h>
#include <time.h>

#include "agent/clients/listing_merge.h"
#include "agent/clients/sftp_client.h"
#include "agent/clients/sftp_names.h"
#include "agent/service/ntstatus.h"
#include "agent/service/path_forms.h"
#include "common/moorlib.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

FileTime FileTimeOfSeconds(uint64_t seconds) {
  return seconds == 0 ? 0 : seconds * kFileTimeTicksPerSecond + kFileTimeUnixEpoch;
}

uint64_t ModifiedSeconds(const sftp_attributes_struct& a) {
  return (a.flags & SSH_FILEXFER_ATTR_ACMODTIME) ? a.mtime : 0;
}

bool IsDirectoryAttributes(const sftp_attributes_struct& a) {
  if (a.type == SSH_FILEXFER_TYPE_DIRECTORY) return true;
  return (a.flags & SSH_FILEXFER_ATTR_PERMISSIONS) && S_ISDIR(a.permissions);
}

bool IsLinkAttributes(const sftp_attributes_struct& a) {
  if (a.type == SSH_FILEXFER_TYPE_SYMLINK) return true;
  return (a.flags & SSH_FILEXFER_ATTR_PERMISSIONS) && S_ISLNK(a.permissions);
}

std::string Joined(const std::string& folder, std::string_view name) {
  std::string path = folder;
  if (path.empty() || path.back() != '/') path += '/';
  path += name;
  return path;
}

}  // namespace

namespace {
constexpr int64_t kMissingKeptMilliseconds = 1000;

int64_t NowMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}
}  // namespace

bool SftpClient::TakeMissing(const std::string& path) {
  bool known = !missing_.path.empty() && missing_.path == path &&
               NowMilliseconds() - missing_.atMilliseconds < kMissingKeptMilliseconds;
  ForgetMissing();
  return known;
}

void SftpClient::NoteMissing(const std::string& path) {
  missing_.path = path;
  missing_.atMilliseconds = NowMilliseconds();
}

NTSTATUS SftpClient::ListDirectory(std::u16string_view serverPath, FileEntry* entry, const char16_t* name) {
  std::string path;
  if (!ServerPathOf(serverPath, path)) return STATUS_UNSUCCESSFUL;
  if (entry && !entry->IsDirectory()) return RefreshFile(path, entry);
  std::u16string cachePath = entry ? std::u16string(entry->Path()) : connection_->RootPath();
  FileEntry* folder = entry ? entry : connection_->entries.LookUp(cachePath);
  if (!folder) folder = RootEntry();
  // Resolving one name needs that name, not the whole folder: a new file in a
  // folder of thousands costs one question instead of a listing.
  if (name != nullptr) {
    std::u16string_view wanted(name);
    if (wanted.size() > cachePath.size() + 1 && PathIsAtOrBelow(wanted, cachePath) &&
        wanted[cachePath.size()] == u'\\') {
      std::u16string_view rest = wanted.substr(cachePath.size() + 1);
      return LookUpChild(path, cachePath, folder, rest.substr(0, rest.find(u'\\')));
    }
  }
  return ReadDirectory(path, cachePath, folder);
}

NTSTATUS SftpClient::LookUpChild(const std::string& path, std::u16string_view cachePath, FileEntry* folder,
                                 std::u16string_view childName) {
  std::string utf8 = Utf16ToUtf8(childName);
  if (!IsShowableSftpName(utf8)) return STATUS_OBJECT_NAME_NOT_FOUND;
  std::string childPath = Joined(path, utf8);
  if (TakeMissing(childPath)) return STATUS_OBJECT_NAME_NOT_FOUND;
  ListedChild child;
  child.name = std::u16string(childName);
  bool missing = false;
  bool found = WithRetry("ListDirectory", childPath, [&] {
    missing = false;
    sftp_attributes a = ssh_->lstat(sftp_, childPath.c_str());
    if (a == nullptr) {
      missing = SessionAlive() && ssh_->sftp_get_error(sftp_) == SSH_FX_NO_SUCH_FILE;
      return missing;
    }
    child.isLink = IsLinkAttributes(*a);
    if (child.isLink) {
      ssh_->attributes_free(a);
      a = ssh_->stat(sftp_, childPath.c_str());
      if (a == nullptr) return SessionAlive();  // a link that points nowhere
    }
    child.isDirectory = IsDirectoryAttributes(*a);
    child.size = (a->flags & SSH_FILEXFER_ATTR_SIZE) ? a->size : 0;
    child.lastWriteTime = FileTimeOfSeconds(ModifiedSeconds(*a));
    ssh_->attributes_free(a);
    return true;
  });
  if (!found) return STATUS_UNSUCCESSFUL;
  if (missing) {
    NoteMissing(childPath);
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  std::u16string entryPath = std::u16string(cachePath) + u"\\" + child.name;
  if (entryPath.size() > kEntryMaxPathChars) return STATUS_OBJECT_NAME_NOT_FOUND;
  FileEntry* entry = connection_->entries.LookUp(entryPath);
  if (!entry) entry = connection_->entries.NewEntry(entryPath);
  if (!entry) return STATUS_INSUFFICIENT_RESOURCES;
  entry->parent = folder;
  StoreListedChild(*entry, child);
  entry->lastRefreshTime = NowFileTime();
  return STATUS_SUCCESS;
}

NTSTATUS SftpClient::ReadDirectory(const std::string& path, std::u16string_view cachePath, FileEntry* folder) {
  std::vector<ListedChild> children;
  bool tooLong = false;
  bool listed = WithRetry("ListDirectory", path, [&] {
    children.clear();
    tooLong = false;
    sftp_dir dir = ssh_->opendir(sftp_, path.c_str());
    if (dir == nullptr) return false;
    SftpListingBudget budget;
    while (sftp_attributes a = ssh_->readdir(sftp_, dir)) {
      std::string_view name = a->name ? a->name : "";
      if (!budget.Take(name.size())) {
        ssh_->attributes_free(a);
        tooLong = true;
        break;
      }
      if (IsShowableSftpName(name)) {
        ListedChild child;
        child.name = Utf8ToUtf16(name);
        child.isLink = IsLinkAttributes(*a);
        child.isDirectory = IsDirectoryAttributes(*a);
        child.size = (a->flags & SSH_FILEXFER_ATTR_SIZE) ? a->size : 0;
        child.lastWriteTime = FileTimeOfSeconds(ModifiedSeconds(*a));
        children.push_back(std::move(child));
      }
      ssh_->attributes_free(a);
    }
    bool complete = !tooLong && ssh_->dir_eof(dir) != 0;
    ssh_->closedir(dir);
    if (!complete) return false;
    // A link shows what it points to; one that points nowhere stays an empty file.
    for (ListedChild& child : children) {
      if (!child.isLink) continue;
      if (sftp_attributes target = ssh_->stat(sftp_, Joined(path, Utf16ToUtf8(child.name)).c_str())) {
        child.isDirectory = IsDirectoryAttributes(*target);
        child.size = (target->flags & SSH_FILEXFER_ATTR_SIZE) ? target->size : 0;
        if (FileTime t = FileTimeOfSeconds(ModifiedSeconds(*target))) child.lastWriteTime = t;
        ssh_->attributes_free(target);
      } else if (!SessionAlive()) {
        return false;
      }
    }
    return true;
  });
  if (tooLong) {
    // Nothing of a cut listing is taken: the names it left out are not gone.
    lastError_ = "The server's listing of the folder is too long.";
    WideDbgPrint(u"** %ws listing of %s cut after %llu names\n", std::u16string(connection_->Name()).c_str(),
                 path.c_str(), static_cast<unsigned long long>(children.size()));
    return STATUS_UNSUCCESSFUL;
  }
  if (!listed) return STATUS_UNSUCCESSFUL;
  return MergeListing(*connection_, cachePath, folder, children) ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS SftpClient::RefreshFile(const std::string& path, FileEntry* entry) {
  ListedChild child;
  bool found = WithRetry("ListDirectory", path, [&] {
    sftp_attributes a = ssh_->stat(sftp_, path.c_str());
    if (a == nullptr) return false;
    child.isDirectory = IsDirectoryAttributes(*a);
    child.size = (a->flags & SSH_FILEXFER_ATTR_SIZE) ? a->size : 0;
    child.lastWriteTime = FileTimeOfSeconds(ModifiedSeconds(*a));
    ssh_->attributes_free(a);
    return true;
  });
  if (!found) return STATUS_UNSUCCESSFUL;
  if (entry->HasLocalCopy()) return STATUS_SUCCESS;
  child.isLink = (entry->flags & kEntrySpecial) != 0;
  FileTime before = entry->serverModifiedTime;
  uint64_t size = entry->size;
  StoreListedChild(*entry, child);
  entry->lastRefreshTime = NowFileTime();
  if ((before != 0 && before != entry->serverModifiedTime) || size != entry->size) {
    if (connection_->hooks.serverChanged) connection_->hooks.serverChanged(*connection_, *entry, SHCNE_UPDATEITEM);
  }
  return STATUS_SUCCESS;
}

}  // namespace hvm
