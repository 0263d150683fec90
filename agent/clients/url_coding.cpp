// Percent coding of server paths with fixed 768-byte intermediates.
#include "agent/clients/url_coding.h"

#include <cstring>
#include <string>

#include "common/moorlib.h"
#include "platform/wide_text.h"
#include "platform/win32.h"

namespace hvm {
namespace {

// "%" ! " $ & ( ) [ ] @ * + ~ ' # < > | ; , ? and the blank. Only bytes
// below 128 are ever tested against it. Control characters are escaped too: a
// Linux file name may hold a line break, which must never reach a URL or a
// header (Destination) as it is. A Linux name may also hold "?", which would
// otherwise start a query and name another resource ("a?b" became "a").
bool IsEscaped(unsigned char byte) {
  static constexpr std::string_view kEscapedSet = "%!\"$&()[]@*+~'#<>|;,? ";
  if (byte < 0x20 || byte == 0x7F) return true;
  return byte < 128 && kEscapedSet.find(static_cast<char>(byte)) != std::string_view::npos;
}

// The second byte of the UTF-8 form of a Latin-1 umlaut, or 0.
unsigned char UmlautSecondByte(unsigned char byte) {
  switch (byte) {
    case 0xC4: return 0x84;  // Ä
    case 0xE4: return 0xA4;  // ä
    case 0xD6: return 0x96;  // Ö
    case 0xF6: return 0xB6;  // ö
    case 0xDC: return 0x9C;  // Ü
    case 0xFC: return 0xBC;  // ü
    case 0xDF: return 0x9F;  // ß
    default: return 0;
  }
}

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Length of the valid multi-byte UTF-8 sequence starting at text[0], or 0 when
// the byte there does not start one (overlong forms and surrogates included).
size_t ValidSequenceLength(std::string_view text) {
  auto at = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = at(0);
  size_t length;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length || at(1) < low || at(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (!IsContinuation(at(i))) return 0;
  }
  return length;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void AppendEscape(std::string& out, unsigned char byte) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  out += '%';
  out += kDigits[byte >> 4];
  out += kDigits[byte & 0x0F];
}

void LogFailure(const char16_t* format, DWORD error) {
  WideDbgPrint(format, static_cast<long>(error));
}

// UTF-16 to 8-bit text within the fixed intermediate: false when the bytes
// and their terminator do not fit. The system's 8-bit code page is UTF-8
// here, so every name survives; a raw Latin-1 umlaut that reached a UTF-16
// href ("ä") comes out as valid UTF-8 and needs no repair.
bool ToUtf8Bounded(const char16_t* input, std::string& utf8) {
  utf8 = Utf16ToUtf8(input);
  return utf8.size() < kUrlByteBufferSize;
}

// Copies UTF-16 text into the caller's buffer with its terminator.
bool CopyOut(std::u16string_view text, char16_t* output, size_t outputChars) {
  if (text.size() >= outputChars) return false;
  std::memcpy(output, text.data(), text.size() * sizeof(char16_t));
  output[text.size()] = u'\0';
  return true;
}

}  // namespace

bool encodeUrl(const char16_t* input, char16_t* output, size_t outputChars) {
  if (output == nullptr || outputChars == 0) return false;
  if (input == nullptr || input[0] == u'\0') {
    output[0] = u'\0';
    return true;
  }
  std::string utf8;
  if (!ToUtf8Bounded(input, utf8)) {
    LogFailure(u"encodeUrl:WideCharToMultiByte lerror=%ld\n", ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  std::string escaped;
  escaped.reserve(utf8.size() * 3);
  for (unsigned char byte : utf8) {
    if (byte < 128 && !IsEscaped(byte)) {
      escaped += static_cast<char>(byte);
    } else {
      AppendEscape(escaped, byte);
    }
  }
  // The escaped form lives in the same fixed intermediate: refuse rather than overrun.
  if (escaped.size() >= kUrlByteBufferSize) {
    LogFailure(u"encodeUrl:escaped url too long lerror=%ld\n", ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  // Pure ASCII now, so every code page gives the same characters.
  std::u16string wide(escaped.begin(), escaped.end());
  if (!CopyOut(wide, output, outputChars)) {
    LogFailure(u"encodeUrl:MultiByteToWideChar lerror=%ld\n", ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  return true;
}

std::string PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      int high = HexValue(text[i + 1]);
      int low = HexValue(text[i + 2]);
      if (high >= 0 && low >= 0 && (high | low) != 0) {
        out += static_cast<char>(high * 16 + low);
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

int RepairUmlauts(std::string_view input, char* output, size_t outputSize) {
  if (output == nullptr || outputSize == 0) return -1;
  std::string out;
  out.reserve(input.size());
  for (size_t i = 0; i < input.size();) {
    unsigned char byte = static_cast<unsigned char>(input[i]);
    if (byte >= 128) {
      // Bytes of well-formed UTF-8 ("日本", "ä" as C3 A4) stay as they are.
      size_t sequence = ValidSequenceLength(input.substr(i));
      if (sequence > 0) {
        out.append(input.substr(i, sequence));
        i += sequence;
        continue;
      }
      if (unsigned char second = UmlautSecondByte(byte)) {
        out += "%C3";
        AppendEscape(out, second);
      } else {
        out += static_cast<char>(byte);
      }
    } else if (IsEscaped(byte)) {
      AppendEscape(out, byte);
    } else {
      out += static_cast<char>(byte);
    }
    ++i;
  }
  if (out.size() >= outputSize) {
    output[0] = '\0';
    return -1;
  }
  std::memcpy(output, out.data(), out.size());
  output[out.size()] = '\0';
  return static_cast<int>(out.size());
}

namespace {

// An href's path, percent-decoded with stray umlauts repaired, as UTF-8 bytes
// (which may still hold bytes that are no UTF-8); false when it is too long.
bool DecodedBytes(const char16_t* input, std::string& name) {
  std::string bytes;
  if (!ToUtf8Bounded(input == nullptr ? u"" : input, bytes)) {
    LogFailure(u"decodeUrl:WideChar lerror=%ld", ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  std::string decoded = PercentDecode(bytes);
  char repaired[kUrlByteBufferSize];
  int repairedLength = RepairUmlauts(decoded, repaired, sizeof repaired);
  // When the repaired form does not fit (many blanks near the limit), the once
  // decoded bytes are still the right name for everything but stray umlauts.
  name = repairedLength < 0 ? decoded : PercentDecode(std::string_view(repaired, repairedLength));
  return true;
}

bool IsValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    if (static_cast<unsigned char>(text[i]) < 128) {
      ++i;
      continue;
    }
    size_t sequence = ValidSequenceLength(text.substr(i));
    if (sequence == 0) return false;
    i += sequence;
  }
  return true;
}

bool CopyName(const std::string& name, char16_t* output, size_t outputChars) {
  if (CopyOut(Utf8ToUtf16(name), output, outputChars)) return true;
  LogFailure(u"decodeUrl:MultiByteToWideChar lerror=%ld", ERROR_INSUFFICIENT_BUFFER);
  return false;
}

}  // namespace

bool decodeUrl(const char16_t* input, char16_t* output, size_t outputChars) {
  if (output == nullptr || outputChars == 0) return false;
  std::string name;
  return DecodedBytes(input, name) && CopyName(name, output, outputChars);
}

bool decodeUrlName(const char16_t* input, char16_t* output, size_t outputChars) {
  if (output == nullptr || outputChars == 0) return false;
  std::string name;
  return DecodedBytes(input, name) && IsValidUtf8(name) && CopyName(name, output, outputChars);
}

}  // namespace hvm
