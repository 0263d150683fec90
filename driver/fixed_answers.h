// The requests the driver answers by itself, without the agent: volume
// figures, the locally served information classes, file-system controls
// (oplocks refused), directory minor functions, the dummy and lock handlers,
// and the text of a directory query. Pure functions over the caller's buffer.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32.h"

namespace hvm::driver {

struct LocalAnswer {
  NTSTATUS status = 0;
  uint32_t information = 0;
  std::vector<uint8_t> buffer;  // the caller's buffer as filled (its full length)
};

inline constexpr uint32_t kVolumeSerial = 0x19720318;
inline constexpr uint32_t kBytesPerSector = 512;
inline constexpr uint32_t kSectorsPerUnit = 8;
inline constexpr uint64_t kDefaultTotalUnits = 1000000;
inline constexpr uint64_t kDefaultAvailableUnits = 500000;
inline constexpr uint32_t kMaxComponentLength = 254;

struct VolumeSize {
  uint64_t total;
  uint64_t available;
};
// A Connection's figures, or the defaults when it gives none.
VolumeSize VolumeSizeOf(uint32_t usedUnits, uint32_t freeUnits);

// Query volume information (classes 1, 3, 4, 5, 7) for a file's full name.
LocalAnswer QueryVolume(uint32_t infoClass, uint32_t bufferLength, std::u16string_view fileName,
                        uint32_t usedUnits, uint32_t freeUnits);
// The query-information classes answered locally; nothing when the agent answers.
std::optional<LocalAnswer> QueryInformationLocally(uint32_t infoClass, uint32_t bufferLength,
                                                   std::u16string_view fileName);
// File-system control: oplocks are refused, the mount query succeeds.
NTSTATUS FileSystemControl(uint8_t minor, uint32_t code);
// Directory control: only the query is served (change notification is not).
NTSTATUS DirectoryControlMinor(uint8_t minor);
// The dummy handler (EA, volume set, shutdown) and the lock handler.
LocalAnswer DummyRequest(uint8_t major, uint8_t minor);
LocalAnswer LockRequest();
// The directory, a star and the pattern; the directory alone for "*" or none.
std::u16string DirectoryQueryText(std::u16string_view directory, std::u16string_view pattern);

}  // namespace hvm::driver
