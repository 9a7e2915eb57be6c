// The system ANSI code page, for the portable string code: its lead-byte test,
// and how the platform counts a text's length.
#ifndef ORBEX_BASE_SYSTEM_CODE_PAGE_H_
#define ORBEX_BASE_SYSTEM_CODE_PAGE_H_

#include <cstddef>
#include <string>

// IsDBCSLeadByte: true for a lead byte of the system ANSI code page
// (always false in a single-byte code page such as 1252, and in UTF-8).
bool IsSystemLeadByte(unsigned char byte);

// The length of `text` (system ANSI code page) in UTF-16 units, the unit of
// the platform's path limits. A byte that does not decode counts as one.
//   code page    bytes per UTF-16 unit
//   1252         1
//   932          1 or 2
//   UTF-8        1 to 3 (4 bytes give a surrogate pair: 2 units)
size_t Utf16Length(const std::string& text);

// `text` (system code page) in UTF-16; empty when it does not convert.
std::u16string ToUtf16(const std::string& text);

// Upper-cases `text` in place as names are compared without regard to case
// (invariant locale, so the same on every machine). False when it cannot.
bool FoldCase(std::u16string& text);

// `text` (system code page) in UTF-8. The bytes as they are when the system
// code page is UTF-8 itself.
std::string SystemToUtf8(const std::string& text);

// UTF-8 `text` in the system code page. False when it is not well-formed
// UTF-8 or a character has no exact spelling in the code page (a look-alike
// would name another file).
bool Utf8ToSystem(const std::string& text, std::string& converted);

#endif  // ORBEX_BASE_SYSTEM_CODE_PAGE_H_
