// printf into UTF-16. The directives follow the Windows wide printf family:
// %s takes 8-bit text here, %ws/%S/%ls take char16_t text, %c a character.
#include "platform/wide_format.h"

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "platform/wide_text.h"

namespace hvm {
namespace {

enum class Length { kDefault, kChar, kShort, kLong, kLongLong, kSize, kWide };

struct Directive {
  bool leftAlign = false;
  bool zeroPad = false;
  bool plusSign = false;
  bool spaceSign = false;
  bool alternate = false;
  int width = 0;
  int precision = -1;  // -1: none given
  Length length = Length::kDefault;
  char16_t conversion = 0;
};

class WideWriter {
 public:
  explicit WideWriter(va_list args) { va_copy(args_, args); }
  ~WideWriter() { va_end(args_); }
  WideWriter(const WideWriter&) = delete;
  WideWriter& operator=(const WideWriter&) = delete;

  std::u16string Run(const char16_t* format) {
    const char16_t* p = format;
    while (*p != 0) {
      if (*p != u'%') {
        out_.push_back(*p++);
        continue;
      }
      ++p;
      if (*p == u'%') {
        out_.push_back(*p++);
        continue;
      }
      Directive d;
      p = ParseDirective(p, d);
      if (d.conversion == 0) break;  // format ended inside a directive
      Emit(d);
    }
    return std::move(out_);
  }

 private:
  const char16_t* ParseDirective(const char16_t* p, Directive& d) {
    for (;; ++p) {
      if (*p == u'-') d.leftAlign = true;
      else if (*p == u'0') d.zeroPad = true;
      else if (*p == u'+') d.plusSign = true;
      else if (*p == u' ') d.spaceSign = true;
      else if (*p == u'#') d.alternate = true;
      else break;
    }
    if (*p == u'*') {
      d.width = va_arg(args_, int);
      if (d.width < 0) d.leftAlign = true, d.width = -d.width;
      ++p;
    } else {
      p = ParseNumber(p, d.width);
    }
    if (*p == u'.') {
      ++p;
      if (*p == u'*') {
        d.precision = va_arg(args_, int);
        if (d.precision < 0) d.precision = -1;  // a negative precision counts as none
        ++p;
      } else {
        d.precision = 0;
        p = ParseNumber(p, d.precision);
      }
    }
    p = ParseLength(p, d);
    if (*p != 0) d.conversion = *p++;
    return p;
  }

  static const char16_t* ParseNumber(const char16_t* p, int& value) {
    while (*p >= u'0' && *p <= u'9') {
      // Absurd widths are clamped rather than overflowing.
      value = std::min(value * 10 + (*p - u'0'), 1 << 20);
      ++p;
    }
    return p;
  }

  static const char16_t* ParseLength(const char16_t* p, Directive& d) {
    switch (*p) {
      case u'h':
        if (p[1] == u'h') return d.length = Length::kChar, p + 2;
        return d.length = Length::kShort, p + 1;
      case u'l':
        if (p[1] == u'l') return d.length = Length::kLongLong, p + 2;
        return d.length = Length::kLong, p + 1;
      case u'w':
        return d.length = Length::kWide, p + 1;
      case u'z':
        return d.length = Length::kSize, p + 1;
      case u'I':
        if (p[1] == u'6' && p[2] == u'4') return d.length = Length::kLongLong, p + 3;
        if (p[1] == u'3' && p[2] == u'2') return d.length = Length::kDefault, p + 3;
        return d.length = Length::kSize, p + 1;
      default:
        return p;
    }
  }

  void Emit(const Directive& d) {
    switch (d.conversion) {
      case u'd':
      case u'i':
        EmitSigned(d);
        break;
      case u'u':
      case u'x':
      case u'X':
      case u'o':
        EmitUnsigned(d, PullUnsigned(d.length));
        break;
      case u'p':
        EmitPointer(d);
        break;
      case u'c':
      case u'C':
        EmitChar(d);
        break;
      case u's':
        if (d.length == Length::kWide || d.length == Length::kLong) EmitWideString(d);
        else EmitNarrowString(d);
        break;
      case u'S':
        if (d.length == Length::kShort) EmitNarrowString(d);
        else EmitWideString(d);
        break;
      default:  // unknown directive: shown as written so that the fault is visible
        out_.push_back(u'%');
        out_.push_back(d.conversion);
        break;
    }
  }

  int64_t PullSigned(Length length) {
    switch (length) {
      case Length::kChar: return static_cast<signed char>(va_arg(args_, int));
      case Length::kShort: return static_cast<short>(va_arg(args_, int));
      case Length::kLong: return va_arg(args_, long);
      case Length::kLongLong: return va_arg(args_, long long);
      case Length::kSize: return va_arg(args_, ptrdiff_t);
      default: return va_arg(args_, int);
    }
  }

  uint64_t PullUnsigned(Length length) {
    switch (length) {
      case Length::kChar: return static_cast<unsigned char>(va_arg(args_, unsigned));
      case Length::kShort: return static_cast<unsigned short>(va_arg(args_, unsigned));
      case Length::kLong: return va_arg(args_, unsigned long);
      case Length::kLongLong: return va_arg(args_, unsigned long long);
      case Length::kSize: return va_arg(args_, size_t);
      default: return va_arg(args_, unsigned);
    }
  }

  static std::u16string Digits(uint64_t value, unsigned base, bool upper) {
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::u16string digits;
    do {
      digits.push_back(static_cast<char16_t>(set[value % base]));
      value /= base;
    } while (value != 0);
    std::reverse(digits.begin(), digits.end());
    return digits;
  }

  void EmitSigned(const Directive& d) {
    const int64_t value = PullSigned(d.length);
    const uint64_t magnitude =
        value < 0 ? uint64_t{0} - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    std::u16string sign;
    if (value < 0) sign = u"-";
    else if (d.plusSign) sign = u"+";
    else if (d.spaceSign) sign = u" ";
    EmitNumber(d, sign, Digits(magnitude, 10, false), magnitude == 0);
  }

  void EmitUnsigned(const Directive& d, uint64_t value) {
    const unsigned base = d.conversion == u'o' ? 8 : (d.conversion == u'u' ? 10 : 16);
    const bool upper = d.conversion == u'X';
    std::u16string prefix;
    if (d.alternate && value != 0 && base == 16) prefix = upper ? u"0X" : u"0x";
    std::u16string digits = Digits(value, base, upper);
    if (d.alternate && base == 8 && digits[0] != u'0') digits.insert(0, 1, u'0');
    EmitNumber(d, prefix, digits, value == 0 && !(d.alternate && base == 8));
  }

  // sign/prefix, then precision zeros, then digits; width pads outside.
  void EmitNumber(const Directive& d, const std::u16string& prefix, std::u16string digits,
                  bool isZero) {
    if (d.precision == 0 && isZero) digits.clear();  // "%.0d" of 0 prints nothing
    if (d.precision > 0 && digits.size() < static_cast<size_t>(d.precision))
      digits.insert(0, d.precision - digits.size(), u'0');
    const size_t body = prefix.size() + digits.size();
    const size_t pad = d.width > 0 && static_cast<size_t>(d.width) > body ? d.width - body : 0;
    if (d.leftAlign) {
      out_ += prefix;
      out_ += digits;
      out_.append(pad, u' ');
    } else if (d.zeroPad && d.precision < 0) {
      out_ += prefix;
      out_.append(pad, u'0');
      out_ += digits;
    } else {
      out_.append(pad, u' ');
      out_ += prefix;
      out_ += digits;
    }
  }

  void EmitPointer(const Directive& d) {
    const auto value = reinterpret_cast<uintptr_t>(va_arg(args_, void*));
    std::u16string digits = Digits(value, 16, true);
    if (digits.size() < sizeof(void*) * 2) digits.insert(0, sizeof(void*) * 2 - digits.size(), u'0');
    Directive plain = d;
    plain.zeroPad = false;
    plain.precision = -1;
    EmitNumber(plain, u"", digits, false);
  }

  void EmitChar(const Directive& d) {
    const auto value = va_arg(args_, int);
    char16_t c = static_cast<char16_t>(value);
    // %C and %hc take an 8-bit character (Latin-1 here).
    if (d.conversion == u'C' || d.length == Length::kShort) c = static_cast<unsigned char>(value);
    EmitPadded(d, std::u16string_view(&c, 1));
  }

  void EmitWideString(const Directive& d) {
    const auto* text = va_arg(args_, const char16_t*);
    if (text == nullptr) text = u"(null)";
    // With a precision the text need not be terminated: read no further.
    const size_t limit = d.precision >= 0 ? static_cast<size_t>(d.precision) : SIZE_MAX;
    EmitPadded(d, WideField(text, limit));
  }

  void EmitNarrowString(const Directive& d) {
    const auto* text = va_arg(args_, const char*);
    if (text == nullptr) text = "(null)";
    size_t n = 0;
    const size_t limit = d.precision >= 0 ? static_cast<size_t>(d.precision) : SIZE_MAX;
    while (n < limit && text[n] != 0) ++n;
    const std::u16string wide = Utf8ToUtf16(std::string_view(text, n));
    EmitPadded(d, wide);
  }

  void EmitPadded(const Directive& d, std::u16string_view text) {
    const size_t pad =
        d.width > 0 && static_cast<size_t>(d.width) > text.size() ? d.width - text.size() : 0;
    if (!d.leftAlign) out_.append(pad, d.zeroPad ? u'0' : u' ');
    out_ += text;
    if (d.leftAlign) out_.append(pad, u' ');
  }

  va_list args_;
  std::u16string out_;
};

}  // namespace

int FormatWideV(char16_t* buffer, size_t chars, const char16_t* format, va_list args) {
  if (format == nullptr) return -1;
  const std::u16string text = WideWriter(args).Run(format);
  if (buffer != nullptr && chars > 0) CopyWide(buffer, chars, text);
  if (text.size() >= chars) return -1;
  return static_cast<int>(text.size());
}

int FormatWideBuf(char16_t* buffer, size_t chars, const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = FormatWideV(buffer, chars, format, args);
  va_end(args);
  return result;
}

std::u16string FormatWide(const char16_t* format, ...) {
  if (format == nullptr) return {};
  va_list args;
  va_start(args, format);
  std::u16string text = WideWriter(args).Run(format);
  va_end(args);
  return text;
}

}  // namespace hvm
