#include "driver/fixed_answers.h"

#include <algorithm>
#include <cstring>

#include "agent/service/ntstatus.h"
#include "driver/status_errno.h"
#include "driver/trace.h"

namespace hvm::driver {

namespace {
constexpr uint8_t IRP_MN_QUERY_DIRECTORY = 1;
constexpr uint8_t IRP_MN_USER_FS_REQUEST = 0;
constexpr uint32_t FSCTL_IS_VOLUME_MOUNTED = 0x90028;
constexpr uint32_t kOplockCodes[] = {0x90000, 0x90004, 0x90008, 0x9000C,
                                     0x90010, 0x90014, 0x90050, 0x9005C};
constexpr size_t kFullNamePrefixChars = 10;  // "\QUENLODE\"
constexpr char16_t kFileSystemName[] = u"TARN";
constexpr uint32_t kFileSystemNameBytes = 8;
constexpr uint32_t FILE_DEVICE_DISK = 7;
constexpr uint32_t FILE_REMOTE_DEVICE = 0x10;
constexpr uint32_t kCasePreserving = 3;  // case-sensitive search, case-preserved names

template <typename T>
void Put(std::vector<uint8_t>& buffer, size_t offset, T value) {
  if (offset + sizeof value <= buffer.size()) memcpy(buffer.data() + offset, &value, sizeof value);
}

void PutBytes(std::vector<uint8_t>& buffer, size_t offset, const void* bytes, size_t length) {
  if (offset < buffer.size()) memcpy(buffer.data() + offset, bytes, std::min(length, buffer.size() - offset));
}

// Where the connection name ends: the first backslash at or after character 10.
size_t LabelEnd(std::u16string_view name) {
  size_t end = name.size() > kFullNamePrefixChars ? name.find(u'\\', kFullNamePrefixChars) : name.size();
  return end == std::u16string_view::npos ? name.size() : end;
}

void FillSize(std::vector<uint8_t>& buffer, VolumeSize size, bool full) {
  Put<uint64_t>(buffer, 0, size.total);
  Put<uint64_t>(buffer, 8, size.available);
  size_t next = 16;
  if (full) Put<uint64_t>(buffer, next, size.available), next += 8;
  Put<uint32_t>(buffer, next, kSectorsPerUnit);
  Put<uint32_t>(buffer, next + 4, kBytesPerSector);
}
}  // namespace

VolumeSize VolumeSizeOf(uint32_t usedUnits, uint32_t freeUnits) {
  if (usedUnits == 0 && freeUnits == 0) return {kDefaultTotalUnits, kDefaultAvailableUnits};
  return {uint64_t{usedUnits} + freeUnits, freeUnits};
}

LocalAnswer QueryVolume(uint32_t infoClass, uint32_t bufferLength, std::u16string_view fileName,
                        uint32_t usedUnits, uint32_t freeUnits) {
  LocalAnswer answer;
  size_t labelEnd = LabelEnd(fileName);
  // A name shorter than the prefix has no label.
  size_t labelChars = labelEnd > kFullNamePrefixChars ? labelEnd - kFullNamePrefixChars : 0;
  int64_t variable = 0;
  uint32_t required = 0;
  switch (infoClass) {
    case 1: variable = static_cast<int64_t>(labelChars * 2); required = 22 + static_cast<uint32_t>(variable); break;
    case 3: required = 24; break;
    case 4: required = 8; break;
    case 5: variable = kFileSystemNameBytes; required = 22; break;
    case 7: required = 32; break;
    default:
      Trace("Invalid QVOL\n");
      answer.status = STATUS_INVALID_PARAMETER;
      return answer;
  }
  answer.buffer.assign(bufferLength, 0);
  answer.status = STATUS_SUCCESS;
  answer.information = required;
  if (bufferLength < required) {
    Trace("   len: %u max: %u\n", bufferLength, required);
    answer.status = STATUS_BUFFER_OVERFLOW;
    bool shrinks = infoClass == 1 || infoClass == 5;
    variable -= required - bufferLength;
    if (!shrinks || variable < 0) {
      answer.information = 0;
      return answer;
    }
    answer.information = bufferLength;
  }
  VolumeSize size = VolumeSizeOf(usedUnits, freeUnits);
  switch (infoClass) {
    case 1:
      Put<uint32_t>(answer.buffer, 8, kVolumeSerial);
      Put<uint32_t>(answer.buffer, 12, static_cast<uint32_t>(variable));
      PutBytes(answer.buffer, 18, fileName.data() + kFullNamePrefixChars, static_cast<size_t>(variable));
      break;
    case 3: FillSize(answer.buffer, size, false); break;
    case 4:
      Put<uint32_t>(answer.buffer, 0, FILE_DEVICE_DISK);
      Put<uint32_t>(answer.buffer, 4, FILE_REMOTE_DEVICE);
      break;
    case 5:
      Put<uint32_t>(answer.buffer, 0, kCasePreserving);
      Put<uint32_t>(answer.buffer, 4, kMaxComponentLength);
      Put<uint32_t>(answer.buffer, 8, static_cast<uint32_t>(variable));
      PutBytes(answer.buffer, 12, kFileSystemName, static_cast<size_t>(variable));
      break;
    case 7: FillSize(answer.buffer, size, true); break;
  }
  return answer;
}

std::optional<LocalAnswer> QueryInformationLocally(uint32_t infoClass, uint32_t bufferLength,
                                                   std::u16string_view fileName) {
  LocalAnswer answer;
  answer.buffer.assign(bufferLength, 0);
  if (fileName.empty()) {  // the control device
    answer.information = bufferLength;
    return answer;
  }
  size_t last = fileName.rfind(u'\\');
  std::u16string_view component = last == std::u16string_view::npos ? fileName : fileName.substr(last + 1);
  switch (infoClass) {
    case 6: case 14: case 22: case 28:
      Trace("Invalid query %u\n", infoClass);
      answer.status = STATUS_INVALID_PARAMETER;
      return answer;
    case 7:
      if (bufferLength < 4) {
        answer.status = STATUS_BUFFER_OVERFLOW;
        return answer;
      }
      answer.information = 4;
      return answer;
    case 9: {
      uint32_t needed = static_cast<uint32_t>(component.size() * 2 + 6);
      if (bufferLength < needed) {
        answer.status = STATUS_BUFFER_OVERFLOW;
        answer.information = bufferLength;
        return answer;
      }
      Put<uint32_t>(answer.buffer, 0, static_cast<uint32_t>(component.size() * 2));
      PutBytes(answer.buffer, 4, component.data(), component.size() * 2);
      answer.information = needed;
      return answer;
    }
    default:
      return std::nullopt;
  }
}

NTSTATUS FileSystemControl(uint8_t minor, uint32_t code) {
  if (minor != IRP_MN_USER_FS_REQUEST) {
    Trace("Invalid function FSCTL %x\n", minor);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  if (std::find(std::begin(kOplockCodes), std::end(kOplockCodes), code) != std::end(kOplockCodes)) {
    Trace("Fsctl %x", code);
    return STATUS_OPLOCK_NOT_GRANTED;
  }
  if (code == FSCTL_IS_VOLUME_MOUNTED) {
    Trace("FSCTL_IS_VOLUME_MOUNTED");
    return STATUS_SUCCESS;
  }
  Trace("Invalid FSCTL %x\n", code);
  return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS DirectoryControlMinor(uint8_t minor) {
  return minor == IRP_MN_QUERY_DIRECTORY ? STATUS_SUCCESS : STATUS_NOT_IMPLEMENTED;
}

LocalAnswer DummyRequest(uint8_t major, uint8_t minor) {
  Trace("DUMMY %i/%i\n", major, minor);
  return LocalAnswer{STATUS_SUCCESS, 0, {}};
}

LocalAnswer LockRequest() { return LocalAnswer{STATUS_SUCCESS, 0, {}}; }

std::u16string DirectoryQueryText(std::u16string_view directory, std::u16string_view pattern) {
  std::u16string text(directory);
  if (!pattern.empty() && pattern != u"*") {
    text += u'*';
    text += pattern;
  }
  return text;
}

}  // namespace hvm::driver
