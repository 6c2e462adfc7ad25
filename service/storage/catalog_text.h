// Small text helpers shared by the catalog classes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kelva::storage {

// Converts name to UTF-8 into *out; false when the UTF-8 form with its terminator
// would need more than limit bytes.
bool NameToUtf8(std::u16string_view name, size_t limit, std::string* out);

// Converts UTF-8 text read from a catalog to UTF-16, keeping at most max_units
// units (a surrogate pair is never split).
std::u16string NameFromUtf8(std::string_view utf8, size_t max_units);
// The same into *out, reusing its storage (enumerations read many rows).
void AssignNameFromUtf8(std::string_view utf8, size_t max_units, std::u16string* out);

// Number of characters (code points) of name, as SQLite's length() and substr()
// count them for the UTF-8 form; an unpaired surrogate counts as one.
size_t CharacterCount(std::u16string_view name);

inline bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
inline bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace kelva::storage
