#include "disk/file_tree.h"

#include <windows.h>

#include <vector>

#include "base/ansi_string.h"
#include "base/system_code_page.h"
#include "disk/path_string.h"
#include "disk/tree_walk.h"

namespace {

bool Fail(unsigned long code, const std::string& path, PathError* error) {
    if (error)
        *error = PathError{code, path};
    return false;
}

bool IsFolderAt(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

bool FullFolderPath(const std::string& path, std::string& full, PathError* error) {
    std::vector<char> buffer(MAX_PATH);
    // A buffer too small gives the size needed, terminator included. Another
    // thread may change the current directory between two calls, hence the
    // loop.
    for (int attempt = 0;; ++attempt) {
        const DWORD length = GetFullPathNameA(path.c_str(), static_cast<DWORD>(buffer.size()),
                                              buffer.data(), nullptr);
        if (length == 0)
            return Fail(GetLastError(), path, error);
        if (length < buffer.size()) {
            full.assign(buffer.data(), length);
            break;
        }
        if (attempt == 3)
            return Fail(ERROR_INSUFFICIENT_BUFFER, path, error);
        buffer.resize(length + 1);
    }
    if (!LastCharIs(full, '\\', IsSystemLeadByte))
        full += '\\';
    // The platform would take "name:stream" for a stream of a file and
    // wildcards for a pattern, so the path would not name the folder.
    // Network paths are left as given, as CDiskObject leaves them.
    if (full.compare(0, 2, "\\\\") != 0 &&
        ContainsAnyChar(SplitPath(full, IsSystemLeadByte).folder, ":*?", IsSystemLeadByte))
        return Fail(ERROR_INVALID_NAME, full, error);
    return true;
}

bool CreateFolderPath(const std::string& folder, PathError* error) {
    // Nearly every folder of an update exists already: one query then does.
    if (IsFolderAt(folder))
        return true;
    const PathParts parts = SplitPath(folder, IsSystemLeadByte);
    const FolderLevels walk = SplitFolderLevels(parts.drive, parts.folder, IsSystemLeadByte);
    std::string level = walk.root;
    for (const std::string& name : walk.levels) {
        level += '\\' + name;
        if (CreateDirectoryA(level.c_str(), nullptr))
            continue;
        // An existing level fails too, with ERROR_ALREADY_EXISTS, or, for a
        // network share or a folder the user may not write, with another
        // error: only what is there decides.
        const DWORD code = GetLastError();
        if (!IsFolderAt(level))
            return Fail(code, level, error);
    }
    return true;
}

bool RemoveFolderTree(const std::string& folder, PathError* error) {
    if (IsFolderLink(folder))
        return Fail(ERROR_CANT_ACCESS_FILE, folder, error);
    TreeWalk walk;
    if (!WalkTree(folder, true, walk))
        return Fail(walk.errorCode, walk.errorPattern, error);
    // Backwards through the pre-order: every folder goes after the folders
    // below it, so each removal meets a folder its own files have left.
    for (auto it = walk.folders.rbegin(); it != walk.folders.rend(); ++it) {
        for (const TreeFile& file : it->files) {
            const std::string path = it->path + file.name;
            if (!DeleteFileA(path.c_str()))
                return Fail(GetLastError(), path, error);
        }
        if (!RemoveDirectoryA(it->path.c_str()))
            return Fail(GetLastError(), it->path, error);
    }
    return true;
}
