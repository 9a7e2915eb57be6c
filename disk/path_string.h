// Path strings in the system ANSI code page: splitting, searching, joining and
// ordering, character by character.
//
// Portable: no Windows header. The code page comes in as its lead-byte test
// (IsSystemLeadByte on Windows, a fixed table in tests and fuzzing). Every
// function accepts any byte sequence, including a lead byte at the very end,
// and never reads outside the string.
#ifndef ORBEX_DISK_PATH_STRING_H_
#define ORBEX_DISK_PATH_STRING_H_

#include <cstddef>
#include <string>
#include <vector>

#include "base/ansi_string.h"

using StringList = std::vector<std::string>;

// A path cut the way the C runtime's path splitter cuts it:
//   drive      the first two characters when the second is ':'
//   folder     after the drive, up to and including the last '\' or '/'
//   name       what lies between folder and extension
//   extension  from the last '.' after the folder to the end, '.' included
// Unlike the runtime, no part is cut to 255 bytes: a cut would let a long
// path lose its tail unnoticed, and let a ':' beyond the cut pass validation.
struct PathParts {
    std::string drive;
    std::string folder;
    std::string name;
    std::string extension;
};
PathParts SplitPath(const std::string& path, LeadByteTest isLeadByte);

// Byte offset of the first character `ch` at or after `from` (which must be
// the start of a character), or std::string::npos. A trail byte is never
// taken for `ch`.
size_t FindChar(const std::string& text, char ch, LeadByteTest isLeadByte, size_t from = 0);

// True when the text holds any of the single-byte characters in `chars`.
bool ContainsAnyChar(const std::string& text, const char* chars, LeadByteTest isLeadByte);

// Every character `from` becomes `to`; trail bytes are left alone.
void ReplaceChar(std::string& text, char from, char to, LeadByteTest isLeadByte);

// folder + rest with exactly one backslash between them: none is added when
// the folder already ends with one (a drive root such as "C:\"), so no
// doubled backslash can make the result look like a network path.
std::string JoinFolder(const std::string& folder, const std::string& rest,
                       LeadByteTest isLeadByte);

// Removes space, tab, line feed, vertical tab, form feed and carriage return
// from both ends.
std::string TrimWhiteSpace(const std::string& text);

// Orders two strings by their characters' codes: a double-byte character
// counts as lead byte * 256 + trail byte, any other byte as its unsigned
// value; a string that is a prefix of another sorts first. Case-sensitive,
// so "C.txt" sorts before "a.txt". Negative, zero or positive.
int CompareCodePage(const std::string& a, const std::string& b, LeadByteTest isLeadByte);

// Puts `names` into `list` in CompareCodePage order. Each name lands after
// every element that compares equal to it, those already in the list and
// those earlier in `names`, so equal strings keep their arrival order. The
// list must already be in that order (an empty list is). O(n log n).
void InsertSorted(StringList& list, StringList names, LeadByteTest isLeadByte);

// A normalised folder cut into what folder creation walks through: the root
// (the drive, "\\server" for a network path, or empty) and the level names
// below it. An empty name between two doubled backslashes is a level of its
// own. `folder` is the folder part from SplitPath.
struct FolderLevels {
    std::string root;
    StringList levels;
};
FolderLevels SplitFolderLevels(const std::string& drive, const std::string& folder,
                               LeadByteTest isLeadByte);

#endif  // ORBEX_DISK_PATH_STRING_H_
