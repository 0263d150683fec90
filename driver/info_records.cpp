#include "driver/info_records.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace hvm::driver {

namespace {
constexpr uint64_t kUnixEpochFiletime = 116444736000000000ull;

template <typename T>
T Read(const std::vector<uint8_t>& data, size_t offset) {
  T value;
  memcpy(&value, data.data() + offset, sizeof value);
  return value;
}

void Write64(std::vector<uint8_t>& data, size_t offset, uint64_t value) {
  memcpy(data.data() + offset, &value, sizeof value);
}

RemoteAttr AttrFrom(const std::vector<uint8_t>& data, size_t base, size_t endOfFile,
                    size_t attributes) {
  RemoteAttr attr;
  attr.creationTime = Read<uint64_t>(data, base);
  attr.lastAccessTime = Read<uint64_t>(data, base + 8);
  attr.lastWriteTime = Read<uint64_t>(data, base + 16);
  attr.changeTime = Read<uint64_t>(data, base + 24);
  attr.size = Read<uint64_t>(data, endOfFile);
  uint32_t bits = Read<uint32_t>(data, attributes);
  attr.isDirectory = (bits & FILE_ATTRIBUTE_DIRECTORY) != 0;
  attr.readOnly = (bits & FILE_ATTRIBUTE_READONLY) != 0;
  if (attr.isDirectory) attr.size = 0;
  return attr;
}
}  // namespace

timespec TimespecFromFiletime(uint64_t filetime) {
  timespec time{};
  if (filetime <= kUnixEpochFiletime) return time;
  uint64_t units = filetime - kUnixEpochFiletime;
  time.tv_sec = static_cast<time_t>(units / 10000000ull);
  time.tv_nsec = static_cast<long>((units % 10000000ull) * 100);
  return time;
}

off_t KernelFileSize(uint64_t size) {
  constexpr uint64_t kLargest = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
  return static_cast<off_t>(std::min(size, kLargest));
}

uint64_t FiletimeFromTimespec(const timespec& time) {
  if (time.tv_sec < 0) return kUnixEpochFiletime;
  return kUnixEpochFiletime + static_cast<uint64_t>(time.tv_sec) * 10000000ull +
         static_cast<uint64_t>(time.tv_nsec) / 100;
}

uint64_t FiletimeNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return FiletimeFromTimespec(now);
}

std::optional<RemoteAttr> DecodeNetworkOpen(const std::vector<uint8_t>& data, uint32_t information) {
  if (data.size() < kNetworkOpenSize || information < kNetworkOpenSize) return std::nullopt;
  return AttrFrom(data, 0, 40, 48);
}

std::vector<ListedEntry> DecodeDirectoryInfo(const std::vector<uint8_t>& data, uint32_t used) {
  std::vector<ListedEntry> entries;
  size_t end = std::min<size_t>(used, data.size());
  size_t offset = 0;
  while (offset + kDirectoryInfoFixed <= end) {
    uint32_t next = Read<uint32_t>(data, offset);
    uint32_t nameBytes = Read<uint32_t>(data, offset + 60);
    if (nameBytes % 2 != 0 || nameBytes > end - offset - kDirectoryInfoFixed) break;
    ListedEntry entry;
    entry.attr = AttrFrom(data, offset + 8, offset + 40, offset + 56);
    entry.name.resize(nameBytes / 2);
    memcpy(entry.name.data(), data.data() + offset + kDirectoryInfoFixed, nameBytes);
    entries.push_back(std::move(entry));
    if (next == 0 || next < kDirectoryInfoFixed) break;
    offset += next;
  }
  return entries;
}

std::vector<uint8_t> EncodeBasicInfo(uint64_t lastAccess, uint64_t lastWrite) {
  std::vector<uint8_t> data(kBasicInfoSize, 0);
  Write64(data, 8, lastAccess);
  Write64(data, 16, lastWrite);
  return data;
}

}  // namespace hvm::driver
