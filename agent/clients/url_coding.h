// Percent coding of server paths. File names are UTF-16; the wire wants
// percent-encoded UTF-8, and hrefs from servers come back in either that form
// or with raw Latin-1 umlauts, which the decoder repairs.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace hvm {

// Every 8-bit intermediate of the coding works within this many bytes,
// terminator included.
inline constexpr size_t kUrlByteBufferSize = 768;

// Encodes a UTF-16 path: bytes of the escaped set, control characters and
// every byte of 128 or more become "%XX". Returns false (and logs) when the text does not fit;
// callers then use the path as it is.
bool encodeUrl(const char16_t* input, char16_t* output, size_t outputChars);

// Decodes an href into a UTF-16 name, repairing raw Latin-1 umlauts on the way.
// Other bytes that are no UTF-8 become U+FFFD.
bool decodeUrl(const char16_t* input, char16_t* output, size_t outputChars);
// The same for a name a listing names, but false when its bytes are no UTF-8
// even after the repair: the drive would ask the server for other bytes (a
// U+FFFD of its own), and two such names would show as one.
bool decodeUrlName(const char16_t* input, char16_t* output, size_t outputChars);

// "%XX" (either case) becomes the byte it denotes; a "%" without two
// hexadecimal digits after it is kept. "%00" is kept too: a NUL would cut
// the name short.
std::string PercentDecode(std::string_view text);

// Rewrites stray Latin-1 umlaut bytes (those not part of a valid UTF-8
// sequence) as "%C3%XX" and bytes of the escaped set as "%XX"; copies
// everything else. Terminates the output. Returns the length written, or -1
// when the result and its terminator would not fit into outputSize bytes.
int RepairUmlauts(std::string_view input, char* output, size_t outputSize);

}  // namespace hvm
