#include "disk/tree_walk.h"

#include "base/ansi_string.h"
#include "base/scoped_handle.h"
#include "base/system_code_page.h"

namespace {

bool IsDotEntry(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

bool Walk(const std::string& folder, bool withFiles, TreeWalk& walk) {
    const size_t self = walk.folders.size();
    walk.folders.push_back(TreeFolder{folder, {}});
    const std::string search = folder + "*.*";
    WIN32_FIND_DATAA entry;
    SearchHandle owner(FindFirstEntry(search, entry));
    if (!owner.IsOpen()) {
        walk.errorCode = GetLastError();
        walk.errorPattern = search;
        return false;
    }
    do {
        if (IsDotEntry(entry.cFileName))
            continue;
        const bool isFolder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        // A junction or folder link may lead out of the tree; deleting
        // through it would destroy what it points to.
        if (IsLinkEntry(entry.dwFileAttributes, entry.dwReserved0)) {
            walk.links.push_back(folder + entry.cFileName + (isFolder ? "\\" : ""));
        } else if (isFolder) {
            if (!Walk(folder + entry.cFileName + '\\', withFiles, walk))
                return false;
        } else if (withFiles) {
            walk.folders[self].files.push_back(TreeFile{
                entry.cFileName, entry.dwFileAttributes,
                (static_cast<unsigned long long>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow});
        }
    } while (FindNextEntry(owner.get(), entry));
    const DWORD code = GetLastError();
    if (code != ERROR_NO_MORE_FILES) {
        walk.errorCode = code;
        walk.errorPattern = search;
        return false;
    }
    return true;
}

}  // namespace

bool IsLinkEntry(DWORD attributes, DWORD reparseTag) {
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    return reparseTag == 0 || IsReparseTagNameSurrogate(reparseTag);
}

HANDLE FindFirstEntry(const std::string& pattern, WIN32_FIND_DATAA& entry) {
    entry.dwReserved0 = 0;
    return FindFirstFileA(pattern.c_str(), &entry);
}

bool FindNextEntry(HANDLE search, WIN32_FIND_DATAA& entry) {
    entry.dwReserved0 = 0;
    return FindNextFileA(search, &entry) != FALSE;
}

bool IsLinkAt(const std::string& path) {
    if (path.empty() || LastCharIs(path, ':', IsSystemLeadByte))
        return false;
    WIN32_FIND_DATAA entry;
    SearchHandle search(FindFirstEntry(path, entry));
    return search.IsOpen() && IsLinkEntry(entry.dwFileAttributes, entry.dwReserved0);
}

bool IsFolderLink(const std::string& folder) {
    return !folder.empty() && IsLinkAt(folder.substr(0, folder.size() - 1));
}

bool WalkTree(const std::string& root, bool withFiles, TreeWalk& walk) {
    return Walk(root, withFiles, walk);
}
