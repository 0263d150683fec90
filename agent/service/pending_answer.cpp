// IOCTL_CLEANUP_DONE: the final status of a close or cleanup answered pending.
#include "agent/service/pending_answer.h"

#include "agent/service/channel_records.h"
#include "common/moorlib.h"
#include "platform/control_device.h"

namespace hvm {

bool FinishPendingRequest(uint32_t connectionHandle, uint32_t requestId, NTSTATUS finalStatus) {
  HANDLE device = CreateFileW(kControlDeviceName, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    WideDbgPrint(u"Ioctl failed with code %d\n", static_cast<int>(GetLastError()));
    return false;
  }
  CleanupDoneRecord record{};
  record.marker = kRecordMarker;
  record.connectionHandle = connectionHandle;
  record.requestId = requestId;
  record.status = finalStatus;
  uint32_t answer = 0;
  DWORD returned = 0;
  WideDbgPrint(u"Ioctl PENDING irp %lx status=%lx\n", static_cast<unsigned long>(requestId),
               static_cast<unsigned long>(finalStatus));
  BOOL ok = DeviceIoControl(device, IOCTL_CLEANUP_DONE, &record, sizeof record, &answer,
                            sizeof answer, &returned, nullptr);
  if (!ok) {
    WideDbgPrint(u"Ioctl failed with code %d\n", static_cast<int>(GetLastError()));
  } else {
    WideDbgPrint(u"Ioctl PENDING EXIT 1 irp %lx\n", static_cast<unsigned long>(requestId));
  }
  CloseHandle(device);
  return ok != 0;
}

}  // namespace hvm
