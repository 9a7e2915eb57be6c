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

#include "base/sha256.h"
#include "disk/path_string.h"  // StringList

// header, records and "*end", each followed by CR LF.
std::string FormatListFile(const std::string& header, const StringList& records);

// The records of `text` and the lines after its "*end". False when the
// first line is not `header` or there is no "*end" line. CR LF and LF both
// end a line; a last line without its line break counts only after "*end".
bool ParseListFile(const std::string& text, const std::string& header, StringList& records,
                   StringList& afterEnd);

// A version's list. Format 1 has a path a record (a folder's ends with a
// backslash). Format 2 gives each file its size and SHA-256 and says whether
// the staged tree carries it:
//   d <folder>\
//   s <size> <64 hex digits> <file>     carried by the staged tree
//   k <size> <64 hex digits> <file>     kept from the installation
// Fixed fields first: a path may hold spaces, never a line break.
extern const char kVersionListHeader1[];  // "Orbex version list 1"
extern const char kVersionListHeader2[];  // "Orbex version list 2"

struct VersionEntry {
    std::string path;         // relative to the data folder; a folder ends with a backslash
    bool hasDigest = false;   // a format 2 file: size and digest are known
    bool staged = false;      // the staged tree carries it
    unsigned long long size = 0;
    Sha256Digest digest{};
};

// The format 2 record of `entry` (the path as it is given).
std::string FormatVersionRecord(const VersionEntry& entry);

// `record` of a format 1 or (with `withDigests`) format 2 list. False when
// it is not of that form: a field missing or malformed, a file without its
// fields or a folder with them. The path is not checked here.
bool ParseVersionRecord(const std::string& record, bool withDigests, VersionEntry& entry);

#endif  // ORBEX_UPDATE_LIST_FILE_H_
