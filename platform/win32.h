// Win32-like names used across the system, realised on Linux.
// Only plain types and constants live here; the facilities are in their own files.
#pragma once
#include <cstdint>

namespace hvm {

using DWORD = uint32_t;
using ULONG = uint32_t;
using LONG = int32_t;
using WORD = uint16_t;
using BYTE = uint8_t;
using BOOL = int;
using NTSTATUS = uint32_t;  // kept unsigned: the values are compared as bit patterns
using WCHAR = char16_t;

// A handle is an opaque pointer-sized value; INVALID_HANDLE_VALUE is all ones.
using HANDLE = void*;
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~uintptr_t{0});

inline constexpr BOOL TRUE_ = 1;
inline constexpr BOOL FALSE_ = 0;

// Win32 error codes used by the platform layer and the common library.
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_INVALID_FUNCTION = 1;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_FILE_EXISTS = 80;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_BROKEN_PIPE = 109;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_ALREADY_EXISTS = 183;
inline constexpr DWORD ERROR_MORE_DATA = 234;
inline constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
inline constexpr DWORD ERROR_BADKEY = 1010;
inline constexpr DWORD ERROR_CANTOPEN = 1011;
inline constexpr DWORD ERROR_CANTREAD = 1012;
inline constexpr DWORD ERROR_CANTWRITE = 1013;
inline constexpr DWORD ERROR_REGISTRY_CORRUPT = 1015;
inline constexpr DWORD ERROR_SERVICE_DOES_NOT_EXIST = 1060;

// Message box style bits and answers (the Ui interface speaks these).
inline constexpr DWORD MB_OK = 0x0;
inline constexpr DWORD MB_OKCANCEL = 0x1;
inline constexpr DWORD MB_ABORTRETRYIGNORE = 0x2;
inline constexpr DWORD MB_YESNOCANCEL = 0x3;
inline constexpr DWORD MB_YESNO = 0x4;
inline constexpr DWORD MB_RETRYCANCEL = 0x5;
inline constexpr DWORD MB_ICONHAND = 0x10;
inline constexpr DWORD MB_ICONSTOP = MB_ICONHAND;
inline constexpr DWORD MB_ICONERROR = MB_ICONHAND;
inline constexpr DWORD MB_ICONQUESTION = 0x20;
inline constexpr DWORD MB_ICONEXCLAMATION = 0x30;
inline constexpr DWORD MB_ICONWARNING = MB_ICONEXCLAMATION;
inline constexpr DWORD MB_ICONASTERISK = 0x40;
inline constexpr DWORD MB_ICONINFORMATION = MB_ICONASTERISK;
inline constexpr DWORD MB_DEFBUTTON2 = 0x100;
inline constexpr DWORD MB_DEFBUTTON3 = 0x200;
inline constexpr DWORD MB_SYSTEMMODAL = 0x1000;
inline constexpr DWORD MB_TASKMODAL = 0x2000;
inline constexpr DWORD MB_SETFOREGROUND = 0x10000;
inline constexpr DWORD MB_DEFAULT_DESKTOP_ONLY = 0x20000;
inline constexpr DWORD MB_TOPMOST = 0x40000;

inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDABORT = 3;
inline constexpr int IDRETRY = 4;
inline constexpr int IDIGNORE = 5;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

}  // namespace hvm
