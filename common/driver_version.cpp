// The driver's interface version through its control device.
#include "agent/service/channel_records.h"
#include "common/moorlib.h"
#include "platform/control_device.h"

namespace hvm {

DWORD GetDriverVersion(const char16_t* devicePath) {
  HANDLE device = CreateFileW(devicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    WideDbgPrint(u"CreateFile QLODE failed with code %d\n", static_cast<int>(GetLastError()));
    return kNoDriver;
  }
  DWORD input = 0;
  DWORD version = 0;
  DWORD returned = 0;
  if (!DeviceIoControl(device, IOCTL_VERSION, &input, sizeof input, &version, sizeof version,
                       &returned, nullptr)) {
    WideDbgPrint(u"Ioctl failed with code %ld\n", static_cast<long>(GetLastError()));
    version = 0;
  } else if (returned < sizeof version) {
    version = 0;  // a short answer carries no version
  }
  CloseHandle(device);
  return version;
}

DWORD GetDriverVersion() { return GetDriverVersion(kControlDeviceName); }

}  // namespace hvm
