#include "agent/clients/url_coding.h"

#include <gtest/gtest.h>

#include <string>

namespace hvm {
namespace {

std::u16string Encode(const std::u16string& text, bool* ok = nullptr) {
  char16_t out[768];
  bool result = encodeUrl(text.c_str(), out, std::size(out));
  if (ok) *ok = result;
  return result ? std::u16string(out) : std::u16string(u"<failed>");
}

std::u16string Decode(const std::u16string& text, bool* ok = nullptr) {
  char16_t out[768];
  bool result = decodeUrl(text.c_str(), out, std::size(out));
  if (ok) *ok = result;
  return result ? std::u16string(out) : std::u16string(u"<failed>");
}

std::string Repair(std::string_view text) {
  char out[768];
  int n = RepairUmlauts(text, out, sizeof out);
  EXPECT_GE(n, 0);
  return std::string(out, n < 0 ? 0 : n);
}

TEST(EncodeUrl, EscapesBlanksAndTheEscapedSetButKeepsPathCharacters) {
  EXPECT_EQ(Encode(u"a b&c"), u"a%20b%26c");
  EXPECT_EQ(Encode(u"http://host:8080/dir/a.txt"), u"http://host:8080/dir/a.txt");
  EXPECT_EQ(Encode(u"%!\"$&()[]@*+~'#<>|;,"),
            u"%25%21%22%24%26%28%29%5B%5D%40%2A%2B%7E%27%23%3C%3E%7C%3B%2C");
  EXPECT_EQ(Encode(u"-._/:=\\^`{}"), u"-._/:=\\^`{}");
}

// "?" is a plain character of a Linux file name: unescaped, the server read
// "a?b.txt" as "a" with a query, and an upload went to the wrong file.
TEST(EncodeUrl, EscapesTheQuestionMarkOfAFileName) {
  EXPECT_EQ(Encode(u"http://host/dav/a?b.txt"), u"http://host/dav/a%3Fb.txt");
  char16_t out[64];
  ASSERT_TRUE(decodeUrl(u"/dav/a%3Fb.txt", out, 64));
  EXPECT_EQ(std::u16string(out), u"/dav/a?b.txt");
  EXPECT_EQ(Repair("a?b"), "a%3Fb");
}

// A file name with a line break used to go into the URL and the Destination
// header as it was: a request that fails, or a header that ends early.
TEST(EncodeUrl, EscapesControlCharactersSoNoNameCanSplitAHeader) {
  EXPECT_EQ(Encode(u"a\r\nX-Injected: 1"), u"a%0D%0AX-Injected:%201");
  EXPECT_EQ(Encode(u"tab\there\x7F\x01"), u"tab%09here%7F%01");
  char16_t out[64];
  ASSERT_TRUE(decodeUrl(u"a%0D%0Ab%09c", out, 64));
  EXPECT_EQ(std::u16string(out), u"a\r\nb\tc");
}

TEST(EncodeUrl, WritesEveryNonAsciiByteOfTheUtf8Form) {
  EXPECT_EQ(Encode(u"ä"), u"%C3%A4");
  EXPECT_EQ(Encode(u"日本"), u"%E6%97%A5%E6%9C%AC");
  EXPECT_EQ(Encode(u"\U0001F600"), u"%F0%9F%98%80");
}

TEST(EncodeUrl, EmptyInputIsAnEmptySuccess) {
  char16_t out[4] = {u'x', u'x', u'x', 0};
  EXPECT_TRUE(encodeUrl(u"", out, 4));
  EXPECT_EQ(out[0], u'\0');
}

TEST(EncodeUrl, OverlongInputFailsWithoutOverrun) {
  // 767 plain bytes fit the intermediate; 768 do not.
  EXPECT_EQ(Encode(std::u16string(767, u'a')).size(), 767u);
  bool ok = true;
  Encode(std::u16string(768, u'a'), &ok);
  EXPECT_FALSE(ok);
  // The escaped form triples: 300 blanks fit as UTF-8 but not escaped.
  Encode(std::u16string(300, u' '), &ok);
  EXPECT_FALSE(ok);
  // The caller's buffer is respected, guard characters stay untouched.
  char16_t small[8];
  std::fill(std::begin(small), std::end(small), u'#');
  EXPECT_FALSE(encodeUrl(u"a b c", small, 5));
  EXPECT_TRUE(encodeUrl(u"abcd", small, 5));
  EXPECT_EQ(std::u16string(small), u"abcd");
  EXPECT_EQ(small[5], u'#');
}

TEST(DecodeUrl, UndoesEncodeForAllKindsOfNames) {
  for (std::u16string name : {u"a b&c", u"ä ö ü ß Ä Ö Ü", u"日本/中文.txt", u"100% (x)+y",
                              u"\U0001F600.png", u"%41 literal"}) {
    EXPECT_EQ(Decode(Encode(name)), name);
  }
}

TEST(DecodeUrl, RepairsLatin1UmlautsButNotValidUtf8) {
  EXPECT_EQ(Decode(u"%C3%A4"), u"ä");
  EXPECT_EQ(Decode(u"ä"), u"ä");               // sent unescaped
  EXPECT_EQ(Decode(u"%E4%F6%FC%DF"), u"äöüß");  // Latin-1 escapes
  EXPECT_EQ(Decode(u"%C4%D6%DC"), u"ÄÖÜ");
  // 0xE4 leads the UTF-8 form of 中; a byte-wise repair would break it.
  EXPECT_EQ(Decode(u"%E4%B8%AD"), u"中");
  EXPECT_EQ(Decode(u"%E6%97%A5%E6%9C%AC"), u"日本");
  // A stray byte that is no umlaut cannot be read as UTF-8.
  EXPECT_EQ(Decode(u"a%E9b"), u"a\uFFFDb");
}

// A listed name must come back to the server as the bytes it listed: one
// that is still no UTF-8 after the umlaut repair is refused.
TEST(DecodeUrl, ListedNamesThatAreNoUtf8AreRefused) {
  char16_t out[64];
  ASSERT_TRUE(decodeUrlName(u"caf%C3%A9.txt", out, 64));
  EXPECT_EQ(std::u16string(out), u"caf\u00e9.txt");
  ASSERT_TRUE(decodeUrlName(u"%E4%F6%FC", out, 64));  // repaired Latin-1 umlauts
  EXPECT_EQ(std::u16string(out), u"\u00e4\u00f6\u00fc");
  ASSERT_TRUE(decodeUrlName(u"%EF%BF%BD.txt", out, 64));  // a replacement character of its own
  EXPECT_EQ(std::u16string(out), u"\ufffd.txt");
  for (const char16_t* bad : {u"caf%E9.txt", u"a%E8b", u"%FF", u"%C3", u"%ED%A0%80", u"%C0%AF", u"%F8%88%80%80%80"})
    EXPECT_FALSE(decodeUrlName(bad, out, 64)) << Decode(bad).size();
}

TEST(DecodeUrl, KeepsPercentSignsThatStartNoEscape) {
  EXPECT_EQ(Decode(u"100%"), u"100%");
  EXPECT_EQ(Decode(u"100%4"), u"100%4");
  EXPECT_EQ(Decode(u"a%zzb"), u"a%zzb");
  EXPECT_EQ(Decode(u"100%25"), u"100%");
  EXPECT_EQ(Decode(u"%2541"), u"%41");  // decoded once only
  EXPECT_EQ(Decode(u"a%00b"), u"a%00b");
}

TEST(DecodeUrl, OverlongInputFailsAndRespectsTheCallerBuffer) {
  bool ok = true;
  Decode(std::u16string(768, u'a'), &ok);
  EXPECT_FALSE(ok);
  // Blanks that would overflow the repair step are still decoded.
  std::u16string blanks;
  for (int i = 0; i < 250; ++i) blanks += u"%20";
  EXPECT_EQ(Decode(blanks), std::u16string(250, u' '));
  char16_t small[4];
  EXPECT_FALSE(decodeUrl(u"abcd", small, 4));
  EXPECT_TRUE(decodeUrl(u"a%20b", small, 4));
  EXPECT_EQ(std::u16string(small), u"a b");
}

TEST(PercentDecode, HandlesBothCasesAndIncompleteEscapes) {
  EXPECT_EQ(PercentDecode("a%2fb%2Fc"), "a/b/c");
  EXPECT_EQ(PercentDecode("%"), "%");
  EXPECT_EQ(PercentDecode("%4"), "%4");
  EXPECT_EQ(PercentDecode("%g1%41"), "%g1A");
  EXPECT_EQ(PercentDecode("%%41"), "%A");
  EXPECT_EQ(PercentDecode(""), "");
}

TEST(RepairUmlauts, RewritesStrayUmlautsAndTheEscapedSet) {
  EXPECT_EQ(Repair("\xE4"), "%C3%A4");
  EXPECT_EQ(Repair("\xC4\xD6\xDC\xF6\xFC\xDF"), "%C3%84%C3%96%C3%9C%C3%B6%C3%BC%C3%9F");
  EXPECT_EQ(Repair("a b%"), "a%20b%25");
  EXPECT_EQ(Repair("\xE9"), "\xE9");  // not in the table
}

TEST(RepairUmlauts, LeavesValidUtf8Untouched) {
  EXPECT_EQ(Repair("日本"), "日本");
  EXPECT_EQ(Repair("中"), "中");  // E4 B8 AD
  EXPECT_EQ(Repair("ä"), "ä");    // C3 A4
  // Truncated, overlong and surrogate forms are not valid UTF-8.
  EXPECT_EQ(Repair("\xE4\xB8"), "%C3%A4\xB8");
  EXPECT_EQ(Repair("\xC0\xAF"), "\xC0\xAF");
  EXPECT_EQ(Repair("\xED\xA0\x80"), "\xED\xA0\x80");
  EXPECT_EQ(Repair("\xDF" "a"), "%C3%9F" "a");  // ß before a non-continuation
}

TEST(RepairUmlauts, ReportsOverflowWithoutWritingPastTheEnd) {
  char out[8];
  std::fill(std::begin(out), std::end(out), '#');
  EXPECT_EQ(RepairUmlauts("abc", out, 4), 3);
  EXPECT_EQ(RepairUmlauts("abcd", out, 4), -1);
  EXPECT_EQ(RepairUmlauts("\xE4", out, 6), -1);
  EXPECT_EQ(RepairUmlauts("\xE4", out, 7), 6);
  EXPECT_EQ(out[7], '#');
}

}  // namespace
}  // namespace hvm
