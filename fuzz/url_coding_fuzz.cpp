// Hrefs and names through the URL coding: no buffer is ever overrun, every
// failure is reported as false or -1, and a name survives encode then decode.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "agent/clients/url_coding.h"
#include "agent/clients/webdav_multistatus.h"
#include "fuzz/fuzz_check.h"

namespace {

// Exactly as large as announced, so that AddressSanitizer sees any overrun.
template <typename Char>
std::unique_ptr<Char[]> Buffer(size_t count) {
  auto buffer = std::make_unique<Char[]>(count);
  std::memset(buffer.get(), 0x5A, count * sizeof(Char));
  return buffer;
}

bool IsWellFormedUtf16(std::u16string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    if (c == 0) return false;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

size_t Length(const char16_t* text, size_t limit) {
  size_t n = 0;
  while (n < limit && text[n] != 0) ++n;
  return n;
}

void CheckBytes(std::string_view bytes, size_t outputSize) {
  std::string decoded = hvm::PercentDecode(bytes);
  HVM_FUZZ_CHECK(decoded.size() <= bytes.size());
  auto out = Buffer<char>(outputSize);
  int written = hvm::RepairUmlauts(bytes, out.get(), outputSize);
  HVM_FUZZ_CHECK(written >= -1);
  if (written >= 0) {
    HVM_FUZZ_CHECK(static_cast<size_t>(written) < outputSize);
    HVM_FUZZ_CHECK(out[written] == '\0');
  }
}

void CheckWide(std::u16string_view wide, size_t outputChars) {
  std::u16string input(wide);  // terminated at the first NUL, as callers pass it
  auto decoded = Buffer<char16_t>(outputChars);
  if (hvm::decodeUrl(input.c_str(), decoded.get(), outputChars))
    HVM_FUZZ_CHECK(Length(decoded.get(), outputChars) < outputChars);
  // A listed name is refused or is exactly what the plain decoding gives.
  auto listed = Buffer<char16_t>(outputChars);
  if (hvm::decodeUrlName(input.c_str(), listed.get(), outputChars)) {
    HVM_FUZZ_CHECK(hvm::decodeUrl(input.c_str(), decoded.get(), outputChars));
    HVM_FUZZ_CHECK(std::u16string_view(listed.get()) == std::u16string_view(decoded.get()));
  }

  auto encoded = Buffer<char16_t>(outputChars);
  if (!hvm::encodeUrl(input.c_str(), encoded.get(), outputChars)) return;
  size_t length = Length(encoded.get(), outputChars);
  HVM_FUZZ_CHECK(length < outputChars);
  for (size_t i = 0; i < length; ++i) {
    char16_t c = encoded[i];
    HVM_FUZZ_CHECK(c > 0x20 && c < 0x7F);
    if (c != u'%') HVM_FUZZ_CHECK(std::u16string_view(u"!\"$&()[]@*+~'#<>|;,").find(c) == std::u16string_view::npos);
  }
  // What the client sends comes back as the same name from the server.
  std::u16string name(input.c_str());
  if (!IsWellFormedUtf16(name)) return;
  auto back = Buffer<char16_t>(hvm::kUrlByteBufferSize);
  HVM_FUZZ_CHECK(hvm::decodeUrl(encoded.get(), back.get(), hvm::kUrlByteBufferSize));
  HVM_FUZZ_CHECK(std::u16string_view(back.get()) == name);
}

void CheckHref(std::u16string_view text) {
  // "site URL \n href": any host the href names must be the site's.
  size_t split = text.find(u'\n');
  std::u16string_view siteUrl = split == std::u16string_view::npos ? u"http://127.0.0.1:8080/dav/" : text.substr(0, split);
  std::u16string_view href = split == std::u16string_view::npos ? text : text.substr(split + 1);
  std::u16string_view path;
  bool onSite = hvm::HrefOnSiteHost(href, siteUrl, path);
  if (onSite) HVM_FUZZ_CHECK(path.size() <= href.size());
  std::u16string sitePath;
  if (hvm::HrefToSitePath(href, siteUrl, sitePath)) HVM_FUZZ_CHECK(onSite);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the output size, from far too small to the usual 768.
  size_t outputSize = 1 + static_cast<size_t>(data[0]) * 4;
  std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  CheckBytes(bytes, outputSize);
  // The same bytes as UTF-16 code units: unpaired surrogates and all.
  std::u16string wide(bytes.size() / 2, u'\0');
  std::memcpy(wide.data(), bytes.data(), wide.size() * 2);
  CheckWide(wide, outputSize);
  CheckWide(wide, hvm::kUrlByteBufferSize);
  // And read as text, the way hrefs arrive from XML.
  std::u16string text;
  for (unsigned char c : bytes) text += static_cast<char16_t>(c);
  CheckWide(text, hvm::kUrlByteBufferSize);
  CheckHref(text);
  return 0;
}
