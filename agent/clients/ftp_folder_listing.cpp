// Listing a folder with MLSD (LIST on servers without it) and bringing the
// entry cache in line: listed children are created or refreshed, children the
// server no longer names leave the cache unless something still uses them.
// A file is refreshed by listing its folder, so that its times come from the
// same kind of listing as before.
#include <ctime>

#include "agent/clients/ftp_client.h"
#include "agent/clients/listing_merge.h"
#include "agent/service/ntstatus.h"
#include "agent/service/path_forms.h"
#include "common/moorlib.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

// The name as the drive shows it; empty when it is no valid UTF-8.
std::u16string DriveName(const std::string& name) {
  std::u16string wide = Utf8ToUtf16(name);
  return Utf16ToUtf8(wide) == name ? wide : std::u16string();
}

bool IsNoSuchCommand(long reply) { return reply == 500 || reply == 501 || reply == 502 || reply == 504; }

}  // namespace

NTSTATUS FtpClient::ListDirectory(std::u16string_view serverPath, FileEntry* entry, const char16_t*) {
  if (DWORD error = Connect()) return Failed(error, nullptr, STATUS_UNSUCCESSFUL);
  std::string path = FtpPathOf(serverPath);
  // A created file whose first upload is still to come is newer here than
  // anything the server lists.
  if (entry && !entry->IsDirectory() && PendingFirstUpload(*entry)) return STATUS_SUCCESS;
  if (entry && !entry->IsDirectory()) {
    // A file: its folder's listing refreshes it, and tells whether it is still there.
    std::u16string_view parentCache = ParentPathOf(entry->Path());
    FileEntry* parent = connection_->entries.LookUp(parentCache);
    size_t slash = path.rfind('/');
    std::string folder(path, 0, slash == std::string::npos || slash == 0 ? 1 : slash);
    NTSTATUS status = ListFolder(folder, parentCache, parent, entry);
    if (status != STATUS_SUCCESS) return status;
    return (entry->flags & kEntryDeletedOnServer) ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_SUCCESS;
  }
  std::u16string cachePath = CachePathOf(*connection_, serverPath);
  if (entry) cachePath.assign(entry->Path().data(), entry->Path().size());
  if (!entry) entry = connection_->entries.LookUp(cachePath);
  if (!entry && PathBelowConnection(*connection_, cachePath).empty()) entry = RootEntry();
  return ListFolder(path, cachePath, entry, entry);
}

DWORD FtpClient::FetchListing(const std::string& folder, std::vector<FtpListedItem>& items) {
  std::string text;
  DWORD error = 0;
  if (mlsd_ != Mlsd::No) {
    error = session_->List(folder, true, text);
    if (!error) {
      mlsd_ = Mlsd::Yes;
    } else if (IsNoSuchCommand(session_->lastReply())) {
      WideDbgPrint(u"ftp: no MLSD on this server, LIST from now on\n");
      mlsd_ = Mlsd::No;
    } else {
      return error;
    }
  }
  if (mlsd_ == Mlsd::No) {
    text.clear();
    error = session_->List(folder, false, text);
    if (error) return error;
  }
  FtpListingForm form = mlsd_ == Mlsd::Yes ? FtpListingForm::Mlsd : FtpListingForm::List;
  return ParseFtpListing(text, form, static_cast<int64_t>(std::time(nullptr)), items) ? 0 : kFtpListingTooLong;
}

NTSTATUS FtpClient::ListFolder(const std::string& folder, std::u16string_view cachePath, FileEntry* folderEntry,
                               FileEntry* mustStay) {
  std::vector<FtpListedItem> items;
  DWORD error = FetchListing(folder, items);
  if (error) {
    ReportFailure(mlsd_ == Mlsd::Yes ? "MLSD" : "LIST", error, Utf8ToUtf16(folder));
    NTSTATUS status = Failed(error, nullptr, STATUS_OBJECT_NAME_NOT_FOUND);
    // Nothing of a listing too long is taken (the names left out would look
    // deleted), and asking again would not help: no network failure.
    return error == kFtpListingTooLong ? STATUS_INSUFFICIENT_RESOURCES : status;
  }
  MergeListing(cachePath, folderEntry, items, mustStay);
  return STATUS_SUCCESS;
}

void FtpClient::MergeListing(std::u16string_view cachePath, FileEntry* folder, const std::vector<FtpListedItem>& items,
                             FileEntry* mustStay) {
  std::vector<ListedChild> children;
  children.reserve(items.size());
  for (const FtpListedItem& item : items) {
    std::u16string name = DriveName(item.name);
    if (name.empty()) {
      WideDbgPrint(u"ftp: a name that is no UTF-8 is left out: %s\n", item.name.c_str());
      continue;
    }
    if (name == u"Thumbs.db:encryptable") continue;
    // A link of a LIST line stays a file of the size the line gives.
    children.push_back({std::move(name), item.isDirectory, false, item.size, item.modified});
  }
  // A file the server changed loses what its reading job cached.
  hvm::MergeListing(*connection_, cachePath, folder, children, mustStay, [this](FileEntry& child) { DropCache(&child); });
}

}  // namespace hvm
