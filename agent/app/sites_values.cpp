// Typed registry values for the site code.
#include "agent/app/sites_values.h"

#include <cstring>
#include <vector>

#include "platform/wide_text.h"

namespace hvm {

LONG QueryDwordValue(HKEY key, const char16_t* name, DWORD& value) {
  DWORD type = 0;
  DWORD data = 0;
  DWORD size = sizeof(data);
  LONG error = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
  if (error == ERROR_MORE_DATA) return ERROR_FILE_NOT_FOUND;
  if (error != ERROR_SUCCESS) return error;
  if (type != REG_DWORD || size != sizeof(data)) return ERROR_FILE_NOT_FOUND;
  value = data;
  return ERROR_SUCCESS;
}

LONG QueryWideValue(HKEY key, const char16_t* name, std::u16string& text) {
  DWORD type = 0;
  DWORD size = 0;
  LONG error = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
  if (error != ERROR_SUCCESS) return error;
  if (type != REG_SZ) return ERROR_FILE_NOT_FOUND;
  std::vector<char16_t> data(size / sizeof(char16_t) + 1, u'\0');
  error = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
  if (error != ERROR_SUCCESS) return error;
  text = std::u16string(WideField(data.data(), size / sizeof(char16_t)));
  return ERROR_SUCCESS;
}

LONG QueryNarrowValue(HKEY key, const char16_t* name, std::string& text) {
  std::u16string wide;
  LONG error = QueryWideValue(key, name, wide);
  if (error == ERROR_SUCCESS) text = Utf16ToUtf8(wide);
  return error;
}

bool ValueExists(HKEY key, const char16_t* name) {
  DWORD size = 0;
  return RegQueryValueExW(key, name, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS;
}

LONG SetDwordValue(HKEY key, const char16_t* name, DWORD value) {
  return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                        sizeof(value));
}

LONG SetWideValue(HKEY key, const char16_t* name, std::u16string_view text) {
  std::u16string terminated(text);
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(terminated.c_str()),
                        static_cast<DWORD>((terminated.size() + 1) * sizeof(char16_t)));
}

LONG SetNarrowValue(HKEY key, const char16_t* name, std::string_view text) {
  return SetWideValue(key, name, Utf8ToUtf16(text));
}

std::string_view CutNarrow(std::string_view text, size_t bytes) {
  if (text.size() <= bytes) return text;
  size_t end = bytes;
  // Step back over continuation bytes so that a character is kept whole or dropped.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

std::string_view NarrowField(const char* field, size_t chars) {
  size_t length = 0;
  while (length < chars && field[length] != '\0') ++length;
  return std::string_view(field, length);
}

void CopyNarrow(char* field, size_t chars, std::string_view text) {
  std::memset(field, 0, chars);
  if (chars == 0) return;
  std::string_view kept = CutNarrow(text, chars - 1);
  std::memcpy(field, kept.data(), kept.size());
}

}  // namespace hvm
