#include "stage/stage_update.h"

#include <windows.h>

#include <utility>
#include <vector>

#include "disk/disk_object.h"
#include "launcher/installation_name.h"
#include "launcher/launcher_app.h"
#include "launcher/update_lock.h"

namespace {

// Names the launcher never applies: it looks for update\ only.
const char kPartialFolderName[] = "update.partial\\";
const char kOldFolderName[] = "update.old\\";

struct SourceFile {
    std::string relative;
    unsigned long long size;
    bool readOnly;
};

struct SourceTree {
    std::vector<std::string> folders;  // relative, ending with a backslash, pre-order
    std::vector<SourceFile> files;     // relative
};

// Owns a search handle from FindFirstFileA.
class FindHandle {
public:
    explicit FindHandle(HANDLE handle) : handle_(handle) {}
    ~FindHandle() {
        if (handle_ != INVALID_HANDLE_VALUE)
            FindClose(handle_);
    }
    FindHandle(FindHandle&& other) noexcept
        : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}
    FindHandle& operator=(FindHandle&&) = delete;
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;

private:
    HANDLE handle_;
};

// The system's message for `code` and the path, as CDiskObject words it.
std::string SystemText(DWORD code, const std::string& path) {
    CDiskObject disk;
    disk.SetSystemError(code, path);
    return disk.GetErrorText();
}

std::string WithoutBackslash(const std::string& folder) {
    return folder.substr(0, folder.size() - 1);
}

bool IsDotEntry(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Asked of the folder's entry in its parent: with the trailing backslash,
// Wine answers for a link's target instead. A drive root has no entry.
bool IsLink(const std::string& folder) {
    if (folder.size() <= 3)
        return false;
    WIN32_FIND_DATAA entry;
    HANDLE handle = FindFirstFileA(WithoutBackslash(folder).c_str(), &entry);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    FindClose(handle);
    return (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Lists the tree below root + relative. A link anywhere is refused rather
// than skipped: staging a tree without what the vendor put behind a link
// would ship a different version than the one they tested.
bool WalkSource(const std::string& root, const std::string& relative, SourceTree& tree,
                std::string& error) {
    const std::string search = root + relative + "*";
    WIN32_FIND_DATAA entry;
    HANDLE handle = FindFirstFileA(search.c_str(), &entry);
    if (handle == INVALID_HANDLE_VALUE) {
        error = "cannot read the source: " + SystemText(GetLastError(), search);
        return false;
    }
    FindHandle owner(handle);
    do {
        if (IsDotEntry(entry.cFileName))
            continue;
        const std::string path = relative + entry.cFileName;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            error = "the source holds a link (reparse point), which is never staged: " + root + path;
            return false;
        }
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            tree.folders.push_back(path + '\\');
            if (!WalkSource(root, path + '\\', tree, error))
                return false;
        } else {
            const unsigned long long size =
                (static_cast<unsigned long long>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
            tree.files.push_back(
                {path, size, (entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0});
        }
    } while (FindNextFileA(handle, &entry));
    const DWORD code = GetLastError();
    if (code != ERROR_NO_MORE_FILES) {
        error = "cannot read the source: " + SystemText(code, search);
        return false;
    }
    return true;
}

// Deletes whatever lies at `folder` (ending with a backslash): a folder tree,
// or a file of that name. True when nothing is left there.
bool RemoveEntry(const std::string& folder, std::string& error) {
    const std::string entry = WithoutBackslash(folder);
    const DWORD attributes = GetFileAttributesA(entry.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
            return true;
        error = SystemText(code, entry);
        return false;
    }
    CDiskObject disk;
    const bool removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? disk.DeleteFolderTree(folder)
                                                                 : disk.DeleteOneFile(entry);
    if (!removed)
        error = disk.GetErrorText();
    return removed;
}

bool EntryExists(const std::string& folder) {
    return GetFileAttributesA(WithoutBackslash(folder).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool CopyTree(const std::string& source, const std::string& target, const SourceTree& tree,
              StageResult& result) {
    CDiskObject disk;
    if (!disk.MakeFolderPath(target)) {
        result.errorText = "cannot create the staging folder: " + disk.GetErrorText();
        return false;
    }
    for (const std::string& folder : tree.folders) {
        if (!disk.MakeFolderPath(target + folder)) {
            result.errorText = "cannot create a staged folder: " + disk.GetErrorText();
            return false;
        }
    }
    for (const SourceFile& file : tree.files) {
        const std::string from = source + file.relative;
        const std::string to = target + file.relative;
        if (!CopyFileA(from.c_str(), to.c_str(), FALSE)) {
            result.errorText = "cannot copy a file: " + SystemText(GetLastError(), from + " -> " + to);
            return false;
        }
        // A read-only staged file could never be deleted after the launcher
        // applied it, and the update would be applied again at every start.
        if (file.readOnly) {
            const DWORD attributes = GetFileAttributesA(to.c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES ||
                !SetFileAttributesA(to.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
                result.errorText = "cannot make a staged file writable: " + SystemText(GetLastError(), to);
                return false;
            }
        }
        ++result.filesStaged;
        result.bytesStaged += file.size;
    }
    return true;
}

// Under the update lock: the older pending update (if any) moves aside to
// update.old\, then update.partial\ becomes update\. Between the two renames
// no update is pending; a launcher cannot look then, as it waits for the lock.
bool Publish(const std::string& data, const std::string& partial, StageResult& result) {
    CInstallationLock lock = CInstallationLock::Acquire(data, kApplyLockPurpose, kUpdateLockWaitMs);
    if (!lock.IsHeld()) {
        result.errorText = "the update lock of " + data +
                           " was not free in time (a launcher may still be applying an update): " +
                           SystemText(lock.ErrorCode(), "");
        return false;
    }
    const std::string update = data + kUpdateFolderName;
    const std::string old = data + kOldFolderName;
    std::string error;
    if (!RemoveEntry(old, error)) {
        result.errorText = "cannot delete a replaced update left from an earlier run: " + error;
        return false;
    }
    const bool hadUpdate = EntryExists(update);
    if (hadUpdate && !MoveFileA(WithoutBackslash(update).c_str(), WithoutBackslash(old).c_str())) {
        result.errorText = "cannot move the pending update aside: " +
                           SystemText(GetLastError(), WithoutBackslash(update));
        return false;
    }
    if (!MoveFileA(WithoutBackslash(partial).c_str(), WithoutBackslash(update).c_str())) {
        result.errorText = "cannot publish the staged tree: " +
                           SystemText(GetLastError(), WithoutBackslash(partial));
        if (hadUpdate)
            MoveFileA(WithoutBackslash(old).c_str(), WithoutBackslash(update).c_str());
        return false;
    }
    return true;
}

}  // namespace

StageResult StageUpdate(const std::string& sourceTree, const std::string& dataFolder) {
    StageResult result;
    if (sourceTree.empty() || dataFolder.empty()) {
        result.errorText = "an empty path was given for the " +
                           std::string(sourceTree.empty() ? "source" : "data folder");
        return result;
    }
    CDiskObject disk;
    std::string source = sourceTree;
    std::string data = dataFolder;
    if (!disk.NormalizeFolderPath(source) || !disk.IsExistingFolder(source)) {
        result.errorText = "the source folder does not exist or cannot be entered: " + sourceTree;
        return result;
    }
    if (!disk.NormalizeFolderPath(data) || !disk.IsExistingFolder(data)) {
        result.errorText = "the data folder does not exist or cannot be entered: " + dataFolder;
        return result;
    }
    const std::u16string foldedSource = FoldedFullPath(source);
    const std::u16string foldedData = FoldedFullPath(data);
    if (foldedSource.empty() || foldedData.empty()) {
        result.errorText = "cannot work out the full paths of " + source + " and " + data;
        return result;
    }
    if (IsSameOrInside(foldedSource, foldedData)) {
        result.errorText = "the source " + source + " lies inside the data folder " + data;
        return result;
    }
    if (IsSameOrInside(foldedData, foldedSource)) {
        result.errorText = "the data folder " + data + " lies inside the source " + source;
        return result;
    }
    if (IsLink(source)) {
        result.errorText = "the source is a link (reparse point), which is never staged: " + source;
        return result;
    }
    SourceTree tree;
    if (!WalkSource(source, "", tree, result.errorText))
        return result;

    CInstallationLock stagerLock =
        CInstallationLock::Acquire(data, kStageLockPurpose, kUpdateLockWaitMs);
    if (!stagerLock.IsHeld()) {
        result.errorText = "another stager kept working on " + data + ": " +
                           SystemText(stagerLock.ErrorCode(), "");
        return result;
    }
    const std::string partial = data + kPartialFolderName;
    std::string error;
    if (!RemoveEntry(partial, error)) {
        result.errorText = "cannot delete a staging folder left by an earlier run: " + error;
        return result;
    }
    if (!CopyTree(source, partial, tree, result) || !Publish(data, partial, result)) {
        RemoveEntry(partial, error);
        result.filesStaged = result.bytesStaged = 0;
        return result;
    }
    if (!RemoveEntry(data + kOldFolderName, error))
        result.warning = "the replaced update could not be deleted completely: " + error;
    result.ok = true;
    return result;
}
