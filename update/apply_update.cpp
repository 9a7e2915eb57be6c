#include "update/apply_update.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/ansi_string.h"
#include "base/scoped_handle.h"
#include "base/system_code_page.h"
#include "disk/disk_object.h"
#include "disk/file_io.h"
#include "disk/tree_walk.h"
#include "update/list_file.h"
#include "update/update_lock.h"
#include "update/update_names.h"
#include "update/version_list.h"

namespace {

const char kJournalHeader[] = "Orbex update journal 1";
const char kCommitMark[] = "commit";

struct Folders {
    explicit Folders(const std::string& dataFolder)
        : data(dataFolder),
          update(dataFolder + kUpdateFolderName),
          backup(dataFolder + kBackupFolderName),
          journal(dataFolder + kJournalName) {}
    std::string data;     // each folder ends with a backslash
    std::string update;
    std::string backup;
    std::string journal;
};

// One change to the installation; `path` is relative to the data folder, in
// the system code page, a folder without its trailing backslash.
struct Step {
    char kind;  // 'B', 'I', 'M', 'R' (see apply_update.h)
    std::string path;
};
using Steps = std::vector<Step>;

DWORD AttributesOf(const std::string& path) {
    return GetFileAttributesA(path.c_str());
}

bool Exists(const std::string& path) {
    return AttributesOf(path) != INVALID_FILE_ATTRIBUTES;
}

bool IsFolderAttributes(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFileAttributes(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Offsets of the backslashes in a relative path, trail bytes excluded.
std::vector<size_t> BackslashesOf(const std::string& path) {
    std::vector<size_t> found;
    for (size_t pos = FindChar(path, '\\', IsSystemLeadByte); pos != std::string::npos;
         pos = FindChar(path, '\\', IsSystemLeadByte, pos + 1))
        found.push_back(pos);
    return found;
}

std::string WithoutTrailingBackslash(const std::string& path) {
    return LastCharIs(path, '\\', IsSystemLeadByte) ? path.substr(0, path.size() - 1) : path;
}

// The key under which the file system finds `path`: names compare without
// regard to case.
std::u16string KeyOf(const std::string& path) {
    std::u16string key = ToUtf16(path);
    FoldCase(key);
    return key;
}

class KeySet {
public:
    void Add(const std::string& path) { keys_.push_back(KeyOf(path)); }
    // Add every path first, then seal once, then ask.
    void Seal() {
        std::sort(keys_.begin(), keys_.end());
        keys_.erase(std::unique(keys_.begin(), keys_.end()), keys_.end());
    }
    bool Has(const std::string& path) const {
        return std::binary_search(keys_.begin(), keys_.end(), KeyOf(path));
    }

private:
    std::vector<std::u16string> keys_;
};

// A move within the data folder is a rename. Across volumes (a folder of the
// installation that is a junction elsewhere) it is a copy, written through.
bool MoveEntry(const std::string& from, const std::string& to) {
    return MoveFileExA(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH) !=
           FALSE;
}

// As MoveEntry, creating the folders of `relative` below `base` when they
// are missing (asked only then: every level asked each time would cost more
// than the move).
bool MoveInto(const std::string& from, const std::string& base, const std::string& relative) {
    const std::string to = base + relative;
    if (MoveEntry(from, to))
        return true;
    if (GetLastError() != ERROR_PATH_NOT_FOUND)
        return false;
    CreateDirectoryA(WithoutTrailingBackslash(base).c_str(), nullptr);
    for (size_t slash : BackslashesOf(relative))
        CreateDirectoryA((base + relative.substr(0, slash)).c_str(), nullptr);
    return MoveEntry(from, to);
}

// Where step `index` keeps the installed file it moves aside: in folders of
// kBackupsPerFolder, each backup named by its step. Wine looks for a name
// that is not there by reading the whole folder, so one flat folder made
// every move aside cost as much as the backups before it.
const size_t kBackupsPerFolder = 256;

std::string BackupFolderOf(size_t index) {
    return std::to_string(index / kBackupsPerFolder);
}

// Relative to the backup folder.
std::string BackupName(size_t index) {
    return BackupFolderOf(index) + '\\' + std::to_string(index);
}

std::string BackupOf(const Folders& at, size_t index) {
    return at.backup + BackupName(index);
}

// Moves the installed file of step `index` aside, making its backup folder
// when it is missing.
bool MoveAside(const Folders& at, const std::string& installed, size_t index) {
    return MoveInto(installed, at.backup, BackupName(index));
}

// The backup folders the steps use, in order.
StringList BackupFolders(const Steps& steps) {
    StringList folders;
    for (size_t i = 0; i < steps.size(); i += kBackupsPerFolder)
        folders.push_back(BackupFolderOf(i));
    return folders;
}

// Runs step `index`, which has not run yet: the forward run of a fresh
// journal.
bool Do(const Folders& at, const Steps& steps, size_t index) {
    const Step& step = steps[index];
    const std::string installed = at.data + step.path;
    switch (step.kind) {
        case 'B':
            return MoveAside(at, installed, index);
        case 'I':
            return MoveEntry(at.update + step.path, installed);
        case 'M':
            return CreateDirectoryA(installed.c_str(), nullptr) ||
                   IsFolderAttributes(AttributesOf(installed));
        default:
            RemoveDirectoryA(installed.c_str());
            return true;
    }
}

// Runs step `index`, which may have run already, from a journal a run left
// cut short.
bool EnsureDone(const Folders& at, const Steps& steps, size_t index) {
    const Step& step = steps[index];
    const std::string installed = at.data + step.path;
    switch (step.kind) {
        case 'B':
            // The backup folder is new with each journal, so a backup there
            // is this step's own.
            return Exists(BackupOf(at, index)) || !Exists(installed) || MoveAside(at, installed, index);
        case 'I':
            return !Exists(at.update + step.path) || MoveEntry(at.update + step.path, installed);
        default:
            return Do(at, steps, index);
    }
}

bool EnsureUndone(const Folders& at, const Steps& steps, size_t index) {
    const Step& step = steps[index];
    const std::string installed = at.data + step.path;
    switch (step.kind) {
        case 'B':
            return !Exists(BackupOf(at, index)) ||
                   MoveInto(BackupOf(at, index), at.data, step.path);
        case 'I':
            if (Exists(at.update + step.path) || !Exists(installed))
                return true;
            return MoveEntry(installed, at.update + step.path);
        case 'M':
            RemoveDirectoryA(installed.c_str());
            return true;
        default:
            return Exists(installed) || CreateDirectoryA(installed.c_str(), nullptr);
    }
}

// Opening a file for writing without sharing fails for a read-only file, for
// one open elsewhere, and for a running program's image, which could
// otherwise be renamed under the running program, leaving two versions
// running. A file that is not there can be changed.
bool CanChangeFile(const std::string& path) {
    FileHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (file.IsOpen())
        return true;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// True when every installed file that the steps still have to move aside
// can be changed now.
bool CanChangeNow(const Folders& at, const Steps& steps) {
    const bool resuming = Exists(at.backup);
    for (size_t i = 0; i < steps.size(); ++i) {
        if (steps[i].kind == 'B' && !(resuming && Exists(BackupOf(at, i))) &&
            !CanChangeFile(at.data + steps[i].path))
            return false;
    }
    return true;
}

// The common refusal, found before the staged tree is read: the running
// application holds its program at the top of the data folder, and an
// update that replaces a file in use there waits. The main program is
// asked first, then one search of the staged tree's top folder and one
// open for each other file it replaces there.
bool TopFilesCanChangeNow(const Folders& at) {
    // A staged file may replace an installed folder: only an installed file
    // can be in use.
    const auto installedFileCanChange = [&at](const char* name) {
        return !IsFileAttributes(AttributesOf(at.data + name)) || CanChangeFile(at.data + name);
    };
    if (IsFileAttributes(AttributesOf(at.update + kMainProgramName)) && !installedFileCanChange(kMainProgramName))
        return false;
    WIN32_FIND_DATAA entry;
    SearchHandle search(FindFirstEntry(at.update + "*.*", entry));
    if (!search.IsOpen())
        return true;
    do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !IsReservedName(entry.cFileName) &&
            lstrcmpiA(entry.cFileName, kMainProgramName) != 0 && !installedFileCanChange(entry.cFileName))
            return false;
    } while (FindNextEntry(search.get(), entry));
    return true;
}

std::string JournalText(const Steps& steps) {
    StringList records;
    records.reserve(steps.size());
    for (const Step& step : steps)
        records.push_back(std::string(1, step.kind) + ' ' + SystemToUtf8(step.path));
    return FormatListFile(kJournalHeader, records);
}

// False when the journal is not whole (cut short while it was written) or
// holds a record that is no step inside the data folder.
bool ReadJournal(const std::string& path, Steps& steps, bool& committed) {
    StringList records, afterEnd;
    if (!ReadListFileAt(path, kJournalHeader, records, afterEnd))
        return false;
    for (const std::string& record : records) {
        if (record.size() < 3 || record[1] != ' ' || !std::strchr("BIMR", record[0]))
            return false;
        const std::string utf8 = record.substr(2);
        std::string path;
        if (utf8 == kVersionListName)
            path = utf8;
        else if (!EntryFromList(utf8, path))
            return false;
        steps.push_back(Step{record[0], path});
    }
    committed = std::find(afterEnd.begin(), afterEnd.end(), kCommitMark) != afterEnd.end();
    return true;
}

// Removes `folder` and what is left in it: first the known `folders` in it
// (relative, pre-order) from the deepest, each by one call; only what is
// left then is searched for.
void RemoveFolder(const std::string& folder, const StringList& folders) {
    for (auto it = folders.rbegin(); it != folders.rend(); ++it)
        RemoveDirectoryA((folder + *it).c_str());
    if (!RemoveDirectoryA(folder.c_str()) && Exists(folder))
        CDiskObject().DeleteFolderTree(folder);
}

// After the commit mark: the post-upgrade program first, the journal last,
// so a clean-up cut short is done again by the next run. `stagedFolders`
// are the staged tree's folders when known, removed without a search.
void CleanUp(const Folders& at, const Steps& steps, const StringList& stagedFolders) {
    DeleteFileA((at.data + kPostUpgradeProgramName).c_str());
    for (size_t i = 0; i < steps.size(); ++i) {
        if (steps[i].kind == 'B')
            DeleteFileA(BackupOf(at, i).c_str());
    }
    RemoveFolder(at.backup, BackupFolders(steps));
    RemoveFolder(at.update, stagedFolders);
    DeleteFileA(at.journal.c_str());
}

// Undoes the first `count` steps, last first. kKept when all are undone
// (the journal and the emptied backup folder then go), else kUnfinished
// with the journal kept for a later run.
ApplyOutcome RollBack(const Folders& at, const Steps& steps, size_t count) {
    for (size_t i = count; i-- > 0;) {
        if (!EnsureUndone(at, steps, i))
            return ApplyOutcome::kUnfinished;
    }
    RemoveFolder(at.backup, BackupFolders(steps));
    DeleteFileA(at.journal.c_str());
    return ApplyOutcome::kKept;
}

// Runs the steps in order, `resume` for a journal whose steps may have run
// already; `limit` (when not negative) stops the run after that many. The
// number run to the end, or the index of the step that failed.
size_t RunSteps(const Folders& at, const Steps& steps, bool resume, long limit) {
    size_t i = 0;
    for (; i < steps.size() && (limit < 0 || i < static_cast<size_t>(limit)); ++i) {
        if (!(resume ? EnsureDone(at, steps, i) : Do(at, steps, i)))
            break;
    }
    return i;
}

// The mark begins a line of its own: an earlier append cut off by a power
// cut can leave zeros of its length at the end (the length reached the disk,
// the data did not), and a mark appended to that line would never be read
// as one.
bool AppendCommitMark(const Folders& at) {
    return WriteFileThrough(at.journal, std::string("\r\n") + kCommitMark + "\r\n", true) == 0;
}

ApplyOutcome Recover(const Folders& at) {
    Steps steps;
    bool committed = false;
    if (!ReadJournal(at.journal, steps, committed)) {
        // Every change waits for the whole journal on the disk, so one cut
        // short was never acted on. A backup beside it means the journal was
        // damaged after changes were made: nothing is guessed then.
        if (Exists(at.backup))
            return ApplyOutcome::kUnfinished;
        DeleteFileA(at.journal.c_str());
        return ApplyOutcome::kNothingPending;
    }
    if (!committed && CanChangeNow(at, steps) && RunSteps(at, steps, true, -1) == steps.size())
        committed = AppendCommitMark(at);
    if (!committed)
        return RollBack(at, steps, steps.size());
    CleanUp(at, steps, StringList());
    return ApplyOutcome::kApplied;
}

// True when the entry at `path`, whose attributes are `attributes`, is a
// link: only a reparse point can be, and only it is asked about its tag.
bool IsLinkWith(DWORD attributes, const std::string& path) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsLinkAt(path);
}

// The first name of a relative path.
std::string FirstNameOf(const std::string& path) {
    return path.substr(0, FindChar(path, '\\', IsSystemLeadByte));
}

// The folders above a relative path: "a" and "a\b" for "a\b\c".
StringList FoldersAbove(const std::string& path) {
    StringList folders;
    for (size_t slash : BackslashesOf(path))
        folders.push_back(path.substr(0, slash));
    return folders;
}

// True when `path` or a folder above it inside the data folder is a link.
// `clear` holds the folders above the path asked before, none of them a
// link: a list names a folder's files one after the other, so those folders
// are rarely asked again.
bool LinkOnTheWay(const std::string& data, const std::string& path, StringList& clear) {
    StringList ways = FoldersAbove(path);
    for (size_t i = 0; i < ways.size(); ++i) {
        if ((i >= clear.size() || clear[i] != ways[i]) && IsLinkAt(data + ways[i]))
            return true;
    }
    clear = ways;
    return IsLinkAt(data + path);
}

// What the staged tree holds, relative to it: its folders in pre-order and
// its files, without the update machinery's own names at its top.
struct StagedTree {
    StringList folders;
    StringList files;
    bool hasVersionList = false;
};

bool ReadStagedTree(const Folders& at, StagedTree& staged) {
    TreeWalk walk;
    // A link anywhere makes the tree one that cannot be applied whole.
    if (IsFolderLink(at.update) || !WalkTree(at.update, true, walk) || !walk.links.empty())
        return false;
    for (const TreeFolder& folder : walk.folders) {
        const std::string relative = folder.path.substr(at.update.size());
        if (!relative.empty()) {
            if (IsReservedName(FirstNameOf(relative)))
                continue;
            staged.folders.push_back(WithoutTrailingBackslash(relative));
        }
        for (const TreeFile& file : folder.files) {
            if (relative.empty() && IsReservedName(file.name)) {
                staged.hasVersionList |= lstrcmpiA(file.name.c_str(), kVersionListName) == 0;
                continue;
            }
            staged.files.push_back(relative + file.name);
        }
    }
    return true;
}

// The steps that turn the installation into the staged version, in the
// order they run: files the new version drops go aside, folders turned into
// files and emptied go, then the staged folders and files come, then the
// version list, then the folders left empty go. False when the update
// cannot be applied whole (a link in the way, a folder to become a file
// that holds files of no version): nothing is then changed.
bool PlanSteps(const Folders& at, Steps& steps, bool& stagerFlushed, StringList& stagedFolders) {
    StagedTree staged;
    if (!ReadStagedTree(at, staged))
        return false;

    StringList newList, oldList;
    bool newValid =
        staged.hasVersionList && ReadVersionList(at.update + kVersionListName, newList);
    const bool oldValid = ReadVersionList(at.data + kVersionListName, oldList);
    // What the new version claims: its entries and the folders above them.
    KeySet claimed;
    for (const std::string& entry : newList) {
        const std::string path = WithoutTrailingBackslash(entry);
        claimed.Add(path);
        for (const std::string& folder : FoldersAbove(path))
            claimed.Add(folder);
    }
    claimed.Seal();
    for (const StringList* entries : {&staged.folders, &staged.files}) {
        for (const std::string& path : *entries)
            newValid = newValid && claimed.Has(path);
    }
    stagerFlushed = newValid;

    StringList removals, emptied;
    if (newValid && oldValid) {
        StringList clear;
        bool linked = false;
        for (const std::string& entry : oldList) {
            const bool listedAsFolder = LastCharIs(entry, '\\', IsSystemLeadByte);
            const std::string path = WithoutTrailingBackslash(entry);
            if (claimed.Has(path))
                continue;
            // Only what is still of the kind the list gave: a file the
            // application put where a listed folder was is its own.
            const DWORD attributes = AttributesOf(at.data + path);
            if (listedAsFolder ? !IsFolderAttributes(attributes) : !IsFileAttributes(attributes))
                continue;
            if ((linked = LinkOnTheWay(at.data, path, clear)))
                break;
            if (listedAsFolder) {
                emptied.push_back(path);
                continue;
            }
            removals.push_back(path);
            for (const std::string& folder : FoldersAbove(path)) {
                if (!claimed.Has(folder))
                    emptied.push_back(folder);
            }
        }
        if (linked) {
            removals.clear();
            emptied.clear();
        }
    }
    KeySet removed;
    for (const std::string& path : removals) {
        removed.Add(path);
        steps.push_back(Step{'B', path});
    }
    removed.Seal();

    std::vector<DWORD> installedAttributes;
    installedAttributes.reserve(staged.files.size());
    for (const std::string& file : staged.files)
        installedAttributes.push_back(AttributesOf(at.data + file));
    // A folder the new version turns into a file goes when the update
    // removes everything in it.
    for (size_t i = 0; i < staged.files.size(); ++i) {
        const std::string installed = at.data + staged.files[i];
        if (!IsFolderAttributes(installedAttributes[i]))
            continue;
        TreeWalk inside;
        if (IsLinkWith(installedAttributes[i], installed) || !WalkTree(installed + '\\', true, inside) ||
            !inside.links.empty())
            return false;
        for (const TreeFolder& folder : inside.folders) {
            for (const TreeFile& held : folder.files) {
                if (!removed.Has(folder.path.substr(at.data.size()) + held.name))
                    return false;
            }
        }
        for (auto folder = inside.folders.rbegin(); folder != inside.folders.rend(); ++folder)
            steps.push_back(Step{'R', WithoutTrailingBackslash(folder->path.substr(at.data.size()))});
    }
    for (const std::string& folder : staged.folders) {
        const DWORD attributes = AttributesOf(at.data + folder);
        if (IsFolderAttributes(attributes))
            continue;
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if (IsLinkWith(attributes, at.data + folder))
                return false;
            if (!removed.Has(folder))
                steps.push_back(Step{'B', folder});
        }
        steps.push_back(Step{'M', folder});
    }
    for (size_t i = 0; i < staged.files.size(); ++i) {
        const std::string& file = staged.files[i];
        if (IsFileAttributes(installedAttributes[i])) {
            if (IsLinkWith(installedAttributes[i], at.data + file))
                return false;
            steps.push_back(Step{'B', file});
        }
        steps.push_back(Step{'I', file});
    }
    if (newValid) {
        if (Exists(at.data + kVersionListName))
            steps.push_back(Step{'B', kVersionListName});
        steps.push_back(Step{'I', kVersionListName});
    }

    // Deepest first, each once: a folder goes after those below it.
    std::sort(emptied.begin(), emptied.end(), [](const std::string& a, const std::string& b) {
        const size_t depthA = BackslashesOf(a).size(), depthB = BackslashesOf(b).size();
        return depthA != depthB ? depthA > depthB : a < b;
    });
    emptied.erase(std::unique(emptied.begin(), emptied.end()), emptied.end());
    for (const std::string& folder : emptied)
        steps.push_back(Step{'R', folder});
    stagedFolders = std::move(staged.folders);
    // The journal must be able to name every step again, or a run cut short
    // could be neither finished nor undone.
    for (const Step& step : steps) {
        if (step.path != kVersionListName && !IsInstallationPath(SystemToUtf8(step.path)))
            return false;
    }
    return true;
}

}  // namespace

ApplyOutcome FinishInterruptedApply(const std::string& dataFolder) {
    const Folders at(dataFolder);
    return Exists(at.journal) ? Recover(at) : ApplyOutcome::kNothingPending;
}

ApplyOutcome ApplyStagedUpdateLocked(const std::string& dataFolder, long stopAfterChanges) {
    const Folders at(dataFolder);
    const ApplyOutcome recovered = FinishInterruptedApply(dataFolder);
    if (recovered == ApplyOutcome::kApplied || recovered == ApplyOutcome::kUnfinished)
        return recovered;
    if (!Exists(at.update))
        return ApplyOutcome::kNothingPending;

    // A backup folder without a journal is left from a clean-up cut short;
    // each journal needs an empty one.
    if (Exists(at.backup) && !CDiskObject().DeleteFolderTree(at.backup))
        return ApplyOutcome::kKept;
    Steps steps;
    StringList stagedFolders;
    bool stagerFlushed = false;
    if (!TopFilesCanChangeNow(at) || !PlanSteps(at, steps, stagerFlushed, stagedFolders) ||
        !CanChangeNow(at, steps))
        return ApplyOutcome::kKept;
    // The moves below carry the staged data; it must be on the disk before
    // the journal relies on it.
    if (!stagerFlushed) {
        for (const Step& step : steps) {
            if (step.kind == 'I' && FlushFileToDisk(at.update + step.path) != 0)
                return ApplyOutcome::kKept;
        }
    }
    if (WriteFileThrough(at.journal, JournalText(steps)) != 0 ||
        !CreateDirectoryA(at.backup.c_str(), nullptr)) {
        DeleteFileA(at.journal.c_str());
        return ApplyOutcome::kKept;
    }

    const size_t run = RunSteps(at, steps, false, stopAfterChanges);
    if (run < steps.size()) {
        if (stopAfterChanges >= 0 && run == static_cast<size_t>(stopAfterChanges))
            return ApplyOutcome::kUnfinished;
        // The failed step too: a move happens whole or not at all, and its
        // undo looks which.
        return RollBack(at, steps, run + 1);
    }
    if (stopAfterChanges >= 0 && steps.size() == static_cast<size_t>(stopAfterChanges))
        return ApplyOutcome::kUnfinished;
    if (!AppendCommitMark(at))
        return RollBack(at, steps, steps.size());
    if (stopAfterChanges >= 0 && steps.size() + 1 == static_cast<size_t>(stopAfterChanges))
        return ApplyOutcome::kUnfinished;
    CleanUp(at, steps, stagedFolders);
    return ApplyOutcome::kApplied;
}

ApplyOutcome ApplyStagedUpdate(const std::string& dataFolder) {
    CInstallationLock lock =
        CInstallationLock::Acquire(dataFolder, kApplyLockPurpose, kUpdateLockWaitMs);
    if (!lock.IsHeld()) {
        return Exists(dataFolder + kJournalName) ? ApplyOutcome::kUnfinished
                                                 : ApplyOutcome::kKept;
    }
    return ApplyStagedUpdateLocked(dataFolder);
}
