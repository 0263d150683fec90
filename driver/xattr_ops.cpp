// Extended attributes: the drive's three state columns (lock, version,
// read-only) as "user.halvenmoor.lock", "user.halvenmoor.version" and
// "user.halvenmoor.readonly", asked of the agent with the state query. Every
// other name is answered at once, without the agent: `ls -l` asks two per
// entry, and a name outside the "user." space answers "not supported", which
// ls remembers for the whole mount.
#include <cerrno>
#include <cstring>
#include <mutex>

#include "agent/service/channel_records.h"
#include "driver/forwarding.h"
#include "driver/fuse_glue.h"
#include "driver/requests.h"
#include "driver/trace.h"
#include "platform/wide_text.h"

namespace hvm::driver {

namespace {

constexpr uint32_t kStateQueryCode = 0x1420C4;
constexpr uint32_t kNoEntryResult = 0xFFFFFFFF;
constexpr char kUserSpace[] = "user.";
// The names in the order of the agent's state characters.
constexpr const char* kStateNames[] = {"user.halvenmoor.lock", "user.halvenmoor.version",
                                       "user.halvenmoor.readonly"};
constexpr char kStateNameList[] = "user.halvenmoor.lock\0user.halvenmoor.version\0user.halvenmoor.readonly";

int StateIndexOf(const char* name) {
  for (int i = 0; i < 3; ++i)
    if (std::strcmp(name, kStateNames[i]) == 0) return i;
  return -1;
}

bool CarriesState(const Node& node) {
  return node.kind == NodeKind::Remote || node.kind == NodeKind::ConnectionRoot;
}

void ReplyValue(fuse_req_t req, size_t size, const std::string& value) {
  if (size == 0) return (void)fuse_reply_xattr(req, value.size());
  if (size < value.size()) return (void)fuse_reply_err(req, ERANGE);
  fuse_reply_buf(req, value.data(), value.size());
}

// The state query of the agent, as a shell tool would send it.
InternalRequest StateQueryRecord(const Node& node) {
  InternalRequest record{};
  record.marker = kRecordMarker;
  CopyWide(record.sid, kSidChars, SidOfUid(node.uid));
  const std::u16string& name = node.connection->name;
  CopyWide(record.name, kConnectionNameChars, name);
  size_t prefix = std::char_traits<char16_t>::length(kFullNamePrefix) + name.size();
  std::u16string inside = node.fullName.size() > prefix ? node.fullName.substr(prefix) : u"\\";
  char16_t letter = node.connection->driveLetter ? node.connection->driveLetter : u'X';
  CopyWide(record.target, kPathChars, std::u16string{letter, u':'} + inside);
  return record;
}

}  // namespace

void OpGetxattr(fuse_req_t req, fuse_ino_t ino, const char* name, size_t size) {
  int index = StateIndexOf(name);
  if (index < 0) {
    fuse_reply_err(req, std::strncmp(name, kUserSpace, sizeof kUserSpace - 1) == 0 ? ENODATA : EOPNOTSUPP);
    return;
  }
  auto forward = std::make_shared<Forward>();
  Connection* conn = nullptr;
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    Node* node = Names().Get(ino);
    if (node == nullptr || !CarriesState(*node) || node->connection == nullptr) {
      fuse_reply_err(req, ENODATA);
      return;
    }
    if (node->uid != CallerUid(req) && CallerUid(req) != 0) {
      fuse_reply_err(req, EACCES);
      return;
    }
    conn = node->connection;
    InternalRequest record = StateQueryRecord(*node);
    forward->data.assign(reinterpret_cast<const uint8_t*>(&record),
                         reinterpret_cast<const uint8_t*>(&record) + sizeof record);
  }
  forward->major = MJ_DEVICE_CONTROL;
  forward->words[2] = kStateQueryCode;
  forward->outputLength = sizeof(InternalRequest);
  forward->operation = BeginOperation(req);
  forward->done = [req, index, size](ForwardResult& result) {
    if (result.interrupted) return (void)fuse_reply_err(req, EINTR);
    if (result.channelFailure) return (void)fuse_reply_err(req, EIO);
    InternalRequest answer{};
    if (result.status != STATUS_SUCCESS || result.data.size() < sizeof answer)
      return (void)fuse_reply_err(req, ENODATA);
    std::memcpy(&answer, result.data.data(), sizeof answer);
    if (answer.result == kNoEntryResult || answer.result != 0) return (void)fuse_reply_err(req, ENODATA);
    char16_t column = answer.target[index];
    // A blank column is an empty value; a set one its letter.
    ReplyValue(req, size, column == u' ' || column == 0 ? std::string() : Utf16ToUtf8(std::u16string(1, column)));
  };
  Send(conn, forward);
}

void OpListxattr(fuse_req_t req, fuse_ino_t ino, size_t size) {
  bool carries;
  {
    std::lock_guard<std::mutex> guard(DriverMutex());
    Node* node = Names().Get(ino);
    carries = node != nullptr && CarriesState(*node) && node->connection != nullptr;
  }
  ReplyValue(req, size, carries ? std::string(kStateNameList, sizeof kStateNameList) : std::string());
}

}  // namespace hvm::driver
