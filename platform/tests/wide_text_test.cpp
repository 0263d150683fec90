#include "platform/wide_text.h"

#include <gtest/gtest.h>

namespace hvm {
namespace {

TEST(WideText, RoundTripsAllPlanes) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // a é € 😀 z
  const std::u16string wide = Utf8ToUtf16(text);
  EXPECT_EQ(wide, u"a\u00E9\u20AC\U0001F600z");
  EXPECT_EQ(wide.size(), 6u);  // the emoji takes a surrogate pair
  EXPECT_EQ(Utf16ToUtf8(wide), text);
}

TEST(WideText, InvalidUtf8BecomesReplacement) {
  // stray continuation, overlong '/', encoded surrogate, cut-short sequence at the end
  EXPECT_EQ(Utf8ToUtf16("\x80"), u"\uFFFD");
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD");
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD");
  EXPECT_EQ(Utf8ToUtf16("ab\xE2\x82"), u"ab\uFFFD");
  // a cut sequence must not swallow the following character
  EXPECT_EQ(Utf8ToUtf16("\xE2\x82Z"), u"\uFFFDZ");
}

TEST(WideText, LoneSurrogatesBecomeReplacement) {
  const char16_t high[] = {u'x', 0xD800, u'y', 0};
  EXPECT_EQ(Utf16ToUtf8(high), "x\xEF\xBF\xBDy");
  const char16_t low[] = {0xDC00, 0};
  EXPECT_EQ(Utf16ToUtf8(low), "\xEF\xBF\xBD");
}

TEST(WideText, WideFieldStopsAtNulOrCapacity) {
  const char16_t full[4] = {u'a', u'b', u'c', u'd'};  // no terminator
  EXPECT_EQ(WideField(full, 4), u"abcd");
  const char16_t shortField[4] = {u'a', 0, u'c', u'd'};
  EXPECT_EQ(WideField(shortField, 4), u"a");
  EXPECT_TRUE(WideField(nullptr, 4).empty());
}

TEST(WideText, CopyWideTerminatesAndCuts) {
  char16_t dst[4];
  EXPECT_EQ(CopyWide(dst, 4, u"abcdef"), 3u);
  EXPECT_EQ(std::u16string(dst), u"abc");
  EXPECT_EQ(CopyWide(dst, 4, u"ab"), 2u);
  EXPECT_EQ(std::u16string(dst), u"ab");
  char16_t guard = u'Q';
  EXPECT_EQ(CopyWide(&guard, 0, u"ab"), 0u);
  EXPECT_EQ(guard, u'Q');
}

TEST(WideText, CaseInsensitiveCompare) {
  EXPECT_TRUE(EqualsNoCase(u"Readme.TXT", u"README.txt"));
  EXPECT_TRUE(EqualsNoCase(u"\u00E9t\u00E9", u"\u00C9T\u00C9"));
  EXPECT_TRUE(EqualsNoCase(u"\u0434\u043E\u043C", u"\u0414\u041E\u041C"));
  EXPECT_FALSE(EqualsNoCase(u"abc", u"abcd"));
  EXPECT_LT(CompareNoCase(u"abc", u"ABD"), 0);
  EXPECT_GT(CompareNoCase(u"b", u"A"), 0);
  EXPECT_LT(CompareNoCase(u"ab", u"ABC"), 0);
  // '_' lies between upper and lower case letters: comparing upper-cased keeps it after them
  EXPECT_GT(CompareNoCase(u"_", u"a"), 0);
  // Upper-cased texts are equal exactly when the texts compare equal.
  const std::u16string words[] = {u"Readme.TXT", u"README.txt", u"\u00E9t\u00E9", u"\u00C9T\u00C9",
                                  u"\u0434\u043E\u043C", u"\u0414\u041E\u041C", u"\u00FF", u"\u0178",
                                  u"\u0131", u"I", u"abc", u"abcd", u"_"};
  for (const auto& a : words)
    for (const auto& b : words)
      EXPECT_EQ(UpperCaseSimple(a) == UpperCaseSimple(b), EqualsNoCase(a, b));
}

TEST(WideText, ControlCharactersAreFoundButNotNul) {
  EXPECT_TRUE(HasControlCharacters(u"line\nbreak"));
  EXPECT_TRUE(HasControlCharacters(u"\x1f"));
  EXPECT_TRUE(HasControlCharacters(u"del\x7f"));
  EXPECT_FALSE(HasControlCharacters(std::u16string(u"a\0b", 3)));
  EXPECT_FALSE(HasControlCharacters(u"caf\u00e9 space~!"));
}

}  // namespace
}  // namespace hvm
