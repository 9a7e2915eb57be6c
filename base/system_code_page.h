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

#endif  // ORBEX_BASE_SYSTEM_CODE_PAGE_H_
