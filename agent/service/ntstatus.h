// NTSTATUS values that cross the channel or travel between the request
// service and the protocol clients, and the trace name tables.
#pragma once
#include "platform/win32.h"

namespace hvm {

inline constexpr NTSTATUS STATUS_SUCCESS = 0x00000000;
inline constexpr NTSTATUS STATUS_PENDING = 0x00000103;
inline constexpr NTSTATUS STATUS_OBJECT_NAME_EXISTS = 0x40000000;
inline constexpr NTSTATUS STATUS_BUFFER_OVERFLOW = 0x80000005;
inline constexpr NTSTATUS STATUS_NO_MORE_FILES = 0x80000006;
inline constexpr NTSTATUS STATUS_UNSUCCESSFUL = 0xC0000001;
inline constexpr NTSTATUS STATUS_NOT_IMPLEMENTED = 0xC0000002;
inline constexpr NTSTATUS STATUS_INVALID_INFO_CLASS = 0xC0000003;
inline constexpr NTSTATUS STATUS_INVALID_PARAMETER = 0xC000000D;
inline constexpr NTSTATUS STATUS_NO_SUCH_FILE = 0xC000000F;
inline constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = 0xC0000010;
inline constexpr NTSTATUS STATUS_END_OF_FILE = 0xC0000011;
inline constexpr NTSTATUS STATUS_ACCESS_DENIED = 0xC0000022;
inline constexpr NTSTATUS STATUS_OBJECT_NAME_INVALID = 0xC0000033;
inline constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = 0xC0000034;
inline constexpr NTSTATUS STATUS_OBJECT_NAME_COLLISION = 0xC0000035;
inline constexpr NTSTATUS STATUS_FILE_LOCK_CONFLICT = 0xC0000054;
inline constexpr NTSTATUS STATUS_DATA_ERROR = 0xC000003E;
inline constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = 0xC000009A;
inline constexpr NTSTATUS STATUS_FILE_IS_A_DIRECTORY = 0xC00000BA;
inline constexpr NTSTATUS STATUS_NOT_SUPPORTED = 0xC00000BB;
inline constexpr NTSTATUS STATUS_UNEXPECTED_NETWORK_ERROR = 0xC00000C4;
inline constexpr NTSTATUS STATUS_NOT_SAME_DEVICE = 0xC00000D4;
inline constexpr NTSTATUS STATUS_DIRECTORY_NOT_EMPTY = 0xC0000101;
inline constexpr NTSTATUS STATUS_FILE_CORRUPT_ERROR = 0xC0000102;
inline constexpr NTSTATUS STATUS_NOT_A_DIRECTORY = 0xC0000103;
inline constexpr NTSTATUS STATUS_NAME_TOO_LONG = 0xC0000106;
inline constexpr NTSTATUS STATUS_CANCELLED = 0xC0000120;
inline constexpr NTSTATUS STATUS_CANNOT_DELETE = 0xC0000121;
inline constexpr NTSTATUS STATUS_FILE_DELETED = 0xC0000123;
// The driver's answer when all ten user slots are taken by other users.
inline constexpr NTSTATUS STATUS_NO_FREE_USER_SLOT = 0xFFFFFFFE;

inline constexpr bool NT_SUCCESS(NTSTATUS s) { return static_cast<int32_t>(s) >= 0; }

// Symbolic name of a status for traces; "NTSTATSTR_UNKNOWN_STATUS" otherwise.
const char16_t* NtStatusName(NTSTATUS status);
// Short name of an operation code for traces; "MJ_UNKNOWN" otherwise.
const char16_t* MajorFunctionName(uint32_t major);

}  // namespace hvm
