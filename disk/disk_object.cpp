#include "disk/disk_object.h"

#include <windows.h>

#include <utility>

#include "base/current_directory.h"
#include "base/scoped_handle.h"
#include "base/system_code_page.h"
#include "disk/file_io.h"
#include "disk/path_string.h"
#include "disk/tree_walk.h"

namespace {

const char kInternalErrorText[] = "CDiskObject internal error - check call parameters";
const char kAllFiles[] = "*.*";

// Remembers the current directory and makes it current again when it goes,
// whichever way the operation that holds it ends. An operation that is about
// to change the current directory asks IsSaved() first and fails while it is
// false: it could not come back, and the process would stay elsewhere.
//
// What GetCurrentDirectoryA can give, and why it is entered again at once:
//   directory                               reads as                 enters again
//   any, spelt in the system code page      its name, whole          yes
//   characters the code page cannot spell   '?' in their place       no (invalid name)
//                                           or a best-fit letter     only if that folder exists
//   (the query fails)                       nothing                  -
class CurrentDirectoryKeeper {
public:
    CurrentDirectoryKeeper() : saved_(CurrentDirectory(&error_)) {
        if (saved_.empty())
            return;
        if (!SetCurrentDirectoryA(saved_.c_str())) {
            error_ = GetLastError();
            unsaved_.swap(saved_);
        }
    }
    ~CurrentDirectoryKeeper() {
        if (!saved_.empty())
            SetCurrentDirectoryA(saved_.c_str());
    }
    CurrentDirectoryKeeper(CurrentDirectoryKeeper&&) = delete;
    CurrentDirectoryKeeper& operator=(CurrentDirectoryKeeper&&) = delete;
    CurrentDirectoryKeeper(const CurrentDirectoryKeeper&) = delete;
    CurrentDirectoryKeeper& operator=(const CurrentDirectoryKeeper&) = delete;

    bool IsSaved() const { return !saved_.empty(); }
    // When not saved: the failed call's error code, and the directory as it
    // read (empty when it could not be read at all).
    unsigned long Error() const { return error_; }
    const std::string& Unsaved() const { return unsaved_; }

private:
    unsigned long error_ = 0;
    std::string saved_;
    std::string unsaved_;
};

// Owns a buffer that FormatMessageA allocated.
class LocalBuffer {
public:
    LocalBuffer() = default;
    ~LocalBuffer() {
        if (buffer_)
            LocalFree(buffer_);
    }
    LocalBuffer(LocalBuffer&& other) noexcept : buffer_(other.buffer_) { other.buffer_ = nullptr; }
    LocalBuffer& operator=(LocalBuffer&&) = delete;
    LocalBuffer(const LocalBuffer&) = delete;
    LocalBuffer& operator=(const LocalBuffer&) = delete;

    char** receiver() { return &buffer_; }
    const char* get() const { return buffer_; }

private:
    char* buffer_ = nullptr;
};

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

}  // namespace

bool CDiskObject::RefuseFolderLink(const std::string& folder) {
    if (!IsFolderLink(folder))
        return false;
    SetSystemError(ERROR_CANT_ACCESS_FILE, folder);
    return true;
}

bool CDiskObject::StartWithRequiredPath(const std::string& path, bool isFolder,
                                        std::string& normalised) {
    ClearError();
    if (path.empty()) {
        SetInternalError();
        return false;
    }
    normalised = path;
    return isFolder ? NormalizeFolderPath(normalised) : NormalizeFilePath(normalised);
}

void CDiskObject::ClearError() {
    m_errorText.clear();
}

void CDiskObject::SetInternalError() {
    m_errorText = kInternalErrorText;
}

void CDiskObject::SetSystemError(unsigned long code, const std::string& detail) {
    // Without IGNORE_INSERTS a message holding %1 would be formatted against
    // the argument list we do not pass.
    LocalBuffer message;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                   reinterpret_cast<char*>(message.receiver()), 0, nullptr);
    m_errorText = TrimWhiteSpace(message.get() ? message.get() : "");
    if (!detail.empty())
        m_errorText += ' ' + detail;
}

bool CDiskObject::IsValidPathPart(const std::string& text) {
    return !ContainsAnyChar(text, ":*?", IsSystemLeadByte);
}

bool CDiskObject::NormalizeFolderPath(std::string& path) {
    ReplaceChar(path, '/', '\\', IsSystemLeadByte);
    // The last character, not the last byte: a double-byte character of code
    // page 932 can end in 0x5C.
    if (!path.empty() && !LastCharIs(path, '\\', IsSystemLeadByte))
        path += '\\';
    if (StartsWith(path, "\\\\"))
        return true;
    return NormalizeFilePath(path);
}

bool CDiskObject::NormalizeFilePath(std::string& path) {
    ReplaceChar(path, '/', '\\', IsSystemLeadByte);
    const PathParts parts = SplitPath(path, IsSystemLeadByte);

    if (parts.drive.empty()) {
        unsigned long error = 0;
        const std::string current = CurrentDirectory(&error);
        const bool network = parts.folder.size() > 2 && StartsWith(parts.folder, "\\\\");
        // A path completed from nothing would name another place.
        if (!network && current.empty()) {
            SetSystemError(error, path);
            return false;
        }
        if (network) {
            // A network path: nothing to complete.
        } else if (parts.folder.size() > 2 && StartsWith(parts.folder, "..\\")) {
            CurrentDirectoryKeeper keeper;
            if (!keeper.IsSaved()) {
                SetSystemError(keeper.Error(), keeper.Unsaved());
                return false;
            }
            std::string folder = parts.folder;
            while (folder.size() > 2 && StartsWith(folder, "..\\")) {
                // At a root there is no level up; the directory stays put.
                SetCurrentDirectoryA("..");
                folder.erase(0, 3);
            }
            path = JoinFolder(CurrentDirectory(), folder + parts.name + parts.extension,
                              IsSystemLeadByte);
        } else if (!parts.folder.empty() && parts.folder[0] == '\\') {
            // A current directory on a network path has no drive to lend.
            path = SplitPath(current, IsSystemLeadByte).drive + path;
        } else {
            path = JoinFolder(current, path, IsSystemLeadByte);
        }
    }

    if (!IsValidPathPart(parts.folder) || !IsValidPathPart(parts.name) ||
        !IsValidPathPart(parts.extension)) {
        SetInternalError();
        return false;
    }
    return true;
}

bool CDiskObject::IsExistingFolder(const std::string& folder) {
    std::string copy;
    if (!StartWithRequiredPath(folder, true, copy))
        return false;
    CurrentDirectoryKeeper keeper;
    if (!keeper.IsSaved()) {
        SetSystemError(keeper.Error(), keeper.Unsaved());
        return false;
    }
    return SetCurrentDirectoryA(copy.c_str()) != FALSE;
}

bool CDiskObject::ListFolderFiles(const std::string& folder, StringList& list, bool fullPaths) {
    return ListFolderFilesMatching(kAllFiles, folder, list, fullPaths);
}

bool CDiskObject::ListFolderFilesMatching(const std::string& pattern, const std::string& folder,
                                          StringList& list, bool fullPaths) {
    ClearError();
    std::string copy = folder;
    if (!NormalizeFolderPath(copy))
        return false;
    // A folder that cannot be entered lists as empty; a current directory
    // that cannot be kept is a failure (IsExistingFolder set the text).
    if (!IsExistingFolder(copy))
        return m_errorText.empty();
    if (RefuseFolderLink(copy))
        return false;

    const std::string search = copy + pattern;
    WIN32_FIND_DATAA entry;
    HANDLE handle = FindFirstEntry(search, entry);
    if (handle == INVALID_HANDLE_VALUE) {
        SetSystemError(GetLastError(), search);
        return false;
    }
    SearchHandle owner(handle);

    StringList names;
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
            IsLinkEntry(entry.dwFileAttributes, entry.dwReserved0))
            continue;
        names.push_back(fullPaths ? copy + entry.cFileName : std::string(entry.cFileName));
    } while (FindNextEntry(handle, entry));
    InsertSorted(list, std::move(names), IsSystemLeadByte);
    return true;
}

bool CDiskObject::ListFolderTree(const std::string& folder, StringList& list, bool fullPaths) {
    std::string copy = folder;
    if (!NormalizeFolderPath(copy))
        return false;
    if (RefuseFolderLink(copy))
        return false;
    const bool result = CollectSubfolders(folder, list);
    if (!fullPaths) {
        for (std::string& element : list) {
            if (element.size() > copy.size()) {
                element.erase(0, copy.size());
                element.pop_back();
            } else {
                element.clear();
            }
        }
    }
    return result;
}

bool CDiskObject::CollectSubfolders(const std::string& folder, StringList& list) {
    ClearError();
    std::string copy = folder;
    if (!NormalizeFolderPath(copy))
        return false;
    std::vector<FolderFiles> tree;
    const bool result = CollectTreeFiles(copy, tree, false);
    // The first entry is the folder itself.
    for (size_t i = 1; i < tree.size(); ++i)
        list.push_back(std::move(tree[i].folder));
    return result;
}

bool CDiskObject::CollectTreeFiles(const std::string& folder, std::vector<FolderFiles>& tree,
                                   bool withFiles) {
    TreeWalk walk;
    const bool result = WalkTree(folder, withFiles, walk);
    if (!result)
        SetSystemError(walk.errorCode, walk.errorPattern);
    tree.reserve(tree.size() + walk.folders.size());
    for (TreeFolder& walked : walk.folders) {
        StringList names;
        names.reserve(walked.files.size());
        for (TreeFile& file : walked.files)
            names.push_back(std::move(file.name));
        tree.push_back(FolderFiles{std::move(walked.path), StringList()});
        InsertSorted(tree.back().names, std::move(names), IsSystemLeadByte);
    }
    return result;
}

bool CDiskObject::MakeFolderPath(const std::string& folder) {
    std::string copy;
    if (!StartWithRequiredPath(folder, true, copy))
        return false;
    const PathParts parts = SplitPath(copy, IsSystemLeadByte);
    // The path splitter's limit for a folder part, counted as the platform
    // counts it: in UTF-16 units, not in bytes (a path under the platform's
    // limit can take three times as many bytes in UTF-8).
    if (Utf16Length(parts.folder) > 255) {
        SetSystemError(ERROR_FILENAME_EXCED_RANGE, copy);
        return false;
    }

    const FolderLevels walk = SplitFolderLevels(parts.drive, parts.folder, IsSystemLeadByte);
    // A path whose every level already exists as a folder, reached through
    // plain level names, needs no walk: the walk would create nothing. An
    // update applied over an installation meets this for nearly every
    // folder, so it is asked of the attributes alone, without entering the
    // folder (every user holds the right to bypass traverse checks, so a
    // folder that exists can be entered). Names such as "" or ".." are left
    // to the walk, which would create the levels they skip.
    std::string whole = walk.root;
    bool plainLevels = true;
    for (const std::string& level : walk.levels) {
        whole += '\\' + level;
        if (level.empty() || level == "." || level == "..")
            plainLevels = false;
    }
    if (plainLevels) {
        const DWORD attributes = GetFileAttributesA(whole.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            return true;
    }

    CurrentDirectoryKeeper keeper;
    if (!keeper.IsSaved()) {
        SetSystemError(keeper.Error(), keeper.Unsaved());
        return false;
    }
    std::string current = walk.root;
    for (const std::string& level : walk.levels) {
        current += '\\' + level;
        // An existing level is entered and its creation fails harmlessly;
        // a missing one is created. Only the final entry below decides.
        SetCurrentDirectoryA(current.c_str());
        CreateDirectoryA(current.c_str(), nullptr);
    }
    if (!SetCurrentDirectoryA(current.c_str())) {
        SetSystemError(GetLastError(), current);
        return false;
    }
    return true;
}

bool CDiskObject::CopyFolderFiles(const std::string& source, const std::string& target) {
    ClearError();
    std::string from = source;
    std::string to = target;
    if (!NormalizeFolderPath(from) || !NormalizeFolderPath(to))
        return false;
    StringList names;
    if (!ListFolderFiles(from, names, false))
        return false;
    return CopyNamedFiles(from, to, names);
}

bool CDiskObject::CopyNamedFiles(const std::string& from, const std::string& to,
                                 const StringList& names) {
    if (!MakeFolderPath(to))
        return false;
    for (const std::string& name : names) {
        const std::string sourceFile = from + name;
        const std::string targetFile = to + name;
        if (!CopyFileA(sourceFile.c_str(), targetFile.c_str(), FALSE)) {
            SetSystemError(GetLastError(), sourceFile + " -> " + targetFile);
            return false;
        }
        const DWORD flushError = FlushFileToDisk(targetFile);
        if (flushError) {
            SetSystemError(flushError, targetFile);
            return false;
        }
    }
    return true;
}

bool CDiskObject::CopyFolderTree(const std::string& source, const std::string& target) {
    ClearError();
    std::string from = source;
    std::string to = target;
    if (!NormalizeFolderPath(from) || !NormalizeFolderPath(to) || RefuseFolderLink(from))
        return false;
    std::vector<FolderFiles> tree;
    if (!CollectTreeFiles(from, tree, true))
        return false;
    for (const FolderFiles& folder : tree) {
        if (!CopyNamedFiles(folder.folder, to + folder.folder.substr(from.size()), folder.names))
            return false;
    }
    return true;
}

bool CDiskObject::DeleteOneFile(const std::string& path) {
    std::string copy;
    if (!StartWithRequiredPath(path, false, copy))
        return false;
    if (!DeleteFileA(copy.c_str())) {
        SetSystemError(GetLastError(), copy);
        return false;
    }
    return true;
}

bool CDiskObject::DeleteFolderFiles(const std::string& folder) {
    std::string copy;
    if (!StartWithRequiredPath(folder, true, copy))
        return false;
    StringList names;
    if (!ListFolderFiles(copy, names, false))
        return false;
    return DeleteNamedFiles(copy, names);
}

bool CDiskObject::DeleteNamedFiles(const std::string& folder, const StringList& names) {
    for (const std::string& name : names) {
        const std::string file = folder + name;
        if (!DeleteFileA(file.c_str())) {
            SetSystemError(GetLastError(), file);
            return false;
        }
    }
    return true;
}

bool CDiskObject::RemoveEmptiedFolder(const std::string& folder) {
    if (!RemoveDirectoryA(folder.c_str())) {
        SetSystemError(GetLastError(), folder);
        return false;
    }
    return true;
}

bool CDiskObject::DeleteFolder(const std::string& folder) {
    std::string copy;
    if (!StartWithRequiredPath(folder, true, copy))
        return false;
    return DeleteFolderFiles(copy) && RemoveEmptiedFolder(copy);
}

bool CDiskObject::DeleteFolderTree(const std::string& folder) {
    std::string copy;
    if (!StartWithRequiredPath(folder, true, copy) || RefuseFolderLink(copy))
        return false;
    std::vector<FolderFiles> tree;
    if (!CollectTreeFiles(copy, tree, true))
        return false;
    // Backwards through the pre-order: every folder goes after the folders
    // below it, so each removal meets a folder its own files have left.
    for (auto it = tree.rbegin(); it != tree.rend(); ++it) {
        if (!DeleteNamedFiles(it->folder, it->names) || !RemoveEmptiedFolder(it->folder))
            return false;
    }
    return true;
}
