#include "agent/app/language.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <set>
#include <string>

#include "agent/app/error_texts.h"
#include "agent/app/string_table.h"
#include "agent/app/tests/error_code_sets.h"
#include "lang/language_library.h"

namespace hvm {
namespace {

struct Catalogue {
  DWORD language;
  std::set<DWORD> (*codes)();
};

const Catalogue kCatalogues[] = {
    {LANG_GERMAN, GermanCodeSet},   {LANG_FRENCH, FrenchCodeSet}, {LANG_ITALIAN, ItalianCodeSet},
    {LANG_DUTCH, DutchCodeSet},     {LANG_HUNGARIAN, HungarianCodeSet},
};

std::u16string TextOf(const LanguageModule* module, DWORD code) {
  char16_t buffer[kErrorTextBufferChars];
  return GetErrorText(module, code, buffer, kErrorTextBufferChars);
}

// The build's lib folder: from HVM_BINARY_DIR, else beside this test's bin folder.
std::string BuiltLibrary(DWORD language) {
  std::string binaryDir;
  if (const char* fromEnvironment = std::getenv("HVM_BINARY_DIR")) {
    binaryDir = fromEnvironment;
  } else {
    char exe[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string path = length > 0 ? std::string(exe, length) : std::string("./x");
    binaryDir = path.substr(0, path.rfind('/')) + "/..";
  }
  return binaryDir + "/lib/" + LanguageLibraryName(language);
}

TEST(LanguageLibraryName, OnlyTheFiveLanguagesHaveALibrary) {
  EXPECT_EQ(LanguageLibraryName(7), "libmoorlangde.so");
  EXPECT_EQ(LanguageLibraryName(12), "libmoorlangfr.so");
  EXPECT_EQ(LanguageLibraryName(14), "libmoorlanghu.so");
  EXPECT_EQ(LanguageLibraryName(16), "libmoorlangit.so");
  EXPECT_EQ(LanguageLibraryName(19), "libmoorlangnl.so");
  EXPECT_EQ(LanguageLibraryName(9), "");
  EXPECT_EQ(LanguageLibraryName(0), "");
  EXPECT_EQ(LanguageModule::Load(9), nullptr);
}

TEST(LanguageLibraries, LoadFromTheProgramsOwnFolderAndHoldExactlyTheirCodes) {
  for (const Catalogue& catalogue : kCatalogues) {
    SCOPED_TRACE(LanguageLibraryName(catalogue.language));
    auto module = LanguageModule::Load(catalogue.language);
    ASSERT_NE(module, nullptr);
    ASSERT_TRUE(module->IsLoaded());
    auto webdav = reinterpret_cast<WebdavErrorMsgFunction>(module->FindExport("WebdavErrorMsg"));
    ASSERT_NE(webdav, nullptr);
    EXPECT_EQ(CodesWithText([&](DWORD code) { return webdav(code) != nullptr; }),
              catalogue.codes());
    // FTP and SFTP share one function that knows no code.
    void* ftp = module->FindExport("FtpErrorMsg");
    ASSERT_NE(ftp, nullptr);
    EXPECT_EQ(ftp, module->FindExport("SFtpErrorMsg"));
    EXPECT_EQ(reinterpret_cast<FtpErrorMsgFunction>(ftp)(404), nullptr);
    EXPECT_EQ(reinterpret_cast<FtpErrorMsgFunction>(ftp)(12029), nullptr);
    // Nothing but the exports is visible.
    EXPECT_EQ(module->FindExport("_ZN3hvm4lang11kErrorTextsE"), nullptr);
  }
}

TEST(LanguageLibraries, TranslateTextsAndNumberTheSystemCodes) {
  const std::pair<DWORD, int> numbered[] = {
      {8, 1},           {122, 2},         {6, 3},           {18, 4},          {0x800C0002, 5},
      {0x800C0003, 6},  {0x800C0004, 7},  {0x800C0005, 8},  {0x800C0006, 9},  {0x800C0007, 10},
      {0x800C0008, 11}, {0x800C0009, 12}, {0x800C000A, 13}, {0x800C000B, 14}, {0x800C000C, 15},
      {0x800C000D, 16}, {0x800C000E, 17}, {0x800C000F, 18}, {259, 19},        {50, 20},
      {0x80072EE2, 14}, {0x80072EFD, 7},  {0x800401EA, 18}, {0x800401E4, 5}};
  for (const Catalogue& catalogue : kCatalogues) {
    SCOPED_TRACE(LanguageLibraryName(catalogue.language));
    auto module = LanguageModule::LoadFile(catalogue.language, BuiltLibrary(catalogue.language));
    ASSERT_TRUE(module->IsLoaded());
    for (DWORD code : catalogue.codes()) {
      if (code == 409) continue;  // "Conflict" is the Dutch word too
      EXPECT_NE(TextOf(module.get(), code), TextOf(nullptr, code)) << code;
    }
    for (const auto& [code, number] : numbered) {
      std::string mark = "(HVM-" + std::to_string(number) + ")";
      EXPECT_NE(TextOf(module.get(), code).find(std::u16string(mark.begin(), mark.end())),
                std::u16string::npos)
          << std::hex << code;
    }
    // The URL-moniker twins share their text in every language.
    EXPECT_EQ(TextOf(module.get(), 0x80072EE5), TextOf(module.get(), 0x800C0002));
    EXPECT_EQ(TextOf(module.get(), 0x80040154), TextOf(module.get(), 0x800401E6));
  }
  auto french = LanguageModule::LoadFile(LANG_FRENCH, BuiltLibrary(LANG_FRENCH));
  EXPECT_EQ(TextOf(french.get(), 8), u" Espace insuffisant (HVM-1) ");
}

TEST(LanguageLibraries, TranslateEveryStringResource) {
  const uint32_t sentences[] = {IDS_NAME_HAS_SLASH,    IDS_BAD_URL,          IDS_CANNOT_DELETE_LAST,
                                IDS_CANNOT_WRITE_FILE, IDS_CONFLICT_QUESTION, IDS_DISCONNECT_ALL,
                                IDS_PROXY_HINT,        IDS_PROGRAM_SETTINGS};
  for (const Catalogue& catalogue : kCatalogues) {
    SCOPED_TRACE(LanguageLibraryName(catalogue.language));
    auto module = LanguageModule::LoadFile(catalogue.language, BuiltLibrary(catalogue.language));
    auto strings =
        reinterpret_cast<MoorLangStringFunction>(module->FindExport(kMoorLangStringExport));
    ASSERT_NE(strings, nullptr);
    for (uint32_t id = 0; id < 2000; ++id) {
      EXPECT_EQ(strings(id) != nullptr, EnglishString(id) != nullptr) << id;
    }
    for (uint32_t id : sentences) {
      EXPECT_NE(std::u16string(LoadResourceString(module.get(), id)), EnglishString(id)) << id;
    }
  }
}

TEST(ErrorTextLookupOrder, LibraryThenEnglishThenSystemThenNumber) {
  auto german = LanguageModule::LoadFile(LANG_GERMAN, BuiltLibrary(LANG_GERMAN));
  ASSERT_TRUE(german->IsLoaded());
  EXPECT_EQ(TextOf(german.get(), 404), u" Nicht gefunden (404)");
  EXPECT_EQ(TextOf(german.get(), static_cast<DWORD>(-10)), u"The server sent an unparsable XML");
  EXPECT_EQ(TextOf(german.get(), 12001), u"No more handles could be generated at this time.(12001)");
  EXPECT_EQ(TextOf(german.get(), 12185),
            u"Zum SSL-Client-Zertifikat gehört kein privater Schlüssel.(12185)");
  EXPECT_EQ(TextOf(nullptr, 12185), u"12185");
  EXPECT_EQ(TextOf(german.get(), 5), u"Access is denied.");
  EXPECT_EQ(TextOf(german.get(), 4242), u"4242");
  EXPECT_NE(TextOf(german.get(), 12002).find(u"\"Erweitert\""), std::u16string::npos);
  EXPECT_NE(TextOf(nullptr, 12002).find(u"\"Advanced\""), std::u16string::npos);
}

TEST(ErrorTextLookupOrder, AMissingOrForeignLibraryLeavesEnglish) {
  auto missing = LanguageModule::LoadFile(LANG_GERMAN, "/nonexistent/libmoorlangde.so");
  ASSERT_NE(missing, nullptr);
  EXPECT_FALSE(missing->IsLoaded());
  EXPECT_EQ(missing->FindExport("WebdavErrorMsg"), nullptr);
  EXPECT_EQ(TextOf(missing.get(), 404), u" Not Found (404)");
  EXPECT_EQ(std::u16string(LoadResourceString(missing.get(), IDS_CANNOT_DELETE_LAST)),
            u"You cannot delete the last entry");
  // A library without the exports answers nothing.
  auto foreign = LanguageModule::LoadFile(LANG_GERMAN, "libm.so.6");
  ASSERT_TRUE(foreign->IsLoaded());
  EXPECT_EQ(TextOf(foreign.get(), 404), u" Not Found (404)");
  EXPECT_EQ(std::u16string(LoadResourceString(foreign.get(), IDS_ERROR)), u"Error");
}

TEST(ChooseLanguageLibrary, TakesTheLocaleOrAnExplicitNumber) {
  setenv("LC_ALL", "de_DE.UTF-8", 1);
  EXPECT_EQ(ChooseLanguageLibrary(0), LANG_GERMAN);
  EXPECT_EQ(CurrentLanguage(), LANG_GERMAN);
  ASSERT_NE(CurrentLanguageModule(), nullptr);
  EXPECT_TRUE(CurrentLanguageModule()->IsLoaded());
  EXPECT_EQ(std::u16string(LoadResourceString(IDS_CANNOT_DELETE_LAST)),
            u"Der letzte Eintrag kann nicht gelöscht werden");
  char16_t buffer[kErrorTextBufferChars];
  EXPECT_EQ(std::u16string(GetErrorText(404, buffer, kErrorTextBufferChars)), u" Nicht gefunden (404)");

  EXPECT_EQ(ChooseLanguageLibrary(LANG_FRENCH), LANG_FRENCH);
  EXPECT_EQ(std::u16string(GetErrorText(8, buffer, kErrorTextBufferChars)), u" Espace insuffisant (HVM-1) ");

  setenv("LC_ALL", "en_GB.UTF-8", 1);
  EXPECT_EQ(ChooseLanguageLibrary(0), LANG_ENGLISH);
  EXPECT_EQ(CurrentLanguageModule(), nullptr);
  EXPECT_EQ(std::u16string(LoadResourceString(IDS_CANNOT_DELETE_LAST)),
            u"You cannot delete the last entry");
  EXPECT_EQ(std::u16string(GetErrorText(404, buffer, kErrorTextBufferChars)), u" Not Found (404)");
  EXPECT_EQ(LoadResourceString(99999), nullptr);
  unsetenv("LC_ALL");
}

}  // namespace
}  // namespace hvm
