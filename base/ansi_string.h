// Character-level walking of ANSI strings in a multibyte code page.
//
// Portable: no Windows header. The code page is represented by its lead-byte
// test, so the same logic runs with the system's code page on Windows and with
// fixed tables in native fuzzing.
#ifndef ORBEX_BASE_ANSI_STRING_H_
#define ORBEX_BASE_ANSI_STRING_H_

#include <cstddef>
#include <string>

// True when the byte begins a double-byte character in the code page.
using LeadByteTest = bool (*)(unsigned char byte);

// Lead-byte tests for code pages used in tests and fuzzing.
bool NoLeadBytes(unsigned char byte);          // any single-byte code page (1252)
bool CodePage932LeadByte(unsigned char byte);  // Shift-JIS: 0x81-0x9F, 0xE0-0xFC

// Byte length (1 or 2) of the character that starts at `pos`. A lead byte that
// is the last byte of the text is a character of its own: nothing past the end
// is ever read.
size_t CharLengthAt(const std::string& text, size_t pos, LeadByteTest isLeadByte);

// Start of the last character of a non-empty text. Walks from the front:
// a trail byte can look like anything, so the text cannot be read backwards.
size_t LastCharStart(const std::string& text, LeadByteTest isLeadByte);

// True when the text is not empty and its last character (not merely its last
// byte) is `ch`. In code page 932 the trail byte of a double-byte character
// can be 0x5C, the backslash.
bool LastCharIs(const std::string& text, char ch, LeadByteTest isLeadByte);

#endif  // ORBEX_BASE_ANSI_STRING_H_
