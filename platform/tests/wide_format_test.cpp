#include "platform/wide_format.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace hvm {
namespace {

TEST(WideFormat, StringsOfBothWidths) {
  EXPECT_EQ(FormatWide(u"[%ws|%S|%ls|%s]", u"w", u"S", u"l", "n"), u"[w|S|l|n]");
  EXPECT_EQ(FormatWide(u"%s", "\xC3\xA9"), u"\u00E9");  // 8-bit text is UTF-8
  EXPECT_EQ(FormatWide(u"%ws|%s", static_cast<const char16_t*>(nullptr),
                       static_cast<const char*>(nullptr)),
            u"(null)|(null)");
}

TEST(WideFormat, StringWidthAndPrecision) {
  EXPECT_EQ(FormatWide(u"[%5ws][%-5ws]", u"ab", u"ab"), u"[   ab][ab   ]");
  EXPECT_EQ(FormatWide(u"[%.2ws][%.*ws]", u"abcdef", 3, u"abcdef"), u"[ab][abc]");
  // precision bounds the read: the text need not be terminated
  const char16_t unterminated[3] = {u'x', u'y', u'z'};
  EXPECT_EQ(FormatWide(u"%.*ws", 3, unterminated), u"xyz");
  EXPECT_EQ(FormatWide(u"[%*s]", -4, "a"), u"[a   ]");  // negative width aligns left
}

TEST(WideFormat, Integers) {
  EXPECT_EQ(FormatWide(u"%d %i %u", -5, 7, 4000000000u), u"-5 7 4000000000");
  EXPECT_EQ(FormatWide(u"%x %X %#x %#X", 0xabu, 0xabu, 0xabu, 0xabu), u"ab AB 0xab 0XAB");
  EXPECT_EQ(FormatWide(u"%#x", 0u), u"0");
  EXPECT_EQ(FormatWide(u"%ld %lu %lx", -1L, 1UL, 0xffUL), u"-1 1 ff");
  EXPECT_EQ(FormatWide(u"%lld %llx", INT64_MIN, 0x123456789abcdefULL),
            u"-9223372036854775808 123456789abcdef");
  EXPECT_EQ(FormatWide(u"%hd %hu %hx", 70000, 70000, 0x12345), u"4464 4464 2345");
  EXPECT_EQ(FormatWide(u"%I64d %I64x", int64_t{-2}, uint64_t{0x10}), u"-2 10");
}

TEST(WideFormat, IntegerFlagsWidthPrecision) {
  EXPECT_EQ(FormatWide(u"[%5d][%-5d][%05d]", 42, 42, -42), u"[   42][42   ][-0042]");
  EXPECT_EQ(FormatWide(u"[%+d][% d][%+d]", 3, 3, -3), u"[+3][ 3][-3]");
  EXPECT_EQ(FormatWide(u"[%.3d][%6.3d][%06.3d]", 7, 7, 7), u"[007][   007][   007]");
  EXPECT_EQ(FormatWide(u"[%.0d][%*d]", 0, 4, 9), u"[][   9]");
  EXPECT_EQ(FormatWide(u"[%08X][%#010x]", 0x3000000u, 0x1fu), u"[03000000][0x0000001f]");
}

TEST(WideFormat, CharsPointersPercent) {
  EXPECT_EQ(FormatWide(u"%c%c%%", u'A', 0x20AC), u"A\u20AC%");
  EXPECT_EQ(FormatWide(u"[%3c]", u'x'), u"[  x]");
  const std::u16string p = FormatWide(u"%p", reinterpret_cast<void*>(0x1234));
  EXPECT_EQ(p.size(), sizeof(void*) * 2);
  EXPECT_EQ(p.substr(p.size() - 4), u"1234");
}

TEST(WideFormat, BufferFormsCutAndReport) {
  char16_t buffer[8];
  EXPECT_EQ(FormatWideBuf(buffer, 8, u"%d-%ws", 12, u"ab"), 5);
  EXPECT_EQ(std::u16string(buffer), u"12-ab");
  // exactly full: seven characters and the terminator fit
  EXPECT_EQ(FormatWideBuf(buffer, 8, u"%ws", u"1234567"), 7);
  // one more does not fit: cut, terminated, -1
  EXPECT_EQ(FormatWideBuf(buffer, 8, u"%ws", u"12345678"), -1);
  EXPECT_EQ(std::u16string(buffer), u"1234567");
}

TEST(WideFormat, UnfinishedAndUnknownDirectives) {
  EXPECT_EQ(FormatWide(u"abc%"), u"abc");
  EXPECT_EQ(FormatWide(u"%q"), u"%q");
}

}  // namespace
}  // namespace hvm
