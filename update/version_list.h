// A version's list: every file and folder of one version of the
// installation, relative to the data folder (a folder ends with a
// backslash), each file with its size and SHA-256 and whether the staged
// tree carries it (list_file.h). The stager writes the staged version's
// list into the staged tree; the apply step keeps the installed version's
// list beside it. Lists of format 1 (paths only), staged before sizes and
// digests were written, still read.
#ifndef ORBEX_UPDATE_VERSION_LIST_H_
#define ORBEX_UPDATE_VERSION_LIST_H_

#include <string>

#include <vector>

#include "disk/path_string.h"  // StringList
#include "update/list_file.h"  // VersionEntry

using VersionEntries = std::vector<VersionEntry>;

// Writes `entries` (paths in the system code page) to `path` as a format 2
// list in UTF-8, so the list reads the same under any code page; flushed to
// the disk before it returns. 0, or the error code of the call that failed.
// Entries are not checked here: the reader refuses a list holding one.
unsigned long WriteVersionList(const std::string& path, const VersionEntries& entries);

// The entries of the list at `path`, of either format, paths in the system
// code page. False, with `entries` empty, when the file cannot be read, is
// not a whole list (cut short, or not a list), or any record is malformed
// or names a path that fails IsInstallationPath or has no exact spelling in
// the system code page: a list that fails the check is used for nothing.
// `withDigests`, when given, tells whether the file claims format 2, also
// when it fails. May throw std::bad_alloc.
bool ReadVersionList(const std::string& path, VersionEntries& entries,
                     bool* withDigests = nullptr);

// The records of the list file at `path` whose first line is `header`
// (list_file.h), and its lines after the end. False when it cannot be read
// or is not a whole such file. May throw std::bad_alloc.
bool ReadListFileAt(const std::string& path, const char* header, StringList& records,
                    StringList& afterEnd);

// An entry read from such a file, in the system code page. False when it
// fails IsInstallationPath or has no exact spelling in the code page.
bool EntryFromList(const std::string& record, std::string& entry);

#endif  // ORBEX_UPDATE_VERSION_LIST_H_
