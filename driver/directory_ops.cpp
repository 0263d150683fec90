// Folder listings: the made-up folders locally, remote folders through
// directory queries read whole at the first READDIRPLUS and served from the
// file object. Every listed entry refreshes its node, so a look-up right
// after a listing needs no round trip. What a user's listings keep is
// bounded: an agent that lists without end has its listing cut.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

#include "driver/file_objects.h"
#include "driver/fixed_answers.h"
#include "driver/fuse_glue.h"
#include "driver/requests.h"
#include "driver/short_handles.h"
#include "driver/trace.h"
#include "driver/user_slots.h"
#include "platform/wide_text.h"

namespace hvm::driver {

namespace {
constexpr int kMaxQueryRounds = 100000;

// Bytes all listings of one user may keep at once (held by open folders and
// listings still arriving), and likewise the names listings leave in the name
// table; QUENLODE_LISTING_BUDGET_MB (1..4096) changes it.
size_t ListingBudgetBytes() {
  static const size_t bytes = [] {
    size_t megabytes = 64;
    if (const char* text = getenv("QUENLODE_LISTING_BUDGET_MB")) {
      char* end = nullptr;
      long value = strtol(text, &end, 10);
      if (end != text && *end == '\0' && value >= 1 && value <= 4096)
        megabytes = static_cast<size_t>(value);
    }
    return megabytes << 20;
  }();
  return bytes;
}

// What each user's listings hold, and what each open folder was charged.
// The driver lock must be held.
std::map<uid_t, size_t> g_listingBytes;
std::map<uint32_t, std::pair<uid_t, size_t>> g_folderCharges;

size_t EntryCost(const ListedEntry& entry) {
  return sizeof(ListedEntry) + entry.name.capacity() * sizeof(char16_t);
}

bool Charge(uid_t uid, size_t bytes) {
  size_t& held = g_listingBytes[uid];
  if (held + bytes > ListingBudgetBytes()) return false;
  held += bytes;
  return true;
}

void Refund(uid_t uid, size_t bytes) {
  auto it = g_listingBytes.find(uid);
  if (it == g_listingBytes.end()) return;
  it->second -= std::min(it->second, bytes);
  if (it->second == 0) g_listingBytes.erase(it);
}

void RefundFolder(uint32_t fileObject) {
  auto it = g_folderCharges.find(fileObject);
  if (it == g_folderCharges.end()) return;
  Refund(it->second.first, it->second.second);
  g_folderCharges.erase(it);
}

struct LocalEntry {
  std::string name;
  NodeKind kind;
  uid_t uid;
  Connection* connection;
};

std::vector<LocalEntry> LocalListing(const Node& folder) {
  std::vector<LocalEntry> entries;
  switch (folder.kind) {
    case NodeKind::Root:
      for (UserSlot* slot : Users().UsedSlots())
        entries.push_back({Utf16ToUtf8(SidOfUid(slot->uid)), NodeKind::UserFolder, slot->uid, nullptr});
      break;
    case NodeKind::UserFolder:
      entries.push_back({kServerWord, NodeKind::ServerFolder, folder.uid, nullptr});
      break;
    case NodeKind::ServerFolder:
      for (Connection* conn : Users().ActiveConnections(folder.uid))
        entries.push_back({Utf16ToUtf8(conn->name), NodeKind::ConnectionRoot, folder.uid, conn});
      break;
    default:
      break;
  }
  return entries;
}

// Adds one entry; false when the buffer is full (the node keeps no extra lookup).
bool AddEntry(fuse_req_t req, std::vector<char>& buffer, size_t& used, Node& node, off_t next) {
  fuse_entry_param entry = EntryOf(node);
  size_t need = fuse_add_direntry_plus(req, buffer.data() + used, buffer.size() - used,
                                       node.name.c_str(), &entry, next);
  if (need > buffer.size() - used) return false;
  used += need;
  return true;
}

// "." and "..": no node of their own, so the kernel counts no look-up for them.
constexpr size_t kDotEntries = 2;
bool AddDots(fuse_req_t req, std::vector<char>& buffer, size_t& used, const Node& folder, off_t& off) {
  for (; off < static_cast<off_t>(kDotEntries); ++off) {
    fuse_entry_param entry{};
    entry.attr.st_ino = off == 0 ? folder.ino : (folder.parent ? folder.parent : folder.ino);
    entry.attr.st_mode = S_IFDIR;
    const char* name = off == 0 ? "." : "..";
    size_t need = fuse_add_direntry_plus(req, buffer.data() + used, buffer.size() - used, name,
                                         &entry, off + 1);
    if (need > buffer.size() - used) return false;
    used += need;
  }
  return true;
}

void ServeLocal(fuse_req_t req, Node& folder, size_t size, off_t off) {
  std::vector<char> buffer(size);
  size_t used = 0;
  if (!AddDots(req, buffer, used, folder, off)) return (void)fuse_reply_buf(req, buffer.data(), used);
  auto entries = LocalListing(folder);
  for (size_t i = static_cast<size_t>(off) - kDotEntries; i < entries.size(); ++i) {
    const LocalEntry& item = entries[i];
    Node* node = Names().Remember(folder, item.name, item.kind, item.uid, item.connection);
    if (!AddEntry(req, buffer, used, *node, static_cast<off_t>(i + kDotEntries + 1))) {
      Names().Forget(node->ino, 1);
      break;
    }
  }
  fuse_reply_buf(req, buffer.data(), used);
}

bool Listable(const std::u16string& name) {
  return !name.empty() && name != u"." && name != u".." &&
         name.find_first_of(std::u16string_view(u"/\\\0", 3)) == std::u16string::npos;
}

// An entry without a node: the kernel keeps no look-up for it and asks
// for the name again when it needs it.
bool AddPlainEntry(fuse_req_t req, std::vector<char>& buffer, size_t& used, const Node& folder,
                   const ListedEntry& listed, off_t next) {
  fuse_entry_param entry{};
  std::u16string fullName = folder.fullName + u"\\" + listed.name;
  entry.attr.st_ino = std::hash<std::u16string>()(fullName) | (uint64_t{1} << 63);
  entry.attr.st_mode = listed.attr.isDirectory ? S_IFDIR : S_IFREG;
  std::string name = Utf16ToUtf8(listed.name);
  size_t need = fuse_add_direntry_plus(req, buffer.data() + used, buffer.size() - used,
                                       name.c_str(), &entry, next);
  if (need > buffer.size() - used) return false;
  used += need;
  return true;
}

void ServeRemote(fuse_req_t req, FileObject& object, size_t size, off_t off) {
  Node* folder = Names().Get(object.ino);
  if (folder == nullptr) return (void)fuse_reply_err(req, ENOENT);
  std::vector<char> buffer(size);
  size_t used = 0;
  if (!AddDots(req, buffer, used, *folder, off)) return (void)fuse_reply_buf(req, buffer.data(), used);
  for (size_t i = static_cast<size_t>(off) - kDotEntries; i < object.listing.size(); ++i) {
    const ListedEntry& listed = object.listing[i];
    if (!Listable(listed.name)) continue;
    off_t next = static_cast<off_t>(i + kDotEntries + 1);
    std::string name = Utf16ToUtf8(listed.name);
    // Past the user's budget for remembered names, new entries come without nodes.
    bool overBudget = Names().BytesOf(object.uid) >= ListingBudgetBytes();
    if (overBudget && Names().Child(folder->ino, name) == nullptr) {
      if (!AddPlainEntry(req, buffer, used, *folder, listed, next)) break;
      continue;
    }
    Node* node = Names().Remember(*folder, name, NodeKind::Remote, object.uid, object.connection);
    node->attr = listed.attr;
    node->attrTime = Clock::now();
    if (!AddEntry(req, buffer, used, *node, next)) {
      Names().Forget(node->ino, 1);
      break;
    }
  }
  fuse_reply_buf(req, buffer.data(), used);
}

struct ListJob {
  fuse_req_t req;
  uint32_t fileObject;
  Connection* conn;
  std::u16string query;
  size_t size;
  off_t off;
  uid_t uid = 0;
  std::vector<ListedEntry> entries;
  size_t charged = 0;  // bytes of entries charged to the user so far
  int rounds = 0;
  uint64_t operation = 0;
};

void FinishListing(std::shared_ptr<ListJob> job) {
  std::lock_guard<std::mutex> guard(DriverMutex());
  FileObject* object = OpenFiles().Get(job->fileObject);
  if (object == nullptr) {
    Refund(job->uid, job->charged);
    return (void)fuse_reply_err(job->req, EBADF);
  }
  RefundFolder(job->fileObject);  // the listing it replaces
  g_folderCharges[job->fileObject] = {job->uid, job->charged};
  object->listing = std::move(job->entries);
  object->listingLoaded = true;
  ServeRemote(job->req, *object, job->size, job->off);
}

void FailListing(const std::shared_ptr<ListJob>& job, int error) {
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    Refund(job->uid, job->charged);
  }
  fuse_reply_err(job->req, error);
}

// Keeps a round's entries while the user's budget allows; false when the
// listing must end here.
bool KeepEntries(ListJob& job, std::vector<ListedEntry>& entries) {
  size_t cost = 0;
  for (auto& entry : entries) cost += EntryCost(entry);
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    if (!Charge(job.uid, cost)) {
      DirectPrint("quenlode: listing of uid %u cut at %zu entries: its listings hold %zu bytes\n",
                  static_cast<unsigned>(job.uid), job.entries.size(), g_listingBytes[job.uid]);
      return false;
    }
  }
  job.charged += cost;
  for (auto& entry : entries) job.entries.push_back(std::move(entry));
  return true;
}

void QueryNext(std::shared_ptr<ListJob> job) {
  auto query = DirectoryQueryRequest(job->fileObject, job->query, job->rounds == 0);
  query->operation = job->rounds == 0 ? job->operation : 0;
  query->done = [job](ForwardResult& result) {
    if (result.status == STATUS_NO_MORE_FILES || result.status == STATUS_NO_SUCH_FILE)
      return FinishListing(job);
    if (result.status != STATUS_SUCCESS) return FailListing(job, ErrnoOf(result));
    auto entries = DecodeDirectoryInfo(result.data, result.information);
    if (entries.empty() || ++job->rounds >= kMaxQueryRounds) return FinishListing(job);
    if (!KeepEntries(*job, entries)) return FinishListing(job);
    QueryNext(job);
  };
  Send(job->conn, query, job->rounds != 0);
}
}  // namespace

void OpOpendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  uid_t uid = CallerUid(req);
  fuse_file_info info = *fi;
  Connection* conn = nullptr;
  std::u16string fullName;
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    Node* node = Names().Get(ino);
    if (node == nullptr) return (void)fuse_reply_err(req, ENOENT);
    if (node->kind != NodeKind::Root && node->uid != uid) return (void)fuse_reply_err(req, EACCES);
    // Its full name may already be another folder's.
    if (node->goneUnderSpelling) return (void)fuse_reply_err(req, ENOENT);
    if (node->kind != NodeKind::Remote && node->kind != NodeKind::ConnectionRoot) {
      info.fh = 0;
      return (void)fuse_reply_open(req, &info);
    }
    conn = node->connection;
    fullName = node->fullName;
    // The listing brings what others put there meanwhile.
    DropOwnFolder(*node);
  }
  OpenShort(conn, fullName, FILE_OPEN, FILE_DIRECTORY_FILE, FILE_READ_DATA, BeginOperation(req), 0,
            [req, info, ino, uid, fullName](const ShortHandle& handle, ForwardResult& result) mutable {
              if (result.status != STATUS_SUCCESS) return (void)fuse_reply_err(req, ErrnoOf(result));
              {
                std::lock_guard<std::mutex> guard(DriverMutex());
                auto object = std::make_unique<FileObject>();
                object->id = handle.fileObject;
                object->ino = ino;
                object->connection = handle.connection;
                object->uid = uid;
                object->isDirectory = true;
                object->size = handle.size;
                object->fullName = fullName;
                OpenFiles().Add(std::move(object));
              }
              info.fh = handle.fileObject;
              if (fuse_reply_open(req, &info) != 0) CloseShort(handle, [](int) {});
            });
}

void OpReaddirplus(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info* fi) {
  auto job = std::make_shared<ListJob>();
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    if (fi->fh == 0) {
      Node* folder = Names().Get(ino);
      if (folder == nullptr) return (void)fuse_reply_err(req, ENOENT);
      return ServeLocal(req, *folder, size, off);
    }
    FileObject* object = OpenFiles().Get(fi->fh);
    if (object == nullptr) return (void)fuse_reply_err(req, EBADF);
    if (object->listingLoaded && off != 0) return ServeRemote(req, *object, size, off);
    // Every entry is listed: the query carries the folder alone.
    *job = ListJob{req, object->id, object->connection, DirectoryQueryText(object->fullName, u"*"),
                   size, off, object->uid, {}, 0, 0, 0};
  }
  job->operation = BeginOperation(req);
  QueryNext(job);
}

void OpReleasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  if (fi->fh == 0) return (void)fuse_reply_err(req, 0);
  ShortHandle handle;
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    FileObject* object = OpenFiles().Get(fi->fh);
    if (object == nullptr) return (void)fuse_reply_err(req, 0);
    handle = ShortHandle{object->connection, object->id, object->size};
    RefundFolder(object->id);
    OpenFiles().Remove(fi->fh);
  }
  CloseShort(handle, [req](int) { fuse_reply_err(req, 0); });
}

}  // namespace hvm::driver
