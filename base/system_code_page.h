// The lead-byte test of the system ANSI code page, for the portable string code.
#ifndef ORBEX_BASE_SYSTEM_CODE_PAGE_H_
#define ORBEX_BASE_SYSTEM_CODE_PAGE_H_

// IsDBCSLeadByte: true for a lead byte of the system ANSI code page
// (always false in a single-byte code page such as 1252).
bool IsSystemLeadByte(unsigned char byte);

#endif  // ORBEX_BASE_SYSTEM_CODE_PAGE_H_
