// Directory query (operation 12): the folder's children from the entry
// cache, filtered by the handle's pattern, in the layout of the class asked.
#include <algorithm>
#include <cstring>

#include "agent/service/byte_layout.h"
#include "agent/service/entry_report.h"
#include "agent/service/name_pattern.h"
#include "agent/service/operations.h"
#include "common/moorlib.h"

namespace hvm {
namespace {

struct ClassLayout {
  uint32_t infoClass;
  size_t fixedPart;
  size_t nameAt;
};

constexpr ClassLayout kLayouts[] = {
    {1, 72, 64},    // FILE_DIRECTORY_INFORMATION
    {2, 72, 68},    // FILE_FULL_DIR_INFORMATION
    {3, 96, 94},    // FILE_BOTH_DIR_INFORMATION
    {12, 16, 12},   // FILE_NAMES_INFORMATION
    {37, 112, 104}, // FILE_ID_BOTH_DIR_INFORMATION
    {38, 88, 80},   // FILE_ID_FULL_DIR_INFORMATION
};

const ClassLayout* LayoutOf(uint32_t infoClass) {
  for (const ClassLayout& l : kLayouts) {
    if (l.infoClass == infoClass) return &l;
  }
  return nullptr;
}

size_t EntryLength(const ClassLayout& l, std::u16string_view name) {
  return l.fixedPart + name.size() * 2;
}

void FillEntry(uint8_t* out, const ClassLayout& l, FileEntry& e, std::u16string_view name) {
  uint32_t nameBytes = static_cast<uint32_t>(name.size() * 2);
  if (l.infoClass == 12) {
    Put32(out, 8, nameBytes);
  } else {
    Put64(out, 8, e.creationTime);
    Put64(out, 16, 0);
    Put64(out, 24, ReportedLastWriteTime(e));
    Put64(out, 32, e.changeTime);
    Put64(out, 40, ReportedSize(e));
    Put64(out, 48, ReportedSize(e));
    Put32(out, 56, ReportedAttributes(e, true));
    Put32(out, 60, nameBytes);
  }
  PutWide(out, l.nameAt, name);
}

// The text after the "*" that follows the folder's path in the query's data,
// or false when there is none. A "*" inside the folder's own name (possible
// on this platform) is not taken for the separator.
bool PatternOf(const RequestContext& ctx, std::u16string& pattern) {
  size_t chars = ctx.DataLength() / 2;
  std::u16string text(chars, u'\0');
  std::memcpy(text.data(), ctx.request.data, chars * 2);
  std::u16string_view dirPath = ctx.entry->Path();
  size_t from = 0;
  if (text.size() >= dirPath.size() && ComparePaths(std::u16string_view(text).substr(0, dirPath.size()), dirPath) == 0)
    from = dirPath.size();
  size_t star = text.find(u'*', from);
  if (star == std::u16string::npos) return false;
  pattern = text.substr(star + 1);
  return true;
}

bool Wanted(const FileEntry& e, const FileEntry& directory, const std::u16string& pattern) {
  if (e.parent != &directory || e.IsDeletePending()) return false;
  std::u16string_view name = e.Name();
  if (e.Path().find(u'\\') == std::u16string_view::npos) return false;
  return pattern.empty() || NameMatchesPattern(name, pattern);
}

// Where the walk starts: after the last entry returned, else below the folder.
EntryCache::Iterator StartOfWalk(const RequestContext& ctx, const FileEntry& directory) {
  const EntryCache& cache = ctx.connection.entries;
  if (ctx.handle->position == nullptr) return cache.LowerBound(directory.Path());
  auto it = cache.LowerBound(ctx.handle->positionPath);
  if (it != cache.end() && ComparePaths((*it)->Path(), ctx.handle->positionPath) == 0) ++it;
  return it;
}

void RememberPosition(OpenHandle& handle, FileEntry* e) {
  handle.position = e;
  handle.positionPath = e != nullptr ? std::u16string(e->Path()) : std::u16string();
}

}  // namespace

void DirectoryQueryOperation(RequestContext& ctx) {
  FileEntry& directory = *ctx.entry;
  OpenHandle& handle = *ctx.handle;
  if (ctx.request.Flags & SL_RESTART_SCAN) RememberPosition(handle, nullptr);
  std::u16string pattern;
  if (PatternOf(ctx, pattern)) {
    if (!NormalisePattern(pattern)) {
      ctx.Answer(STATUS_INVALID_PARAMETER);
      return;
    }
    if (handle.pattern.empty()) handle.pattern = pattern;
  }
  const ClassLayout* layout = LayoutOf(ctx.Word(2));
  if (layout == nullptr) {
    WideDbgPrint(u"Invalid class DIR/QUERY %d\n", static_cast<int>(ctx.Word(2)));
    ctx.Answer(STATUS_INVALID_INFO_CLASS);
    return;
  }
  bool fromStart = handle.position == nullptr;
  // A pass from the start takes the folder's listing while it is within the
  // site's refresh period (the one its open just made, or an earlier one),
  // and lists the folder again once it expired.
  if (fromStart && ListingExpired(ctx.connection, directory, NowFileTime())) {
    RefreshDirectory(ctx.connection, directory);
  } else if (fromStart) {
    ctx.connection.lastListed = &directory;
  } else {
    WideDbgPrint(u"Current: %ws\n", handle.positionPath.c_str());
  }
  size_t outLength = std::min<size_t>(ctx.Word(0), kMaxChunk);
  uint8_t* out = ctx.reply.data;
  std::memset(out, 0, outLength);
  bool single = (ctx.request.Flags & SL_RETURN_SINGLE_ENTRY) != 0;
  std::u16string dirPath(directory.Path());
  size_t offset = 0, lastOffset = 0, placed = 0;
  const EntryCache& cache = ctx.connection.entries;
  for (auto it = StartOfWalk(ctx, directory); it != cache.end() && PathIsAtOrBelow((*it)->Path(), dirPath); ++it) {
    FileEntry* e = *it;
    if (!Wanted(*e, directory, handle.pattern)) continue;
    std::u16string_view name = e->Name();
    size_t length = EntryLength(*layout, name);
    if (single) {
      if (outLength < length) {
        ctx.Answer(STATUS_BUFFER_OVERFLOW, static_cast<uint32_t>(layout->fixedPart));
        return;
      }
      WideDbgPrint(u"single: %ws\n", std::u16string(name).c_str());
      FillEntry(out, *layout, *e, name);
      RememberPosition(handle, e);
      handle.listed = 1;
      ctx.Answer(STATUS_SUCCESS, static_cast<uint32_t>(length));
      return;
    }
    size_t at = placed == 0 ? 0 : (offset + 7) / 8 * 8;
    if (at + length > outLength) {
      if (placed == 0) {
        ctx.Answer(STATUS_BUFFER_OVERFLOW, 0);
        return;
      }
      break;
    }
    if (placed > 0) Put32(out, lastOffset, static_cast<uint32_t>(at - lastOffset));
    FillEntry(out + at, *layout, *e, name);
    lastOffset = at;
    offset = at + length;
    ++placed;
    RememberPosition(handle, e);
  }
  if (placed > 0) {
    handle.listed = 1;
    ctx.Answer(STATUS_SUCCESS, static_cast<uint32_t>(offset));
    return;
  }
  if (outLength >= 4) Put32(out, 0, 0);
  ctx.Answer(fromStart && !handle.listed ? STATUS_NO_SUCH_FILE : STATUS_NO_MORE_FILES, 0);
  handle.listed = 0;
  RememberPosition(handle, nullptr);
}

}  // namespace hvm
