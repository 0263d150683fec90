// Query information (operation 5): the file information classes in their
// Windows layouts.
#include <algorithm>
#include <cstring>

#include "agent/service/byte_layout.h"
#include "agent/service/entry_report.h"
#include "agent/service/operations.h"
#include "common/moorlib.h"

namespace hvm {
namespace {

enum InfoClass : uint32_t {
  FileBasicInformation = 4,
  FileStandardInformation = 5,
  FileEaInformation = 7,
  FileNameInformation = 9,
  FileAllInformation = 18,
  FileNetworkOpenInformation = 34,
  FileAttributeTagInformation = 35,
};

constexpr uint32_t kAllAccessFlags = 0x10000000;
constexpr size_t kQueryScratch = 1024;  // the largest class with a 259-character name fits

// FILE_BASIC_INFORMATION, 40 bytes.
void PutBasic(uint8_t* out, FileEntry& e) {
  Put64(out, 0, e.creationTime);
  Put64(out, 8, 0);
  Put64(out, 16, ReportedLastWriteTime(e));
  Put64(out, 24, e.changeTime);
  Put32(out, 32, ReportedAttributes(e, false));
}

// FILE_STANDARD_INFORMATION, 24 bytes.
void PutStandard(uint8_t* out, const FileEntry& e) {
  Put64(out, 0, ReportedSize(e));
  Put64(out, 8, ReportedSize(e));
  Put32(out, 16, 1);
  Put8(out, 20, e.IsDeletePending() ? 1 : 0);
  Put8(out, 21, e.IsDirectory() ? 1 : 0);
}

// Fills the class into out; its size, or 0 for a class not answered.
size_t FillClass(uint32_t infoClass, uint8_t* out, FileEntry& e, std::u16string_view name) {
  uint32_t nameBytes = static_cast<uint32_t>(name.size() * 2);
  switch (infoClass) {
    case FileBasicInformation:
      PutBasic(out, e);
      return 40;
    case FileStandardInformation:
      PutStandard(out, e);
      return 24;
    case FileEaInformation:
      return 4;
    case FileNameInformation:
      Put32(out, 0, nameBytes);
      PutWide(out, 4, name);
      return nameBytes + 6;
    case FileAllInformation:
      PutBasic(out, e);
      PutStandard(out + 40, e);
      Put32(out, 76, kAllAccessFlags);
      Put32(out, 96, nameBytes);
      PutWide(out, 100, name);
      return nameBytes + 102;
    case FileNetworkOpenInformation:
      Put64(out, 0, e.creationTime);
      Put64(out, 8, 0);
      Put64(out, 16, ReportedLastWriteTime(e));
      Put64(out, 24, e.changeTime);
      Put64(out, 32, ReportedSize(e));
      Put64(out, 40, ReportedSize(e));
      Put32(out, 48, ReportedAttributes(e, false));
      return 56;
    case FileAttributeTagInformation:
      Put32(out, 0, ReportedAttributes(e, false));
      return 8;
    default:
      return 0;
  }
}

}  // namespace

void QueryInformationOperation(RequestContext& ctx) {
  uint32_t outLength = std::min<uint32_t>(ctx.Word(0), kMaxChunk);
  uint32_t infoClass = ctx.Word(1);
  std::memset(ctx.reply.data, 0, outLength);
  std::u16string_view path = ctx.entry->Path();
  size_t slash = path.rfind(u'\\');
  if (slash == std::u16string_view::npos) {
    ctx.Answer(STATUS_INVALID_PARAMETER);
    return;
  }
  uint8_t scratch[kQueryScratch] = {};
  size_t size = FillClass(infoClass, scratch, *ctx.entry, path.substr(slash + 1));
  if (size == 0) {
    WideDbgPrint(u"Invalid query %d\n", static_cast<int>(infoClass));
    ctx.Answer(STATUS_INVALID_PARAMETER);
    return;
  }
  if (outLength < size) {
    WideDbgPrint(u"**** len: %d maxlen: %d\n", static_cast<int>(size), static_cast<int>(outLength));
    std::memcpy(ctx.reply.data, scratch, outLength);
    ctx.Answer(STATUS_BUFFER_OVERFLOW, outLength);
    return;
  }
  std::memcpy(ctx.reply.data, scratch, size);
  ctx.Answer(STATUS_SUCCESS, static_cast<uint32_t>(size));
}

}  // namespace hvm
