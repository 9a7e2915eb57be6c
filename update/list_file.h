// The text form of the update machinery's files (a version's list, the
// apply journal): a header line naming the kind and its format, one record
// a line, then the line "*end"; lines end with CR LF. A file cut short (by a
// power cut while it was written) lacks the "*end" line and is refused
// whole. Lines after "*end" are for marks appended to a file already
// written (the journal's "commit").
//
// Portable: no Windows header. The records are bytes (UTF-8 in practice);
// a record holds no line break and is never "*end".
#ifndef ORBEX_UPDATE_LIST_FILE_H_
#define ORBEX_UPDATE_LIST_FILE_H_

#include <string>

#include "disk/path_string.h"  // StringList

// header, records and "*end", each followed by CR LF.
std::string FormatListFile(const std::string& header, const StringList& records);

// The records of `text` and the lines after its "*end". False when the
// first line is not `header` or there is no "*end" line. CR LF and LF both
// end a line; a last line without its line break counts only after "*end".
bool ParseListFile(const std::string& text, const std::string& header, StringList& records,
                   StringList& afterEnd);

#endif  // ORBEX_UPDATE_LIST_FILE_H_
