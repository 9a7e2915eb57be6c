#include "update/stage_update.h"

#include <windows.h>

#include <algorithm>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/scoped_handle.h"
#include "base/sha256.h"
#include "base/system_code_page.h"
#include "disk/disk_object.h"
#include "disk/file_io.h"
#include "disk/file_tree.h"
#include "disk/hold_patience.h"
#include "disk/tree_walk.h"
#include "update/apply_update.h"
#include "update/installation_name.h"
#include "update/update_lock.h"
#include "update/update_names.h"
#include "update/version_list.h"

namespace {

// The stager runs in the background of a vendor's updater, so it waits
// longer than a launcher for a file another program holds: up to half a
// second between tries, ten seconds for one stage.
const DWORD kStagePatienceMs = 10000;
const int kStageTriesPerCall = 60;
const DWORD kStageLongestWaitMs = 500;

struct SourceFile {
    std::string relative;
    unsigned long long size;
};

struct SourceTree {
    std::vector<std::string> folders;  // relative, ending with a backslash, pre-order
    std::vector<SourceFile> files;     // relative
};

// The system's message for `code` and the path, as CDiskObject words it
// (the wording alone: it changes no current directory).
std::string SystemText(DWORD code, const std::string& path) {
    CDiskObject disk;
    disk.SetSystemError(code, path);
    return disk.GetErrorText();
}

std::string WithoutBackslash(const std::string& folder) {
    return folder.substr(0, folder.size() - 1);
}

// Lists the source tree. A link anywhere is refused rather than skipped:
// staging a tree without what the vendor put behind a link would ship a
// different version than the one they tested. So is a name that a version's
// list cannot carry (the launcher would then remove nothing), and an entry
// at the top with a name the update machinery keeps in the data folder.
bool WalkSource(const std::string& source, SourceTree& tree, std::string& error) {
    TreeWalk walk;
    if (!WalkTree(source, true, walk)) {
        error = "cannot read the source: " + SystemText(walk.errorCode, walk.errorPattern);
        return false;
    }
    if (!walk.links.empty()) {
        error = "the source holds a link (reparse point), which is never staged: " + walk.links[0];
        return false;
    }
    for (const TreeFolder& folder : walk.folders) {
        const std::string relative = folder.path.substr(source.size());
        if (!relative.empty())
            tree.folders.push_back(relative);
        for (const TreeFile& file : folder.files) {
            tree.files.push_back({relative + file.name, file.size});
        }
    }
    auto refuse = [&](const std::string& path) {
        const std::string top = path.substr(0, FindChar(path, '\\', IsSystemLeadByte));
        if (IsReservedName(top)) {
            error = "the source holds " + top +
                    " at its top, a name the launcher keeps for its update machinery (applied,"
                    " an update folder would become a pending update again): " + source + top;
            return true;
        }
        if (!IsInstallationPath(SystemToUtf8(path))) {
            error = "the source holds a name that the list of a version cannot carry: " + source + path;
            return true;
        }
        return false;
    };
    for (const std::string& folder : tree.folders) {
        if (refuse(folder))
            return false;
    }
    for (const SourceFile& file : tree.files) {
        if (refuse(file.relative))
            return false;
    }
    return true;
}

// Fills `buffer` from the file; `read` falls short of its size only at the end.
bool ReadChunk(HANDLE file, std::vector<char>& buffer, DWORD& read) {
    read = 0;
    while (read < buffer.size()) {
        DWORD got = 0;
        if (!ReadFile(file, buffer.data() + read, static_cast<DWORD>(buffer.size()) - read, &got,
                      nullptr))
            return false;
        if (got == 0)
            break;
        read += got;
    }
    return true;
}

// The size of the installed file at `path`; false when there is none (or a
// folder is there).
bool InstalledFileSize(const std::string& path, unsigned long long& size) {
    WIN32_FILE_ATTRIBUTE_DATA installed;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &installed) ||
        (installed.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    size = (static_cast<unsigned long long>(installed.nFileSizeHigh) << 32) | installed.nFileSizeLow;
    return true;
}

// The digest of the file at `path`, read whole. False when it cannot be.
bool DigestOfFile(const std::string& path, Sha256Digest& digest, std::vector<char>& buffer) {
    FileHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.IsOpen())
        return false;
    Sha256 hash;
    for (;;) {
        DWORD read = 0;
        if (!ReadChunk(file.get(), buffer, read))
            return false;
        hash.Update(buffer.data(), read);
        if (read < buffer.size())
            break;
    }
    digest = hash.Finish();
    return true;
}

// True when the installed file, of the source file's size, holds exactly
// what the source file holds; `sourceDigest` is then the source's digest.
// Anything that keeps it from being read whole counts as different:
// unreadable, or open for writing elsewhere. The two buffers are of one size.
bool SameAsInstalled(const std::string& sourceFile, const std::string& installedFile,
                     Sha256Digest& sourceDigest, std::vector<char>& fromSource,
                     std::vector<char>& fromInstalled) {
    // Sharing read only: the open fails while the running application has the
    // file open for writing, and nothing can write it while it is compared.
    // The application may be running, so the handle lives for this one read.
    FileHandle installedHandle(CreateFileA(installedFile.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                           nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                                           nullptr));
    FileHandle sourceHandle(CreateFileA(sourceFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!installedHandle.IsOpen() || !sourceHandle.IsOpen())
        return false;
    Sha256 hash;
    for (;;) {
        DWORD sourceRead = 0, installedRead = 0;
        if (!ReadChunk(sourceHandle.get(), fromSource, sourceRead) ||
            !ReadChunk(installedHandle.get(), fromInstalled, installedRead) ||
            sourceRead != installedRead ||
            !std::equal(fromSource.begin(), fromSource.begin() + sourceRead, fromInstalled.begin()))
            return false;
        hash.Update(fromSource.data(), sourceRead);
        if (sourceRead < fromSource.size()) {
            sourceDigest = hash.Finish();
            return true;
        }
    }
}

// Copies `from` to `to` (replacing it) in one read of the source, which
// also gives its digest, and writes the copy through to the disk: the
// launcher moves staged files into place without copying them again. The
// copy keeps the source's time of last writing and is never read-only (a
// read-only staged file would arrive read-only, and the next update that
// replaces it would wait for ever). 0, or the error of the call that failed.
DWORD CopyThrough(const std::string& from, const std::string& to, Sha256Digest& digest,
                  std::vector<char>& buffer) {
    FileHandle source(CreateFileA(from.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!source.IsOpen())
        return GetLastError();
    FileHandle target(CreateFileA(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!target.IsOpen())
        return GetLastError();
    Sha256 hash;
    for (;;) {
        DWORD read = 0;
        if (!ReadChunk(source.get(), buffer, read))
            return GetLastError();
        hash.Update(buffer.data(), read);
        for (DWORD written = 0; written < read;) {
            DWORD done = 0;
            if (!WriteFile(target.get(), buffer.data() + written, read - written, &done, nullptr))
                return GetLastError();
            if (done == 0)
                return ERROR_WRITE_FAULT;
            written += done;
        }
        if (read < buffer.size())
            break;
    }
    FILETIME lastWrite;
    if (!GetFileTime(source.get(), nullptr, nullptr, &lastWrite) ||
        !SetFileTime(target.get(), nullptr, nullptr, &lastWrite) || !FlushFileBuffers(target.get()))
        return GetLastError();
    digest = hash.Finish();
    return 0;
}

// The installed version's list, where it gives digests: for telling a
// changed file by its digest without reading the installed one.
using InstalledDigests = std::unordered_map<std::string, const VersionEntry*>;

bool IsFolder(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The folder part of a relative path, with its backslash; empty at the top.
// A trail byte 0x5C is not a backslash.
std::string ParentOf(const std::string& relative) {
    return SplitPath(relative, IsSystemLeadByte).folder;
}

// Deletes whatever lies at `folder` (ending with a backslash): a folder tree,
// or a file of that name. True when nothing is left there.
bool RemoveEntryOnce(const std::string& folder, PathError& failed) {
    const std::string entry = WithoutBackslash(folder);
    const DWORD attributes = GetFileAttributesA(entry.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        failed = {GetLastError(), entry};
        return failed.code == ERROR_FILE_NOT_FOUND || failed.code == ERROR_PATH_NOT_FOUND;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return RemoveFolderTree(folder, &failed);
    if (DeleteFileA(entry.c_str()))
        return true;
    failed = {GetLastError(), entry};
    return false;
}

// RemoveEntryOnce, again while another program holds a file there for a
// moment (a scanner looking at each file just written).
bool RemoveEntry(const std::string& folder, std::string& error) {
    HoldPatience patience(kStagePatienceMs, kStageTriesPerCall, kStageLongestWaitMs);
    for (int tries = 1;; ++tries) {
        PathError failed;
        if (RemoveEntryOnce(folder, failed))
            return true;
        if (!IsPassingHold(failed.code) || !patience.WaitBeforeRetry(tries)) {
            error = SystemText(failed.code, failed.path);
            return false;
        }
    }
}

bool EntryExists(const std::string& folder) {
    return GetFileAttributesA(WithoutBackslash(folder).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// True when the installed file at the source file's place holds what the
// source file holds; `digest` is then the source's. The installed file is
// asked for its size first; where the installed list gives a digest, only
// the source is then read, elsewhere both are read and compared.
bool SameAsInstalledFile(const std::string& from, const std::string& data, const SourceFile& file,
                         const InstalledDigests& installed, Sha256Digest& digest,
                         std::vector<char>& buffer, std::vector<char>& installedBuffer) {
    const std::string installedPath = data + file.relative;
    unsigned long long installedSize = 0;
    if (!InstalledFileSize(installedPath, installedSize) || installedSize != file.size)
        return false;
    const auto known = installed.find(file.relative);
    if (known == installed.end())
        return SameAsInstalled(from, installedPath, digest, buffer, installedBuffer);
    return known->second->size == file.size && DigestOfFile(from, digest, buffer) &&
           digest == known->second->digest;
}

// Copies into `target` what is to be staged: everything with `stageAll`,
// else the files that differ from the installed ones under `data`, their
// folders, and the folders that the data folder lacks.
bool CopyTree(const std::string& source, const std::string& target, const std::string& data,
              const SourceTree& tree, bool stageAll, StageResult& result) {
    std::set<std::string> made;
    auto makeFolder = [&](const std::string& relative) {
        if (made.count(relative))
            return true;
        PathError failed;
        if (!CreateFolderPath(target + relative, &failed)) {
            result.errorText =
                "cannot create a staged folder: " + SystemText(failed.code, failed.path);
            return false;
        }
        made.insert(relative);
        return true;
    };
    if (!makeFolder(""))
        return false;
    for (const std::string& folder : tree.folders) {
        if ((stageAll || !IsFolder(data + folder)) && !makeFolder(folder))
            return false;
    }
    // The installed version's digests, where its list has them.
    VersionEntries installedList;
    InstalledDigests installed;
    if (!stageAll && ReadVersionList(data + kVersionListName, installedList)) {
        for (const VersionEntry& entry : installedList) {
            if (entry.hasDigest)
                installed.emplace(entry.path, &entry);
        }
    }
    // One pair of buffers for every file: the source's, and the installed
    // file's when the two are compared.
    std::vector<char> buffer(256 * 1024), installedBuffer(buffer.size());
    // The whole version, staged or left out, so that the launcher can tell
    // what the installed version has that this one no longer has, and check
    // what it moves in.
    VersionEntries entries;
    entries.reserve(tree.folders.size() + tree.files.size());
    for (const std::string& folder : tree.folders) {
        entries.emplace_back();
        entries.back().path = folder;
    }
    for (const SourceFile& file : tree.files) {
        const std::string from = source + file.relative;
        const std::string to = target + file.relative;
        VersionEntry entry;
        entry.path = file.relative;
        entry.hasDigest = true;
        entry.size = file.size;
        if (!stageAll && SameAsInstalledFile(from, data, file, installed, entry.digest, buffer,
                                            installedBuffer)) {
            ++result.filesLeftOut;
            result.bytesLeftOut += file.size;
            entries.push_back(entry);
            continue;
        }
        if (!makeFolder(ParentOf(file.relative)))
            return false;
        const DWORD copyError = CopyThrough(from, to, entry.digest, buffer);
        if (copyError) {
            result.errorText = "cannot copy a file and write it through to the disk: " +
                               SystemText(copyError, from + " -> " + to);
            return false;
        }
        entry.staged = true;
        entries.push_back(entry);
        ++result.filesStaged;
        result.bytesStaged += file.size;
    }
    const DWORD listError = WriteVersionList(target + kVersionListName, entries);
    if (listError) {
        result.errorText = "cannot write the list of the staged version: " +
                           SystemText(listError, target + kVersionListName);
        return false;
    }
    return true;
}

// Takes the lock under which launchers apply, and finishes or undoes an
// apply that a launcher left cut short: until then the installed files are
// a mix, and the pending update is still in use by its journal.
bool TakeUpdateLock(const std::string& data, CInstallationLock& lock, StageResult& result) {
    lock = CInstallationLock::Acquire(data, kApplyLockPurpose, kUpdateLockWaitMs);
    if (!lock.IsHeld()) {
        result.errorText = "the update lock of " + data +
                           " was not free in time (a launcher may still be applying an update): " +
                           SystemText(lock.ErrorCode(), "");
        return false;
    }
    if (FinishInterruptedApply(data).outcome == ApplyOutcome::kUnfinished) {
        result.errorText = "an update that a launcher left half-applied in " + data +
                           " can be neither finished nor undone now (a file is in use); close the"
                           " application and try again";
        return false;
    }
    return true;
}

// Under the update lock: the older pending update (if any) moves aside to
// update.old\, then update.partial\ becomes update\. A launcher that saw the
// older update waits for the lock and then finds the newer one; one starting
// between the renames finds none and starts the installed version, as if it
// had started a moment earlier.
bool Publish(const std::string& data, const std::string& partial, CInstallationLock& lock,
             StageResult& result) {
    if (!lock.IsHeld() && !TakeUpdateLock(data, lock, result))
        return false;
    const std::string update = data + kUpdateFolderName;
    const std::string old = data + kOldFolderName;
    std::string error;
    if (!RemoveEntry(old, error)) {
        result.errorText = "cannot delete a replaced update left from an earlier run: " + error;
        return false;
    }
    // A folder does not rename while another program holds a file in it (a
    // scanner that looks at each file just written): the renames wait.
    HoldPatience patience(kStagePatienceMs, kStageTriesPerCall, kStageLongestWaitMs);
    const auto rename = [&patience](const std::string& from, const std::string& to) {
        return Patiently(patience, [&] {
            return MoveFileA(WithoutBackslash(from).c_str(), WithoutBackslash(to).c_str()) != FALSE;
        });
    };
    const bool hadUpdate = EntryExists(update);
    DWORD renameError = hadUpdate ? rename(update, old) : 0;
    if (renameError) {
        result.errorText = "cannot move the pending update aside: " +
                           SystemText(renameError, WithoutBackslash(update));
        return false;
    }
    if ((renameError = rename(partial, update)) != 0) {
        result.errorText = "cannot publish the staged tree: " +
                           SystemText(renameError, WithoutBackslash(partial));
        if (hadUpdate)
            rename(old, update);
        return false;
    }
    return true;
}

}  // namespace

StageResult StageUpdate(const std::string& sourceTree, const std::string& dataFolder,
                        bool stageAll) {
    StageResult result;
    if (sourceTree.empty() || dataFolder.empty()) {
        result.errorText = "an empty path was given for the " +
                           std::string(sourceTree.empty() ? "source" : "data folder");
        return result;
    }
    // Completed from the current directory here, once: another thread of
    // the host may change it while this one stages.
    std::string source, data;
    if (!FullFolderPath(sourceTree, source) || !IsFolder(source)) {
        result.errorText = "the source folder does not exist or cannot be entered: " + sourceTree;
        return result;
    }
    if (!FullFolderPath(dataFolder, data) || !IsFolder(data)) {
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
    if (IsFolderLink(source)) {
        result.errorText = "the source is a link (reparse point), which is never staged: " + source;
        return result;
    }
    SourceTree tree;
    if (!WalkSource(source, tree, result.errorText))
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
    // With an update pending, a launcher may apply it while the files are
    // compared, and a file compared before would then be left out of the
    // newer update though the older one changed it. Holding the lock keeps
    // the installed files still; launchers started meanwhile wait, and would
    // otherwise only apply an update about to be replaced. Without a pending
    // update no launcher changes the data folder.
    CInstallationLock updateLock;
    if (!stageAll &&
        (EntryExists(data + kUpdateFolderName) ||
         GetFileAttributesA((data + kJournalName).c_str()) != INVALID_FILE_ATTRIBUTES) &&
        !TakeUpdateLock(data, updateLock, result))
        return result;
    if (!CopyTree(source, partial, data, tree, stageAll, result) ||
        !Publish(data, partial, updateLock, result)) {
        RemoveEntry(partial, error);
        result.filesStaged = result.bytesStaged = result.filesLeftOut = result.bytesLeftOut = 0;
        return result;
    }
    // The renames that published the update are only in the cache until a
    // flush; exit code 0 promises an update that survives a power cut.
    const DWORD flushError = FlushFolderToDisk(data);
    if (flushError)
        result.warning = "the published update may not survive a power cut: " + SystemText(flushError, data);
    if (!RemoveEntry(data + kOldFolderName, error))
        result.warning = "the replaced update could not be deleted completely: " + error;
    result.ok = true;
    return result;
}
