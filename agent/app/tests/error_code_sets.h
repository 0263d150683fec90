// The code sets each catalogue must hold, written out independently of the
// catalogues, and a scan that finds which codes a catalogue answers.
#pragma once
#include <functional>
#include <initializer_list>
#include <set>

#include "platform/win32.h"

namespace hvm {

inline std::set<DWORD> EnglishCodeSet() {
  std::set<DWORD> codes = {6,     8,     18,    50,    122,   259,   400,   401,   403,   404,
                           405,   409,   412,   415,   416,   423,   424,   500,   501,   502,
                           507,   1000,  12001, 12002, 12004, 12005, 12006, 12007, 12009, 12011,
                           12012, 12015, 12017, 12018, 12019, 12029, 12030, 12032, 12037, 12038,
                           12044, 12045, 12057, 12100, 12101, 12102, 12103, 12150, 12152, 12154,
                           12155, 12156, 12157, 12166, 12167, 12169, 12170, 12172, 12175, 12178,
                           12179, 12180, 12181, 12182, 12183, 12184,
                           0x80004004, 0x80040154, 0x800401E4, 0x800401E6, 0x800401EA,
                           0x80072EE2, 0x80072EE5, 0x80072EE8, 0x80072EFC, 0x80072EFD};
  for (DWORD code = 0x800C0002; code <= 0x800C0010; ++code) codes.insert(code);
  for (int own : {-1, -2, -3, -4, -5, -6, -7, -10}) codes.insert(static_cast<DWORD>(own));
  return codes;
}

inline std::set<DWORD> Without(std::set<DWORD> codes, std::initializer_list<DWORD> removed) {
  for (DWORD code : removed) codes.erase(code);
  return codes;
}

inline std::set<DWORD> DutchCodeSet() { return Without(EnglishCodeSet(), {static_cast<DWORD>(-10)}); }
inline std::set<DWORD> HungarianCodeSet() {
  return Without(DutchCodeSet(), {12001, 12154, 12172});
}
inline std::set<DWORD> ItalianCodeSet() {
  return Without(DutchCodeSet(), {12001, 12009, 12015, 12018, 12019, 12100, 12101, 12102, 12103,
                                  12154, 12155, 12156, 12172, 12181, 12183});
}
inline std::set<DWORD> GermanCodeSet() {
  std::set<DWORD> codes = ItalianCodeSet();
  codes.insert(12185);
  return codes;
}
inline std::set<DWORD> FrenchCodeSet() { return Without(ItalianCodeSet(), {12037, 12170}); }

// Every code a catalogue could plausibly hold: small Windows codes, HTTP,
// WinHTTP, the HRESULT ranges and the agent's negative codes.
inline std::set<DWORD> CodesWithText(const std::function<bool(DWORD)>& hasText) {
  std::set<DWORD> found;
  auto scan = [&](DWORD first, DWORD last) {
    for (DWORD code = first; code <= last; ++code) {
      if (hasText(code)) found.insert(code);
    }
  };
  scan(0, 13000);
  scan(0x80004000, 0x80004010);
  scan(0x80040150, 0x80040160);
  scan(0x800401E0, 0x800401F0);
  scan(0x80072EE0, 0x80072F00);
  scan(0x800C0000, 0x800C0020);
  scan(0xFFFFFFE0, 0xFFFFFFFE);
  if (hasText(0xFFFFFFFF)) found.insert(0xFFFFFFFF);
  return found;
}

}  // namespace hvm
