// The Windows information layouts the agent fills, decoded with bounds
// checks, and the FILETIME <-> timespec and size conversions at the FUSE boundary.
#pragma once
#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "driver/namespace.h"

namespace hvm::driver {

inline constexpr uint32_t FileBasicInformation = 4;
inline constexpr uint32_t FileRenameInformation = 10;
inline constexpr uint32_t FileDispositionInformation = 13;
inline constexpr uint32_t FileEndOfFileInformation = 20;
inline constexpr uint32_t FileNetworkOpenInformation = 34;
inline constexpr uint32_t FileDirectoryInformation = 1;
inline constexpr uint32_t kNetworkOpenSize = 56;
inline constexpr uint32_t kBasicInfoSize = 40;
inline constexpr uint32_t kDirectoryInfoFixed = 64;
inline constexpr uint32_t FILE_ATTRIBUTE_READONLY = 0x1;
inline constexpr uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;

timespec TimespecFromFiletime(uint64_t filetime);
// The size the kernel is given for a file: at most the largest file offset.
// The kernel takes a larger one (from a hostile or broken server) for a
// broken inode and fails every call on the file with EIO.
off_t KernelFileSize(uint64_t size);
uint64_t FiletimeFromTimespec(const timespec& time);
uint64_t FiletimeNow();

// FILE_NETWORK_OPEN_INFORMATION; nothing when the buffer is too short.
std::optional<RemoteAttr> DecodeNetworkOpen(const std::vector<uint8_t>& data, uint32_t information);

struct ListedEntry {
  std::u16string name;
  RemoteAttr attr;
};
// A chain of FILE_DIRECTORY_INFORMATION records in the first `used` bytes.
// Records that overrun the buffer end the walk; it never reads outside it.
std::vector<ListedEntry> DecodeDirectoryInfo(const std::vector<uint8_t>& data, uint32_t used);

// FILE_BASIC_INFORMATION with the given times (0 = leave unchanged).
std::vector<uint8_t> EncodeBasicInfo(uint64_t lastAccess, uint64_t lastWrite);

}  // namespace hvm::driver
