#include "driver/tests/scripted_agent.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/control_device.h"
#include "platform/data_area.h"
#include "platform/wide_text.h"

namespace hvm::test {

namespace {
constexpr uint64_t kSomeFiletime = 132223104000000000ull;  // 2020-01-01

std::u16string Parent(const std::u16string& name) {
  size_t last = name.rfind(u'\\');
  return last == std::u16string::npos ? std::u16string() : name.substr(0, last);
}

void PutU32(uint8_t* at, uint32_t value) { memcpy(at, &value, 4); }
void PutU64(uint8_t* at, uint64_t value) { memcpy(at, &value, 8); }
uint32_t GetU32(const uint8_t* at) {
  uint32_t value;
  memcpy(&value, at, 4);
  return value;
}
int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

std::u16string U(const std::string& text) { return Utf8ToUtf16(text); }
std::u16string SelfSid() { return U("S-1-22-1-" + std::to_string(getuid())); }

ScriptedAgent::~ScriptedAgent() { Stop(); }

uint32_t ScriptedAgent::Connect(const std::u16string& name, uint32_t usedUnits, uint32_t freeUnits) {
  HANDLE device = CreateFileW(kControlDeviceName, 0, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) return GetLastError();
  ConnectionRecord record{};
  record.marker = kRecordMarker;
  CopyWide(record.sid, kSidChars, SelfSid());
  CopyWide(record.name, kConnectionNameChars, name);
  record.driveLetter = 'X';
  record.usedUnits = usedUnits;
  record.freeUnits = freeUnits;
  record.reserved = askWidePieces ? kAskWidePieces : 0;
  if (askSharedArea) record.reserved |= kAskSharedArea;
  DWORD got = 0;
  uint32_t error = 0;
  if (!DeviceIoControl(device, IOCTL_CONNECT, &record, sizeof record, &record, sizeof record, &got,
                       nullptr))
    error = GetLastError();
  else
    handle_ = record.connectionHandle;
  pieceSize_ = (record.reserved & kAgreedWidePieces) ? kWidePieceSize : kMaxChunk;
  areaAgreed_ = (record.reserved & kAgreedSharedArea) != 0;
  CloseHandle(device);
  return error;
}

void ScriptedAgent::Start(bool ping) {
  pinging = ping;
  loop_ = std::thread([this] { Loop(); });
  ping_ = std::thread([this] { PingLoop(); });
}

void ScriptedAgent::Stop() {
  stop_ = true;
  if (loop_.joinable()) loop_.join();
  if (ping_.joinable()) ping_.join();
  for (auto& helper : helpers_)
    if (helper.joinable()) helper.join();
  helpers_.clear();
}

void ScriptedAgent::AddFile(const std::u16string& fullName, std::vector<uint8_t> data) {
  std::lock_guard<std::mutex> guard(lock_);
  tree_[fullName] = RemoteFile{false, std::move(data), 0, 0, false};
}

void ScriptedAgent::AddAlias(const std::u16string& alias, const std::u16string& fullName) {
  std::lock_guard<std::mutex> guard(lock_);
  aliases_[alias] = fullName;
}

void ScriptedAgent::AddFolder(const std::u16string& fullName) {
  std::lock_guard<std::mutex> guard(lock_);
  tree_[fullName] = RemoteFile{true, {}, 0, 0, false};
}

bool ScriptedAgent::Has(const std::u16string& fullName) {
  std::lock_guard<std::mutex> guard(lock_);
  return tree_.count(fullName) != 0;
}

std::vector<uint8_t> ScriptedAgent::Contents(const std::u16string& fullName) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = tree_.find(fullName);
  return it == tree_.end() ? std::vector<uint8_t>() : it->second.data;
}

std::vector<LoggedRequest> ScriptedAgent::Log() {
  std::lock_guard<std::mutex> guard(lock_);
  return log_;
}

void ScriptedAgent::ClearLog() {
  std::lock_guard<std::mutex> guard(lock_);
  log_.clear();
}

bool ScriptedAgent::WaitSuspended(int seconds) {
  for (int i = 0; i < seconds * 20 && !suspended_; ++i) usleep(50000);
  return suspended_;
}

bool ScriptedAgent::WaitHeld(int seconds) {
  for (int i = 0; i < seconds * 20 && !held_; ++i) usleep(50000);
  return held_;
}

void ScriptedAgent::PingLoop() {
  HANDLE device = CreateFileW(kControlDeviceName, 0, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) return;
  PingRecord record{};
  record.marker = kRecordMarker;
  CopyWide(record.sid, kSidChars, SelfSid());
  while (!stop_) {
    if (pinging) {
      DWORD got = 0;
      DeviceIoControl(device, IOCTL_PING, &record, sizeof record, &record, sizeof record, &got, nullptr);
    }
    for (int i = 0; i < 10 && !stop_; ++i) usleep(100000);
  }
  CloseHandle(device);
}

void ScriptedAgent::Loop() {
  HANDLE device = CreateFileW(kControlDeviceName, 0, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) return;
  // Buffers as large as the records; the calls announce the Connection's size.
  const size_t bufferSize = ChannelBufferSizeFor(pieceSize_);
  std::vector<uint8_t> replyBuffer(sizeof(ReplyRecord), 0), requestBuffer(sizeof(RequestRecord), 0);
  auto* reply = reinterpret_cast<ReplyRecord*>(replyBuffer.data());
  auto* request = reinterpret_cast<RequestRecord*>(requestBuffer.data());
  reply->marker = kRecordMarker;
  reply->status = STATUS_INVALID_DEVICE_REQUEST;
  std::unique_ptr<DataAreaMapping> area;
  if (areaAgreed_) {
    SharedAreaRecord ask{};
    ask.marker = kRecordMarker;
    ask.connectionHandle = handle_;
    SharedAreaRecord answer{};
    DWORD got = 0;
    int fd = -1;
    if (DeviceIoControlTakingDescriptor(device, IOCTL_SHARED_AREA, &ask, sizeof ask, &answer,
                                        sizeof answer, &got, &fd) &&
        IsSealedDataArea(fd, kSharedAreaSize))
      area = DataAreaMapping::Map(fd, kSharedAreaSize);
    if (fd >= 0) close(fd);
    if (area) {
      area_ = area->base();
      reply->loopFlags = kLoopAreaMapped;
    }
  }
  bool answered = false;
  while (!stop_) {
    reply->connectionHandle = handle_;
    DWORD got = 0;
    // Only what the answered request takes travels, as the agent sends it.
    DWORD replyBytes = static_cast<DWORD>(ReplyBytesFor(answered ? request : nullptr, pieceSize_));
    if (!DeviceIoControl(device, IOCTL_GET_REQUEST, replyBuffer.data(), replyBytes,
                         requestBuffer.data(), bufferSize, &got, nullptr))
      break;
    if (got == 0) {
      suspended_ = true;
      break;
    }
    answered = true;
    // Listings and records fill at most the 64 KiB area; reads clear their own tail.
    memset(replyBuffer.data() + 8, 0, std::min(bufferSize, kChannelBufferSize) - 8);
    reply->value = request->fileValue;
    {
      std::lock_guard<std::mutex> guard(lock_);
      LoggedRequest entry;
      entry.major = request->MajorFunction;
      entry.flags = request->Flags;
      memcpy(entry.words, request->Parameters, sizeof entry.words);
      entry.fileObject = request->FileObject;
      entry.validLengthHigh = request->validLengthHigh;
      entry.fileValue = FileSizeOf(*request);
      entry.requestId = request->requestId;
      entry.dataLength = request->dataLength;
      entry.sharedSlot = request->sharedSlot;
      size_t head = std::min<size_t>(request->dataLength, 64);
      entry.head.assign(request->data, request->data + head);
      if (request->MajorFunction == MJ_CREATE) {
        entry.offeredToken = GetU32(request->data);
        entry.name = std::u16string(
            WideField(reinterpret_cast<const char16_t*>(request->data + 4), kPathChars));
      }
      log_.push_back(entry);
    }
    if (silent) {
      while (!stop_) usleep(50000);
      break;
    }
    if (holdMajor != 0xFF && holdMajor == request->MajorFunction) {
      held_ = true;
      while (holdMajor == request->MajorFunction && !stop_) usleep(10000);
    }
    if (delayMs > 0 && (delayOnlyMajor == 0xFF || delayOnlyMajor == request->MajorFunction))
      usleep(delayMs * 1000);
    std::lock_guard<std::mutex> guard(lock_);
    Handle(*request, *reply);
    if (request->MajorFunction == MJ_CREATE) log_.back().replyToken = GetU32(reply->data);
  }
  area_ = nullptr;
  CloseHandle(device);
}

uint8_t* ScriptedAgent::SlotOf(const RequestRecord& request) const {
  uint32_t index = request.sharedSlot & ~kSlotNamed;
  uint8_t* base = area_;
  if (base == nullptr || (request.sharedSlot & kSlotNamed) == 0 || index >= kSharedSlotCount) return nullptr;
  return base + size_t{index} * kSharedSlotSize;
}

void ScriptedAgent::SendCleanupDone(uint32_t requestId, uint32_t status, int delay) {
  uint32_t handle = handle_;
  helpers_.emplace_back([this, requestId, status, delay, handle] {
    usleep(delay * 1000);
    HANDLE device = CreateFileW(kControlDeviceName, 0, 3, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) return;
    CleanupDoneRecord record{};
    record.marker = kRecordMarker;
    record.connectionHandle = handle;
    record.requestId = requestId;
    record.status = status;
    cleanupDoneSentAtNs = NowNs();
    uint32_t out = 0;
    DWORD got = 0;
    DeviceIoControl(device, IOCTL_CLEANUP_DONE, &record, sizeof record, &out, sizeof out, &got, nullptr);
    CloseHandle(device);
  });
}

void ScriptedAgent::Create(const RequestRecord& request, ReplyRecord& reply) {
  uint32_t options = request.Parameters[1];
  uint32_t disposition = options >> 24;
  bool wantDir = options & FILE_DIRECTORY_FILE;
  bool wantFile = options & FILE_NON_DIRECTORY_FILE;
  std::u16string name(WideField(reinterpret_cast<const char16_t*>(request.data + 4), kPathChars));
  while (!name.empty() && name.back() == u'\\') name.pop_back();
  for (auto& [alias, target] : aliases_)
    if (name.compare(0, alias.size(), alias) == 0 && (name.size() == alias.size() || name[alias.size()] == u'\\'))
      name = target + name.substr(alias.size());
  if (request.Flags & SL_OPEN_TARGET_DIRECTORY) {
    reply.information = tree_.count(name) ? FILE_EXISTS : FILE_DOES_NOT_EXIST;
    handles_[request.FileObject] = Parent(name);
    return;
  }
  auto it = tree_.find(name);
  bool exists = it != tree_.end() && !it->second.deletePending;
  bool isRoot = std::count(name.begin(), name.end(), u'\\') == 2;
  if (!exists && isRoot) {  // the Connection's root folder always exists
    tree_[name] = RemoteFile{true, {}, 0, 0, false};
    it = tree_.find(name);
    exists = true;
  }
  auto fail = [&](NTSTATUS status, uint32_t information) {
    reply.status = status;
    reply.information = information;
  };
  if (exists && wantFile && it->second.isDirectory) return fail(STATUS_FILE_IS_A_DIRECTORY, 0);
  if (exists && wantDir && !it->second.isDirectory) return fail(STATUS_NOT_A_DIRECTORY, 0);
  bool make = false, truncate = false;
  switch (disposition) {
    case FILE_OPEN: if (!exists) return fail(STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST); break;
    case FILE_CREATE: if (exists) return fail(STATUS_OBJECT_NAME_COLLISION, FILE_EXISTS); make = true; break;
    case FILE_OPEN_IF: make = !exists; break;
    case FILE_OVERWRITE: if (!exists) return fail(STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST); truncate = true; break;
    default: make = !exists; truncate = exists; break;
  }
  bool newFile = false;
  if (make) {
    auto parent = tree_.find(Parent(name));
    if (parent == tree_.end() || !parent->second.isDirectory)
      return fail(STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST);
    tree_[name] = RemoteFile{wantDir, {}, 0, 0, false};
    it = tree_.find(name);
    newFile = !wantDir;
    reply.information = FILE_CREATED;
  } else {
    reply.information = FILE_OPENED;
  }
  if (truncate) it->second.data.clear();
  RemoteFile& file = it->second;
  if (file.token == 0) file.token = GetU32(request.data);
  file.uses += 1;
  handles_[request.FileObject] = name;
  uint32_t answered = foreignToken ? foreignToken.load() : file.token;
  if (newFile && foreignTokenForNewFiles) answered = foreignTokenForNewFiles.load();
  PutU32(reply.data, answered);
  uint64_t size = file.data.size();
  reply.value = newFile ? kUnknownSize : static_cast<uint32_t>(size);
  PutU32(reply.data + 8, newFile ? 0 : static_cast<uint32_t>(size >> 32));
  if (newFile || truncate) written_[request.FileObject] = true;
}

// Rounds of fresh 100-character names filling each answer, as an agent that
// lists without end would send them.
void ScriptedAgent::MadeUpListing(const RequestRecord& request, ReplyRecord& reply) {
  size_t& round = listPosition_[request.FileObject];
  if (request.Flags & SL_RESTART_SCAN) round = 0;
  if (round >= static_cast<size_t>(madeUpListingRounds.load())) {
    reply.status = STATUS_NO_MORE_FILES;
    return;
  }
  uint32_t room = std::min<uint32_t>(request.Parameters[0], kMaxChunk);
  size_t offset = 0, last = 0;
  for (int i = 0;; ++i) {
    std::string text = std::string("r").append(std::to_string(round)).append("_");
    text.append(std::to_string(i)).append("_");
    std::u16string name = U(text);
    name.resize(100, u'x');
    size_t length = 64 + name.size() * 2;
    size_t start = (offset + 7) & ~size_t{7};
    if (start + length > room) break;
    uint8_t* record = reply.data + start;
    if (i > 0) PutU32(reply.data + last, static_cast<uint32_t>(start - last));
    for (int t = 0; t < 4; ++t) PutU64(record + 8 + t * 8, kSomeFiletime);
    PutU32(record + 56, 0x80);
    PutU32(record + 60, static_cast<uint32_t>(name.size() * 2));
    memcpy(record + 64, name.data(), name.size() * 2);
    last = start;
    offset = start + length;
  }
  ++round;
  reply.information = static_cast<uint32_t>(offset);
}

void ScriptedAgent::DirectoryQuery(const RequestRecord& request, ReplyRecord& reply) {
  if (madeUpListingRounds > 0) return MadeUpListing(request, reply);
  std::u16string query(reinterpret_cast<const char16_t*>(request.data), request.dataLength / 2);
  std::u16string folder = query.substr(0, query.find(u'*'));
  size_t& position = listPosition_[request.FileObject];
  if (request.Flags & SL_RESTART_SCAN) position = 0;
  std::vector<std::pair<std::u16string, const RemoteFile*>> children;
  for (auto& [path, file] : tree_)
    if (Parent(path) == folder && !file.deletePending)
      children.emplace_back(path.substr(folder.size() + 1), &file);
  uint32_t room = std::min<uint32_t>(request.Parameters[0], kMaxChunk);
  size_t offset = 0, last = 0;
  bool any = false;
  size_t index = position;
  for (; index < children.size(); ++index) {
    const auto& [name, file] = children[index];
    size_t length = 64 + name.size() * 2;
    size_t start = (offset + 7) & ~size_t{7};
    if (any && start + length > room) break;
    if (!any) start = 0;
    if (start + length > room) break;
    uint8_t* record = reply.data + start;
    if (any) PutU32(reply.data + last, static_cast<uint32_t>(start - last));
    for (int t = 0; t < 4; ++t) PutU64(record + 8 + t * 8, kSomeFiletime);
    PutU64(record + 40, file->data.size());
    PutU64(record + 48, file->data.size());
    PutU32(record + 56, file->isDirectory ? 0x10 : 0x80);
    PutU32(record + 60, static_cast<uint32_t>(name.size() * 2));
    memcpy(record + 64, name.data(), name.size() * 2);
    last = start;
    offset = start + length;
    any = true;
  }
  if (!any) {
    reply.status = position == 0 ? STATUS_NO_SUCH_FILE : STATUS_NO_MORE_FILES;
    return;
  }
  position = index;
  reply.information = static_cast<uint32_t>(offset);
}

void ScriptedAgent::Handle(const RequestRecord& request, ReplyRecord& reply) {
  if (request.MajorFunction == MJ_CREATE) return Create(request, reply);
  if (request.MajorFunction == MJ_DEVICE_CONTROL) {
    memcpy(reply.data, request.data, std::min<size_t>(request.dataLength, 1296));
    reply.information = 1296;
    return;
  }
  auto handle = handles_.find(request.FileObject);
  if (handle == handles_.end()) {
    reply.status = STATUS_INVALID_DEVICE_REQUEST;
    return;
  }
  std::u16string name = handle->second;
  auto it = tree_.find(name);
  RemoteFile* file = it == tree_.end() ? nullptr : &it->second;
  uint64_t offset = ByteOffsetOf(request);
  switch (request.MajorFunction) {
    case MJ_CLOSE:
      handles_.erase(handle);
      reply.value = file ? 1 : 0;
      if (file && --file->uses <= 0) {
        file->uses = 0;
        file->token = 0;
      }
      return;
    case MJ_CLEANUP: {
      reply.value = 1;
      if (file && file->deletePending) {
        for (auto child = tree_.begin(); child != tree_.end();) {
          if (child->first == name || child->first.rfind(name + u"\\", 0) == 0)
            child = tree_.erase(child);
          else
            ++child;
        }
        reply.value = 0;
        return;
      }
      bool written = written_[request.FileObject];
      written_.erase(request.FileObject);
      if (written && pendingCleanup) {
        reply.status = STATUS_PENDING;
        SendCleanupDone(request.requestId, pendingFinalStatus, pendingDelayMs);
      }
      return;
    }
    case MJ_READ: {
      uint32_t length = static_cast<uint32_t>(std::min<size_t>(GetU32(request.data), pieceSize_));
      uint8_t* into = request.sharedSlot != 0 ? SlotOf(request) : reply.data;
      if (into == nullptr) return (void)(reply.status = STATUS_INVALID_PARAMETER);
      size_t copied = 0;
      if (file && offset < file->data.size()) {
        copied = std::min<uint64_t>(length, file->data.size() - offset);
        memcpy(into, file->data.data() + offset, copied);
      }
      memset(into + copied, 0, length - copied);
      reply.information = length;
      return;
    }
    case MJ_WRITE: {
      if (!file) return (void)(reply.status = STATUS_INVALID_DEVICE_REQUEST);
      uint32_t length = request.Parameters[0];
      uint64_t valid = ValidLengthOf(request);
      if (valid != kNoValidLength && valid != 0 && offset > valid && file->data.size() < offset)
        file->data.resize(offset, 0);
      if (file->data.size() < offset + length) file->data.resize(offset + length);
      const uint8_t* from = request.sharedSlot != 0 ? SlotOf(request) : request.data;
      if (from == nullptr) return (void)(reply.status = STATUS_INVALID_PARAMETER);
      memcpy(file->data.data() + offset, from, length);
      uint64_t size = std::max<uint64_t>(FileSizeOf(request), offset + length);
      reply.value = static_cast<uint32_t>(size);
      PutU32(reply.data, static_cast<uint32_t>(size >> 32));
      reply.information = length;
      written_[request.FileObject] = true;
      return;
    }
    case MJ_QUERY_INFORMATION: {
      if (request.Parameters[1] != 34 || !file) return (void)(reply.status = STATUS_INVALID_PARAMETER);
      for (int t = 0; t < 4; ++t) PutU64(reply.data + t * 8, kSomeFiletime);
      PutU64(reply.data + 32, file->data.size());
      PutU64(reply.data + 40, file->data.size());
      PutU32(reply.data + 48, file->isDirectory ? 0x10 : 0x80);
      reply.information = 56;
      return;
    }
    case MJ_SET_INFORMATION: {
      uint32_t infoClass = request.Parameters[1];
      if (!file) return (void)(reply.status = STATUS_INVALID_DEVICE_REQUEST);
      if (infoClass == 13) {
        if (request.data[0]) file->deletePending = true;
      } else if (infoClass == 20) {
        uint64_t size;
        memcpy(&size, request.data, 8);
        file->data.resize(size);
        written_[request.FileObject] = true;
      } else if (infoClass == 10) {
        auto target = handles_.find(request.Parameters[2]);
        if (target == handles_.end()) return (void)(reply.status = STATUS_NOT_SAME_DEVICE);
        std::u16string newName = target->second + u"\\" +
            std::u16string(reinterpret_cast<const char16_t*>(request.data), request.dataLength / 2);
        if (tree_.count(newName) && !(request.Parameters[3] & 0xFF))
          return (void)(reply.status = STATUS_OBJECT_NAME_COLLISION);
        std::map<std::u16string, RemoteFile> moved;
        for (auto child = tree_.begin(); child != tree_.end();) {
          if (child->first == name || child->first.rfind(name + u"\\", 0) == 0) {
            moved[newName + child->first.substr(name.size())] = std::move(child->second);
            child = tree_.erase(child);
          } else {
            ++child;
          }
        }
        for (auto& [path, entry] : moved) tree_[path] = std::move(entry);
        for (auto& [object, path] : handles_)
          if (path == name) path = newName;
      } else if (infoClass != 4) {
        reply.status = STATUS_INVALID_PARAMETER;
      }
      return;
    }
    case MJ_DIRECTORY_CONTROL:
      return DirectoryQuery(request, reply);
    case MJ_COPY_RANGE: {
      CopyRangeRecord record{};
      memcpy(&record, request.data, std::min<size_t>(request.dataLength, sizeof record));
      auto source = handles_.find(record.sourceFileObject);
      if (!copiesRanges || !file || source == handles_.end() || !tree_.count(source->second))
        return (void)(reply.status = STATUS_NOT_SUPPORTED);
      file->data = tree_[source->second].data;
      CopyRangeAnswer answer{std::min<uint64_t>(file->data.size(), record.length), file->data.size()};
      memcpy(reply.data, &answer, sizeof answer);
      reply.information = sizeof answer;
      return;
    }
    case MJ_CONTENT_PUSH:
      reply.information = request.Parameters[0] == 0 ? request.dataLength : 0;
      return;
    case MJ_TOKEN_REPLACE:
    case MJ_FLUSH_BUFFERS:
    case MJ_LOCK_CONTROL:
      return;
    default:
      reply.status = STATUS_INVALID_DEVICE_REQUEST;
  }
}

}  // namespace hvm::test
