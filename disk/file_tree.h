// Folder paths and trees for code that runs beside other threads of its
// host process (StageUpdate, the apply transaction): nothing here changes
// the process's current directory or any other process-wide state.
// CDiskObject (disk_object.h) does the same kind of work through the current
// directory, which another thread of the process may be using meanwhile.
//
// Paths are ANSI, in the system code page, and are cut character by
// character (a trail byte 0x5C is not a backslash). A failure reports the
// failed call's error code and the path it was given, which
// CDiskObject::SetSystemError words as "<system message> <path>".
#ifndef ORBEX_DISK_FILE_TREE_H_
#define ORBEX_DISK_FILE_TREE_H_

#include <string>

struct PathError {
    unsigned long code = 0;
    std::string path;
};

// `path` as a full path ending with a backslash: slashes become
// backslashes, "." and ".." parts are resolved, and a relative path is
// completed from the current directory, which is read, never changed. Says
// nothing about whether the folder exists. False when the platform cannot
// complete the path (its error, and the path as given), and when a part of
// a path that is not a network path holds '*', '?' or a ':' other than the
// drive's (ERROR_INVALID_NAME and the full path). May throw std::bad_alloc.
bool FullFolderPath(const std::string& path, std::string& full, PathError* error = nullptr);

// Creates every missing level of `folder`, a full path ending with a
// backslash; existing levels are left as they are. True when `folder` is a
// folder afterwards. False at the first level that is neither a folder nor
// can be made one (for a file in the way, ERROR_ALREADY_EXISTS), with that
// level's path without a trailing backslash; the levels made before it stay.
// May throw std::bad_alloc.
bool CreateFolderPath(const std::string& folder, PathError* error = nullptr);

// Deletes the tree below `folder` (a full path ending with a backslash)
// bottom-up, then the folder itself, as CDiskObject::DeleteFolderTree does:
// the one tree walk (tree_walk.h), which never follows a link, so a link in
// the tree is neither entered nor removed and the folders holding it stay
// (false, ERROR_DIR_NOT_EMPTY); a `folder` that is itself a link is refused
// (ERROR_CANT_ACCESS_FILE and the folder) and nothing is touched. Stops at
// the first file or folder that cannot be removed (a read-only or open file
// among them), with its path; what was removed before stays removed. A
// missing folder fails as its search does. May throw std::bad_alloc.
bool RemoveFolderTree(const std::string& folder, PathError* error = nullptr);

#endif  // ORBEX_DISK_FILE_TREE_H_
