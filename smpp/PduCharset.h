// Conversion between the system's byte-string character set and UTF-16, for UCS-2 short messages.
//
// The system's character set is that of the current locale (LC_CTYPE). A program that never set a
// locale runs in the plain "C" locale, whose character set is ASCII; Linux texts are UTF-8, so that
// case is taken as UTF-8 too rather than losing every non-ASCII character. UTF-8 is converted here
// directly; any other character set goes through iconv. Whatever cannot be converted becomes '?'.
//
// Threads: the functions may be called from any thread; they keep no state between calls.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The UTF-16 code units of Text.
std::u16string TextToUtf16(std::string_view Text);

// The text of Count UTF-16 code units.
std::string Utf16ToText(const char16_t* Units, size_t Count);

// True when the system's character set is taken as UTF-8 (see above): a decoder may then write
// UTF-8 itself instead of going through UTF-16.
bool SystemTextIsUtf8() noexcept;
