#include "agent/app/error_texts.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "agent/app/tests/error_code_sets.h"

namespace hvm {
namespace {

std::u16string TextOf(DWORD code) {
  char16_t buffer[kErrorTextBufferChars];
  return GetErrorText(nullptr, code, buffer, kErrorTextBufferChars);
}

TEST(EnglishErrorTable, HoldsExactlyTheListedCodes) {
  EXPECT_EQ(CodesWithText([](DWORD code) { return EnglishErrorText(code) != nullptr; }),
            EnglishCodeSet());
}

TEST(EnglishErrorTable, QuotedTextsAreVerbatim) {
  const std::pair<DWORD, const char16_t*> quoted[] = {
      {400, u" Bad Request (400)"},
      {401, u"The requested resource requires user authentication.(401)"},
      {403, u" Forbidden (403) "},
      {404, u" Not Found (404)"},
      {405, u" Method Not Allowed (405)"},
      {409, u" Conflict (409)"},
      {412, u" Precondition Failed (412)"},
      {415, u" Unsupported Media Type(415 )"},
      {416, u"Requested Range not satisfiable Explained(416)"},
      {423, u" Locked (423) "},
      {424, u" Failed Dependency(424)"},
      {500, u" Internal Server error (500)"},
      {501, u" Not implemented (501)"},
      {502, u" Bad Gateway (502)"},
      {507, u" Insufficient Storage(507)"},
      {1000, u"There is no internet connectivity,\n please check your internet connection"},
      {12002, u"The request has timed out.(12002). \nMaybe you should increase the value of the "
              u"timeouts in the connection.\nYou can do it in the menu \"Advanced\""},
      {50, u"The required protocol stack is not loaded and the application cannot start "
           u"WinSock.()"},
      {18, u"No more files have been found. (Windows error code) "},
      {static_cast<DWORD>(-1), u"Error"},
      {static_cast<DWORD>(-2), u"Error writting to afile"},
      {static_cast<DWORD>(-3), u"Error reading from afile"},
      {static_cast<DWORD>(-4), u"Error reading from tmpFile2"},
      {static_cast<DWORD>(-5), u"Cannot read from tempfile"},
      {static_cast<DWORD>(-6), u"Read error"},
      {static_cast<DWORD>(-7), u"Cannot write into the file"},
      {static_cast<DWORD>(-10), u"The server sent an unparsable XML"},
      {12005, u"The URL is invalid.(12005)"},
      {12029, u"Returned if connection to the server failed.(12029)"},
      {0x80040154, u"No program is registered to open this file."},
      {0x800401E6, u"No program is registered to open this file."},
      {0x800401EA, u"Cannot open the specified file.()"},
      {0x800C000F, u"Cannot open the specified file.()"},
  };
  for (const auto& [code, text] : quoted) {
    ASSERT_NE(EnglishErrorText(code), nullptr) << code;
    EXPECT_EQ(std::u16string(EnglishErrorText(code)), text) << code;
  }
}

TEST(EnglishErrorTable, RowsEndInTheirCodeAndTwinsShareTexts) {
  for (DWORD code : EnglishCodeSet()) {
    std::u16string text = EnglishErrorText(code);
    if (code >= 12001 && code <= 12185 && code != 12002) {
      std::string suffix = "(";  // built in steps: `"(" + std::to_string(...)` trips GCC 12's -Wrestrict
      suffix += std::to_string(code) + ")";
      EXPECT_TRUE(text.ends_with(std::u16string(suffix.begin(), suffix.end()))) << code;
    }
  }
  for (DWORD code : {6u, 8u, 122u, 259u}) {
    EXPECT_TRUE(std::u16string(EnglishErrorText(code)).ends_with(u"(Windows error code)")) << code;
  }
  const std::pair<DWORD, DWORD> twins[] = {{0x80072EE2, 0x800C000B}, {0x80072EE5, 0x800C0002},
                                           {0x80072EE8, 0x800C000D}, {0x80072EFC, 0x800C0006},
                                           {0x80072EFD, 0x800C0004}, {0x800401E4, 0x800C0002}};
  for (const auto& [code, twin] : twins) {
    EXPECT_EQ(std::u16string(EnglishErrorText(code)), EnglishErrorText(twin)) << std::hex << code;
  }
}

TEST(ErrorTextLookup, FallsBackToSystemTextThenToTheNumber) {
  EXPECT_EQ(TextOf(404), u" Not Found (404)");
  EXPECT_EQ(TextOf(5), u"Access is denied.");   // in no catalogue
  EXPECT_EQ(TextOf(2), u"The system cannot find the file specified.");
  EXPECT_EQ(TextOf(77777), u"77777");
  EXPECT_EQ(TextOf(static_cast<DWORD>(-16)), u"-16");  // signed, as "%ld"
  EXPECT_EQ(TextOf(0x80070005), u"-2147024891");
}

TEST(ErrorTextLookup, CutsAndTerminatesAtTheBufferSize) {
  char16_t buffer[8];
  std::fill(std::begin(buffer), std::end(buffer), u'#');
  GetErrorText(nullptr, 404, buffer, 5);
  EXPECT_EQ(std::u16string(buffer), u" Not");
  EXPECT_EQ(buffer[5], u'#');
  GetErrorText(nullptr, 123456789, buffer, 5);
  EXPECT_EQ(std::u16string(buffer), u"1234");
}

}  // namespace
}  // namespace hvm
