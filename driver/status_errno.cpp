#include "driver/status_errno.h"

#include <cerrno>

#include "agent/service/ntstatus.h"

namespace hvm::driver {

namespace {
struct StatusErrno {
  NTSTATUS status;
  int error;
};
constexpr StatusErrno kErrnoTable[] = {
    {STATUS_OBJECT_NAME_NOT_FOUND, ENOENT},
    {STATUS_NO_SUCH_FILE, ENOENT},
    {STATUS_FILE_DELETED, ENOENT},
    {STATUS_OBJECT_NAME_COLLISION, EEXIST},
    {STATUS_ACCESS_DENIED, EACCES},
    {STATUS_CANNOT_DELETE, EACCES},
    {STATUS_FILE_IS_A_DIRECTORY, EISDIR},
    {STATUS_NOT_A_DIRECTORY, ENOTDIR},
    {STATUS_DIRECTORY_NOT_EMPTY, ENOTEMPTY},
    {STATUS_NOT_SAME_DEVICE, EXDEV},
    {STATUS_INVALID_PARAMETER, EINVAL},
    {STATUS_OBJECT_NAME_INVALID, EINVAL},
    {STATUS_NAME_TOO_LONG, ENAMETOOLONG},
    {STATUS_INSUFFICIENT_RESOURCES, ENOMEM},
    {STATUS_NOT_SUPPORTED, EOPNOTSUPP},
    {STATUS_NOT_IMPLEMENTED, EOPNOTSUPP},
    {STATUS_INVALID_DEVICE_REQUEST, EOPNOTSUPP},
    {STATUS_CANCELLED, EIO},
    {STATUS_USER_MAPPED_FILE, EBUSY},
    {STATUS_OPLOCK_NOT_GRANTED, EOPNOTSUPP},
};

struct StatusWin32 {
  NTSTATUS status;
  DWORD error;
};
constexpr StatusWin32 kWin32Table[] = {
    {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
    {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
    {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
    {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
    {STATUS_NO_SUCH_FILE, ERROR_FILE_NOT_FOUND},
    {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {STATUS_INSUFFICIENT_RESOURCES, ERROR_NOT_ENOUGH_MEMORY},
    {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
    {STATUS_TOO_MANY_NAMES, 68},  // ERROR_TOO_MANY_NAMES
    {STATUS_CANCELLED, 995},      // ERROR_OPERATION_ABORTED
    {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
};
}  // namespace

int ErrnoFromStatus(NTSTATUS status) {
  if (NT_SUCCESS(status)) return 0;
  for (const auto& entry : kErrnoTable)
    if (entry.status == status) return entry.error;
  return EIO;  // network and data errors, a silent agent, anything unknown
}

DWORD Win32ErrorFromStatus(NTSTATUS status) {
  if (status == STATUS_SUCCESS) return ERROR_SUCCESS;
  for (const auto& entry : kWin32Table)
    if (entry.status == status) return entry.error;
  return status;
}

}  // namespace hvm::driver
