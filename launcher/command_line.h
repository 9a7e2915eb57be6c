// The launcher's command line: splitting it into arguments, choosing the one
// argument that is handed on, and quoting that argument for the main program.
//
// Portable: no Windows header, the code page enters as its lead-byte test, so
// the same code is unit-tested and fuzzed natively.
//
// The splitting is our own and does not use the C runtime's argv: msvcrt, ucrt
// and Wine's runtime differ on "" inside a quoted stretch, and the launcher
// must behave the same whichever runtime it is linked with.
#ifndef ORBEX_LAUNCHER_COMMAND_LINE_H_
#define ORBEX_LAUNCHER_COMMAND_LINE_H_

#include <string>
#include <vector>

#include "base/ansi_string.h"

// The arguments after the program's own name, split by these rules:
// - the program name, when it begins with a double quote, runs to the next
//   double quote (backslashes plain), and the next argument may begin right
//   after it; otherwise it runs to the first space or tab;
// - spaces and tabs separate arguments, a run of them counts as one;
// - a double quote begins or ends a quoted stretch and is dropped; inside a
//   stretch "" gives one literal quote and ends the stretch; an unclosed
//   stretch runs to the end;
// - 2n backslashes before a quote give n backslashes and a quote that acts as
//   above; 2n+1 give n backslashes and a literal quote; elsewhere backslashes
//   are plain;
// - a lead byte is taken together with the byte after it, which is then never
//   a quote or separator; a lead byte that ends the text stands alone.
// Never reads past the end of the text; the result never holds more bytes
// than the text.
std::vector<std::string> SplitCommandLineArguments(const std::string& commandLine,
                                                   LeadByteTest isLeadByte);

// The first argument that is not empty and does not begin with '-' or '/'
// (a switch); empty when there is none.
std::string ChooseForwardedArgument(const std::vector<std::string>& arguments);

// The parameter string that makes the main program's C runtime, splitting by
// the rules above, see exactly `argument` as its one argument:
// - unchanged when it is not empty and holds no space, tab, line feed,
//   vertical tab or double quote (the common case: a plain path or address);
// - otherwise in double quotes, each double quote escaped as \", and each run
//   of backslashes that precedes a double quote or the closing quote doubled.
// Double-byte aware: a trail byte 0x5C is part of its character, not a
// backslash. An argument that ends with a lone lead byte gets no closing
// quote (the stretch runs to the end of the command line, where the parameter
// string stands): a closing quote would be taken as that lead byte's trail byte.
std::string QuoteArgument(const std::string& argument, LeadByteTest isLeadByte);

#endif  // ORBEX_LAUNCHER_COMMAND_LINE_H_
