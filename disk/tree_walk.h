// The one walk of a folder tree and the one rule for what counts as a link,
// shared by CDiskObject, the stager and the apply step: none of them ever
// follows a link out of the tree it was given.
#ifndef ORBEX_DISK_TREE_WALK_H_
#define ORBEX_DISK_TREE_WALK_H_

#include <windows.h>

#include <string>
#include <vector>

#include "disk/path_string.h"  // StringList

// True when a directory entry with these attributes and reparse tag (from a
// find, the tag in dwReserved0) is a link, to be neither followed, listed
// as an ordinary entry, nor removed:
//   no reparse-point attribute              not a link
//   name-surrogate tag (symbolic link,      a link
//   junction, and the like)
//   other tag (cloud placeholder,           an ordinary file or folder
//   deduplicated file, and the like)
//   tag 0 (unknown: Wine writes none)       a link, to be safe
bool IsLinkEntry(DWORD attributes, DWORD reparseTag);

// FindFirstFileA and FindNextFileA with the entry's reparse tag zeroed
// first: Windows writes the tag for every reparse point, Wine leaves the
// field as it was, and zero then reads as "tag unknown".
HANDLE FindFirstEntry(const std::string& pattern, WIN32_FIND_DATAA& entry);
bool FindNextEntry(HANDLE search, WIN32_FIND_DATAA& entry);

// True when the entry at `path` (a file or a folder, written without a
// trailing backslash) is a link. Asked of the entry in its parent folder:
// with a trailing backslash, Wine answers for a link's target instead. A
// drive root has no entry of its own and is never a link.
bool IsLinkAt(const std::string& path);
// IsLinkAt for a normalised folder, ending with a backslash.
bool IsFolderLink(const std::string& folder);

struct TreeFile {
    std::string name;
    DWORD attributes;
    unsigned long long size;
};

struct TreeFolder {
    std::string path;             // ends with a backslash
    std::vector<TreeFile> files;  // in the platform's order; only when asked for
};

struct TreeWalk {
    // The walked folder first, then every folder below it in pre-order (a
    // folder before the folders below it, siblings in the platform's order).
    std::vector<TreeFolder> folders;
    // Every link met, never entered: its full path, a folder link ending
    // with a backslash.
    StringList links;
    // On failure: the failed call's error code and the search pattern.
    DWORD errorCode = 0;
    std::string errorPattern;
};

// Walks `root`, a normalised folder ending with a backslash, with one search
// per folder, appending to `walk`. A folder is appended before it is
// searched, so one whose search fails stays in the list. False when a
// search cannot start (also for a missing root, or one that is a file) or
// ends early with an error other than the end of the entries: a listing cut
// short is never taken for a whole one. May throw std::bad_alloc.
bool WalkTree(const std::string& root, bool withFiles, TreeWalk& walk);

#endif  // ORBEX_DISK_TREE_WALK_H_
