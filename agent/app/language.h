// The agent's language and its language library. The library is chosen once
// at start-up, before the first window, and stays loaded until the agent ends.
#pragma once
#include <memory>
#include <string>

#include "platform/win32.h"

namespace hvm {

// Primary language numbers that have a library of their own.
inline constexpr DWORD LANG_GERMAN = 7;
inline constexpr DWORD LANG_ENGLISH = 9;
inline constexpr DWORD LANG_FRENCH = 12;
inline constexpr DWORD LANG_HUNGARIAN = 14;
inline constexpr DWORD LANG_ITALIAN = 16;
inline constexpr DWORD LANG_DUTCH = 19;

// The file name of the library for a primary language ("libmoorlangde.so"),
// or an empty string when that language is served by the built-in English.
std::string LanguageLibraryName(DWORD language);

// The loaded library of one language. The record exists even when loading
// failed; then it has no handle and finds nothing.
class LanguageModule {
 public:
  // Looks in the program's own library folder (../lib beside the binary,
  // then the folder holding this code), then by plain name. Null for a
  // language without a library.
  static std::unique_ptr<LanguageModule> Load(DWORD language);
  // Loads one file by path, for callers that know where the library is.
  static std::unique_ptr<LanguageModule> LoadFile(DWORD language, const std::string& path);
  ~LanguageModule();
  LanguageModule(const LanguageModule&) = delete;
  LanguageModule& operator=(const LanguageModule&) = delete;

  bool IsLoaded() const { return handle_ != nullptr; }
  DWORD language() const { return language_; }
  // The address of an export, or null (also when nothing was loaded).
  void* FindExport(const char* name) const;

 private:
  LanguageModule(DWORD language, void* handle) : language_(language), handle_(handle) {}
  DWORD language_;
  void* handle_;
};

// Chooses the agent's language: 0 takes it from the locale. Stores the
// language and loads its library; a missing library silently leaves English.
// Returns the language stored.
DWORD ChooseLanguageLibrary(DWORD language);
// The language stored by ChooseLanguageLibrary (English before it ran).
DWORD CurrentLanguage();
// The record of the chosen library, or null when the language has none.
const LanguageModule* CurrentLanguageModule();

}  // namespace hvm
