// The registry: HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE kept in ".reg" text
// files, behind the Win32 calls the system makes.
//
// Files: the user hive is $HALVENMOOR_USER_REG, else
// $XDG_CONFIG_HOME/halvenmoor/user.reg (else ~/.config/halvenmoor/user.reg),
// mode 0600; the machine hive is $HALVENMOOR_MACHINE_REG, else
// /etc/halvenmoor/system.reg, mode 0644. The layout is in registry_file.h.
//
// The W calls take UTF-16 names and data as Win32 does. The A calls take
// UTF-8 names; their string data (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) is
// UTF-8 and is converted, every other type is passed as it stands.
//
// Every change is written at once: under an advisory lock on "<file>.lock"
// the file is read again, changed and replaced atomically, so processes and
// threads never lose each other's values. Results are Win32 error codes:
// ERROR_FILE_NOT_FOUND for a missing key or value, ERROR_MORE_DATA for a short
// buffer (the size then holds what is needed), ERROR_KEY_DELETED for a handle
// whose key another call removed, ERROR_REGISTRY_CORRUPT for a damaged file
// (RegistryProblem() then names the file and the line; nothing is written to
// that file until it is repaired), ERROR_ACCESS_DENIED when the file may not
// be read or written.
#pragma once
#include <cstdint>
#include <string>

#include "platform/registry_file.h"
#include "platform/registry_hive.h"
#include "platform/win32.h"

namespace hvm {

struct HKEY__;
using HKEY = HKEY__*;
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(uintptr_t{0x80000001});
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(uintptr_t{0x80000002});

inline constexpr DWORD ERROR_BAD_PATHNAME = 161;
inline constexpr DWORD ERROR_KEY_DELETED = 1018;

inline constexpr DWORD KEY_QUERY_VALUE = 0x0001;
inline constexpr DWORD KEY_SET_VALUE = 0x0002;
inline constexpr DWORD KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr DWORD KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr DWORD KEY_READ = 0x20019;
inline constexpr DWORD KEY_WRITE = 0x20006;
inline constexpr DWORD KEY_ALL_ACCESS = 0xF003F;
inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// The files behind the two roots, as the environment says now.
std::string UserRegistryPath();
std::string MachineRegistryPath();

// Opens subKey below key, creating it and its missing parents. disposition
// (may be null) tells REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY.
// The class, options, access and security arguments are accepted and ignored.
LONG RegCreateKeyExW(HKEY key, const char16_t* subKey, DWORD reserved, char16_t* keyClass,
                     DWORD options, DWORD access, void* security, HKEY* result,
                     DWORD* disposition);
LONG RegOpenKeyExW(HKEY key, const char16_t* subKey, DWORD options, DWORD access, HKEY* result);
// name null or empty: the default value. data null: only type and size are
// returned. A short buffer gives ERROR_MORE_DATA and the needed size.
LONG RegQueryValueExW(HKEY key, const char16_t* name, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* size);
// Stores exactly size bytes of data (for REG_SZ include the terminating NUL).
LONG RegSetValueExW(HKEY key, const char16_t* name, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD size);
LONG RegDeleteValueW(HKEY key, const char16_t* name);
// Removes a key without subkeys (ERROR_ACCESS_DENIED when it has some).
LONG RegDeleteKeyW(HKEY key, const char16_t* subKey);
// Removes subKey (or key itself when subKey is null) with everything below it.
LONG RegDeleteTreeW(HKEY key, const char16_t* subKey);
// Subkeys in case-insensitive name order. nameChars: in, the buffer's size in
// characters; out, the name's length without the terminator (on
// ERROR_MORE_DATA, the size needed with it). ERROR_NO_MORE_ITEMS past the end.
LONG RegEnumKeyExW(HKEY key, DWORD index, char16_t* name, DWORD* nameChars, DWORD* reserved,
                   char16_t* keyClass, DWORD* classChars, void* lastWriteTime);
// Values in the order they were first set; sizes as for RegEnumKeyExW and RegQueryValueExW.
LONG RegEnumValueW(HKEY key, DWORD index, char16_t* name, DWORD* nameChars, DWORD* reserved,
                   DWORD* type, BYTE* data, DWORD* size);
LONG RegCloseKey(HKEY key);

LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD reserved, char* keyClass, DWORD options,
                     DWORD access, void* security, HKEY* result, DWORD* disposition);
LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, DWORD access, HKEY* result);
LONG RegQueryValueExA(HKEY key, const char* name, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* size);
LONG RegSetValueExA(HKEY key, const char* name, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD size);
LONG RegDeleteValueA(HKEY key, const char* name);
LONG RegDeleteKeyA(HKEY key, const char* subKey);
LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameChars, DWORD* reserved,
                   char* keyClass, DWORD* classChars, void* lastWriteTime);

}  // namespace hvm
