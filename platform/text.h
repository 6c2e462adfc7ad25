// Text helpers: UTF-8 <-> UTF-16 conversion, the system's case folding and the
// "*" / "?" wildcard matcher. Names are UTF-16 in memory and compared without
// regard to case by simple upper-casing of UTF-16 code units, the way the
// original file systems compare them; every lookup in Kelva uses these.
#pragma once

#include <string>
#include <string_view>

namespace kelva::platform {

// Converts UTF-8 to UTF-16. Invalid sequences become U+FFFD; never fails.
std::u16string Utf8ToUtf16(std::string_view utf8);

// Converts UTF-16 to UTF-8. Unpaired surrogates become U+FFFD; never fails.
std::string Utf16ToUtf8(std::u16string_view utf16);

// Simple upper-case mapping of one UTF-16 code unit (Latin, Greek, Cyrillic,
// Armenian, full-width Latin). Code units without a mapping are returned as they are.
char16_t UpCase(char16_t c);
std::u16string UpCase(std::u16string_view s);

// True when a and b are equal after UpCase of every code unit.
bool EqualNoCase(std::u16string_view a, std::u16string_view b);
// <0, 0, >0 like wcsicmp with the UpCase folding.
int CompareNoCase(std::u16string_view a, std::u16string_view b);

// Matches name against pattern, where "*" stands for any run of code units and
// "?" for exactly one, compared without regard to case. Runs in O(n*m) worst case.
bool WildcardMatch(std::u16string_view pattern, std::u16string_view name);
inline bool HasWildcards(std::u16string_view s) {
  return s.find(u'*') != std::u16string_view::npos || s.find(u'?') != std::u16string_view::npos;
}

}  // namespace kelva::platform
