#include "update/apply_update.h"
#include "update/apply_update_for_testing.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/ansi_string.h"
#include "base/scoped_handle.h"
#include "base/sha256.h"
#include "base/system_code_page.h"
#include "disk/file_io.h"
#include "disk/file_tree.h"
#include "disk/hold_patience.h"
#include "disk/tree_walk.h"
#include "update/list_file.h"
#include "update/update_lock.h"
#include "update/update_names.h"
#include "update/version_list.h"

namespace {

const char kJournalHeader[] = "Orbex update journal 1";
const char kCommitMark[] = "commit";
const char kStatusName[] = "update.status";
const char kStatusDraftName[] = "update.status.new";

// A call on a file held for a moment is tried again after 10, 20, 40, 80
// and 160 ms: a scanner's or an indexer's hold is over by then, and the user
// is waiting for the browser.
const int kTriesPerCall = 6;
const DWORD kLongestWaitMs = 160;

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

// One run of the apply step: where, how patient, and what kept it from
// going through (the first failure is the one reported).
struct Run {
    explicit Run(const std::string& dataFolder)
        : at(dataFolder), patience(kHoldPatienceMs, kTriesPerCall, kLongestWaitMs) {}
    Folders at;
    HoldPatience patience;
    UpdateStatus why;
    // A first try that must not wait: what it meets held is tried again later.
    bool hurried = false;
    HoldPatience noWait{0, 1, 0};

    HoldPatience& Patience() { return hurried ? noWait : patience; }

    // `relative` is relative to the data folder, in the system code page.
    void Fail(UpdateReason reason, const std::string& relative, DWORD error = 0) {
        if (why.reason != UpdateReason::kNone)
            return;
        why.reason = reason;
        why.path = SystemToUtf8(relative);
        why.error = error;
    }
    // A failed call on `relative`: a hold is "in use", a read-only file is
    // read-only, anything else the plain error.
    void FailedCall(const std::string& relative, DWORD error) {
        UpdateReason reason = UpdateReason::kSystemError;
        if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
            reason = UpdateReason::kInUse;
        if (error == ERROR_ACCESS_DENIED) {
            const DWORD attributes = GetFileAttributesA((at.data + relative).c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
                reason = UpdateReason::kReadOnly;
        }
        Fail(reason, relative, error);
    }
    ApplyResult Ended(ApplyOutcome outcome) const {
        ApplyResult result;
        result.outcome = outcome;
        result.status = why;
        result.status.state = outcome == ApplyOutcome::kApplied     ? UpdateState::kApplied
                              : outcome == ApplyOutcome::kDiscarded ? UpdateState::kDiscarded
                              : outcome == ApplyOutcome::kUnfinished ? UpdateState::kUnfinished
                                                                     : UpdateState::kWaiting;
        return result;
    }
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
// 0, or the error of the last try.
DWORD MoveEntry(Run& run, const std::string& from, const std::string& to) {
    return Patiently(run.Patience(), [&] {
        return MoveFileExA(from.c_str(), to.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED |
                               MOVEFILE_WRITE_THROUGH) != FALSE;
    });
}

// As MoveEntry, creating the folders of `relative` below `base` when they
// are missing (asked only then: every level asked each time would cost more
// than the move).
DWORD MoveInto(Run& run, const std::string& from, const std::string& base,
               const std::string& relative) {
    const std::string to = base + relative;
    const DWORD error = MoveEntry(run, from, to);
    if (error != ERROR_PATH_NOT_FOUND)
        return error;
    CreateDirectoryA(WithoutTrailingBackslash(base).c_str(), nullptr);
    for (size_t slash : BackslashesOf(relative))
        CreateDirectoryA((base + relative.substr(0, slash)).c_str(), nullptr);
    return MoveEntry(run, from, to);
}

// 0 when the folder is gone or was never there; a folder that still holds
// something stays, and says so.
DWORD RemoveEmptyFolder(Run& run, const std::string& folder) {
    const DWORD error =
        Patiently(run.Patience(), [&] { return RemoveDirectoryA(folder.c_str()) != FALSE; });
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : error;
}

// 0 when the file is gone or was never there.
DWORD RemoveFile(Run& run, const std::string& file) {
    const DWORD error =
        Patiently(run.Patience(), [&] { return DeleteFileA(file.c_str()) != FALSE; });
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : error;
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

// The backup folders the steps use, in order.
StringList BackupFolders(const Steps& steps) {
    StringList folders;
    for (size_t i = 0; i < steps.size(); i += kBackupsPerFolder)
        folders.push_back(BackupFolderOf(i));
    return folders;
}

// Moves the installed file of step `index` aside, making its backup folder
// when it is missing.
DWORD MoveAside(Run& run, const std::string& installed, size_t index) {
    return MoveInto(run, installed, run.at.backup, BackupName(index));
}

// Runs step `index`, which has not run yet: the forward run of a fresh
// journal. 0, or the error that stopped it.
DWORD Do(Run& run, const Steps& steps, size_t index) {
    const Step& step = steps[index];
    const std::string installed = run.at.data + step.path;
    switch (step.kind) {
        case 'B':
            return MoveAside(run, installed, index);
        case 'I':
            return MoveEntry(run, run.at.update + step.path, installed);
        case 'M': {
            if (CreateDirectoryA(installed.c_str(), nullptr))
                return 0;
            const DWORD error = GetLastError();
            return IsFolderAttributes(AttributesOf(installed)) ? 0 : error;
        }
        default: {
            // A folder that still holds the application's own files stays;
            // one turned into a file then keeps the file from moving in.
            const DWORD error = RemoveEmptyFolder(run, installed);
            return error == ERROR_DIR_NOT_EMPTY ? 0 : error;
        }
    }
}

// Runs step `index`, which may have run already, from a journal a run left
// cut short.
DWORD EnsureDone(Run& run, const Steps& steps, size_t index) {
    const Step& step = steps[index];
    const std::string installed = run.at.data + step.path;
    switch (step.kind) {
        case 'B':
            // The backup folder is new with each journal, so a backup there
            // is this step's own.
            if (Exists(BackupOf(run.at, index)) || !Exists(installed))
                return 0;
            return MoveAside(run, installed, index);
        case 'I':
            if (Exists(run.at.update + step.path))
                return MoveEntry(run, run.at.update + step.path, installed);
            // Moved already, or lost since (a scanner's quarantine): only the
            // file in place shows which, and a backup of the old one may be
            // the only copy left.
            return Exists(installed) ? 0 : ERROR_FILE_NOT_FOUND;
        default:
            return Do(run, steps, index);
    }
}

DWORD EnsureUndone(Run& run, const Steps& steps, size_t index) {
    const Step& step = steps[index];
    const std::string installed = run.at.data + step.path;
    switch (step.kind) {
        case 'B':
            if (!Exists(BackupOf(run.at, index)))
                return 0;
            return MoveInto(run, BackupOf(run.at, index), run.at.data, step.path);
        case 'I':
            if (Exists(run.at.update + step.path) || !Exists(installed))
                return 0;
            return MoveEntry(run, installed, run.at.update + step.path);
        case 'M':
            // Not made yet: a file of the old version may still be there.
            if (!IsFolderAttributes(AttributesOf(installed)))
                return 0;
            return RemoveEmptyFolder(run, installed);
        default:
            if (Exists(installed) || CreateDirectoryA(installed.c_str(), nullptr))
                return 0;
            return GetLastError();
    }
}

// 0 when the installed file at `path` can be changed now, or is not there.
// Opening it for writing without sharing fails for a read-only file, for one
// open elsewhere, and for a running program's image, which could otherwise
// be renamed under the running program, leaving two versions running.
DWORD ChangeBlocker(const std::string& path) {
    FileHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (file.IsOpen())
        return 0;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : error;
}

// A running program's image may be renamed (opened for deletion) but not
// written; a scanner or an indexer that shares reading only allows neither.
bool IsHeldAsImage(const std::string& path) {
    FileHandle file(CreateFileA(path.c_str(), DELETE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    return file.IsOpen();
}

// 0 when the installed file `relative` can be changed now. A file held for
// a moment is given `patience`; one held as a running program's image, the
// running application, none.
DWORD ChangeBlockerWith(HoldPatience& patience, const std::string& path) {
    for (int failed = 1;; ++failed) {
        const DWORD error = ChangeBlocker(path);
        if (error == 0 || !IsPassingHold(error) ||
            (error == ERROR_SHARING_VIOLATION && IsHeldAsImage(path)) ||
            !patience.WaitBeforeRetry(failed))
            return error;
    }
}

// No wait at all: a first pass over many files asks each once, and waits
// only for those still held at the end. Another program that walks the
// same files in the same order would otherwise be met at every file.
HoldPatience NoPatience() {
    return HoldPatience(0, 1, 0);
}

// True when the installed file `relative` can be changed now.
bool CanChangeFile(Run& run, const std::string& relative) {
    const DWORD error = ChangeBlockerWith(run.patience, run.at.data + relative);
    if (error != 0)
        run.FailedCall(relative, error);
    return error == 0;
}

// True when every installed file that the steps still have to move aside
// can be changed now.
bool CanChangeNow(Run& run, const Steps& steps) {
    const bool resuming = Exists(run.at.backup);
    HoldPatience once = NoPatience();
    StringList held;
    for (size_t i = 0; i < steps.size(); ++i) {
        if (steps[i].kind != 'B' || (resuming && Exists(BackupOf(run.at, i))))
            continue;
        const std::string path = run.at.data + steps[i].path;
        const DWORD error = ChangeBlockerWith(once, path);
        if (error == 0)
            continue;
        if (!IsPassingHold(error) || (error == ERROR_SHARING_VIOLATION && IsHeldAsImage(path))) {
            run.FailedCall(steps[i].path, error);
            return false;
        }
        held.push_back(steps[i].path);
    }
    for (const std::string& relative : held) {
        if (!CanChangeFile(run, relative))
            return false;
    }
    return true;
}

// The common refusal, found before the staged tree is read: the running
// application holds its program at the top of the data folder, and an
// update that replaces a file in use there waits. The main program is
// asked first, then one search of the staged tree's top folder and one
// open for each other file it replaces there.
bool TopFilesCanChangeNow(Run& run) {
    const Folders& at = run.at;
    // A staged file may replace an installed folder: only an installed file
    // can be in use.
    const auto installedFileCanChange = [&](const char* name) {
        return !IsFileAttributes(AttributesOf(at.data + name)) || CanChangeFile(run, name);
    };
    if (IsFileAttributes(AttributesOf(at.update + kMainProgramName)) &&
        !installedFileCanChange(kMainProgramName))
        return false;
    WIN32_FIND_DATAA entry;
    SearchHandle search(FindFirstEntry(at.update + "*.*", entry));
    if (!search.IsOpen())
        return true;
    do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !IsReservedName(entry.cFileName) &&
            lstrcmpiA(entry.cFileName, kMainProgramName) != 0 &&
            !installedFileCanChange(entry.cFileName))
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
// left then is searched for. True when nothing is left.
bool RemoveFolder(const std::string& folder, const StringList& folders) {
    for (auto it = folders.rbegin(); it != folders.rend(); ++it)
        RemoveDirectoryA((folder + *it).c_str());
    return RemoveDirectoryA(folder.c_str()) || !Exists(folder) ||
           RemoveFolderTree(folder);
}

// After the commit mark: the post-upgrade program first, the journal last
// and only when everything before it is gone, so that a clean-up cut short
// or kept from a file is done again by the next run (a staged tree left
// without its journal would read as a pending update). `stagedFolders` are
// the staged tree's folders when known, removed without a search.
bool CleanUp(Run& run, const Steps& steps, const StringList& stagedFolders) {
    const Folders& at = run.at;
    DWORD error = RemoveFile(run, at.data + kPostUpgradeProgramName);
    if (error != 0)
        run.FailedCall(kPostUpgradeProgramName, error);
    std::vector<size_t> held;
    for (size_t i = 0; i < steps.size() && error == 0; ++i) {
        if (steps[i].kind == 'B' && !DeleteFileA(BackupOf(at, i).c_str())) {
            const DWORD failed = GetLastError();
            if (failed != ERROR_FILE_NOT_FOUND && failed != ERROR_PATH_NOT_FOUND)
                held.push_back(i);
        }
    }
    for (size_t i : held) {
        if (error == 0 && (error = RemoveFile(run, BackupOf(at, i))) != 0)
            run.FailedCall(kBackupFolderName + BackupName(i), error);
    }
    if (error != 0)
        return false;
    if (!RemoveFolder(at.backup, BackupFolders(steps))) {
        run.Fail(UpdateReason::kSystemError, kBackupFolderName, ERROR_DIR_NOT_EMPTY);
        return false;
    }
    if (!RemoveFolder(at.update, stagedFolders)) {
        run.Fail(UpdateReason::kSystemError, kUpdateFolderName, ERROR_DIR_NOT_EMPTY);
        return false;
    }
    if ((error = RemoveFile(run, at.journal)) != 0) {
        run.FailedCall(kJournalName, error);
        return false;
    }
    return true;
}

// Undoes the first `count` steps, last first. kKept when all are undone
// (the journal and the emptied backup folder then go), else kUnfinished
// with the journal kept for a later run.
ApplyOutcome RollBack(Run& run, const Steps& steps, size_t count) {
    run.patience.Extend(kUndoPatienceMs);
    for (size_t i = count; i-- > 0;) {
        const DWORD error = EnsureUndone(run, steps, i);
        if (error != 0) {
            // What kept the undo back is what the application must hear of.
            run.why = UpdateStatus();
            run.FailedCall(steps[i].path, error);
            return ApplyOutcome::kUnfinished;
        }
    }
    // Everything is back. A journal that cannot go now is taken up by the
    // next run, which finds the update pending as staged and applies it.
    if (RemoveFolder(run.at.backup, BackupFolders(steps)))
        RemoveFile(run, run.at.journal);
    return ApplyOutcome::kKept;
}

// Reports the failure of `step`: a staged file not found to move in is
// named where it was staged.
void FailedStep(Run& run, const Step& step, DWORD error) {
    run.FailedCall(step.kind == 'I' && error == ERROR_FILE_NOT_FOUND ? kUpdateFolderName + step.path
                                                                      : step.path,
                   error);
}

// Runs the steps in order, `resume` for a journal whose steps may have run
// already; `limit` (when not negative) stops the run after that many. The
// number run to the end, or the index of the step that failed.
size_t RunSteps(Run& run, const Steps& steps, bool resume, long limit) {
    size_t i = 0;
    for (; i < steps.size() && (limit < 0 || i < static_cast<size_t>(limit)); ++i) {
        const DWORD error = resume ? EnsureDone(run, steps, i) : Do(run, steps, i);
        if (error != 0) {
            FailedStep(run, steps[i], error);
            break;
        }
    }
    return i;
}

// True when one step's entry is the other's, or lies inside it: the later
// of the two must wait for the earlier.
bool Related(const std::u16string& a, const std::u16string& b) {
    const std::u16string& shorter = a.size() <= b.size() ? a : b;
    const std::u16string& longer = a.size() <= b.size() ? b : a;
    return longer.compare(0, shorter.size(), shorter) == 0 &&
           (longer.size() == shorter.size() || longer[shorter.size()] == u'\\');
}

// The most steps put off at once; past that the run goes on in order.
const size_t kMostPutOff = 64;

// The forward run of a fresh journal. Another program that walks the same
// files in the same order (a scanner, a backup agent) would be met at every
// step if each held step were waited for in turn; so a step that meets a
// held file is put off, with every later step related to it, and those run
// in order at the end, with the run's patience. `limit` (when not negative)
// stops the run after that many steps. The number run, steps.size() when
// all ran, or more than steps.size() when one failed.
size_t RunFreshSteps(Run& run, const Steps& steps, long limit) {
    std::vector<size_t> putOff;
    std::vector<std::u16string> putOffKeys;
    size_t ran = 0;
    const auto stopped = [&] { return limit >= 0 && ran == static_cast<size_t>(limit); };
    const auto fail = [&](size_t i, DWORD error) {
        FailedStep(run, steps[i], error);
        return steps.size() + 1;
    };
    for (size_t i = 0; i < steps.size() && !stopped(); ++i) {
        const bool canPutOff = limit < 0 && putOff.size() < kMostPutOff;
        if (!putOff.empty()) {
            const std::u16string key = KeyOf(steps[i].path);
            bool related = false;
            for (const std::u16string& other : putOffKeys)
                related = related || Related(key, other);
            if (related && canPutOff) {
                putOff.push_back(i);
                putOffKeys.push_back(key);
                continue;
            }
            if (related) {
                // Too many put off: the rest goes in order, waiting.
                for (size_t waiting : putOff) {
                    const DWORD error = Do(run, steps, waiting);
                    if (error != 0)
                        return fail(waiting, error);
                    ++ran;
                }
                putOff.clear();
                putOffKeys.clear();
            }
        }
        run.hurried = canPutOff;
        const DWORD error = Do(run, steps, i);
        run.hurried = false;
        if (error != 0 && canPutOff && IsPassingHold(error)) {
            putOff.push_back(i);
            putOffKeys.push_back(KeyOf(steps[i].path));
            continue;
        }
        if (error != 0)
            return fail(i, error);
        ++ran;
    }
    for (size_t i : putOff) {
        if (stopped())
            break;
        const DWORD error = Do(run, steps, i);
        if (error != 0)
            return fail(i, error);
        ++ran;
    }
    return ran;
}

// The commit mark counts only once it is on the disk. When it cannot be
// written through, the journal is read back: without the mark, an undo is
// safe; with it (a write that went through, a flush that failed), the
// journal is written again without it, so that it cannot read as a commit
// after an undo.
// kApplied when committed, kKept when the mark is surely absent, and
// kUnfinished when neither is sure: the steps all ran, and the next run
// finishes them again whichever the disk holds.
ApplyOutcome Commit(Run& run, const Steps& steps) {
    // The mark begins a line of its own: an earlier append cut off by a
    // power cut can leave zeros of its length at the end (the length reached
    // the disk, the data did not), and a mark appended to that line would
    // never be read as one.
    DWORD error = Patiently(run.patience, [&] {
        const DWORD written = WriteFileThrough(
            run.at.journal, std::string("\r\n") + kCommitMark + "\r\n", true);
        SetLastError(written);
        return written == 0;
    });
    if (error == 0)
        return ApplyOutcome::kApplied;
    run.FailedCall(kJournalName, error);
    // Another program holding the journal for reading left it as it was.
    Steps written;
    bool committed = false;
    if (ReadJournal(run.at.journal, written, committed) && !committed)
        return ApplyOutcome::kKept;
    error = Patiently(run.patience, [&] {
        const DWORD written = WriteFileThrough(run.at.journal, JournalText(steps));
        SetLastError(written);
        return written == 0;
    });
    return error == 0 ? ApplyOutcome::kKept : ApplyOutcome::kUnfinished;
}

ApplyOutcome Recover(Run& run) {
    const Folders& at = run.at;
    Steps steps;
    bool committed = false;
    if (!ReadJournal(at.journal, steps, committed)) {
        // Every change waits for the whole journal on the disk, so one cut
        // short was never acted on. A backup beside it means the journal was
        // damaged after changes were made: nothing is guessed then.
        if (Exists(at.backup)) {
            run.Fail(UpdateReason::kSystemError, kJournalName, ERROR_INVALID_DATA);
            return ApplyOutcome::kUnfinished;
        }
        if (RemoveFile(run, at.journal) != 0) {
            run.Fail(UpdateReason::kSystemError, kJournalName, ERROR_INVALID_DATA);
            return ApplyOutcome::kUnfinished;
        }
        return ApplyOutcome::kNothingPending;
    }
    if (!committed) {
        if (!CanChangeNow(run, steps) || RunSteps(run, steps, true, -1) != steps.size())
            return RollBack(run, steps, steps.size());
        const ApplyOutcome commit = Commit(run, steps);
        if (commit == ApplyOutcome::kKept)
            return RollBack(run, steps, steps.size());
        if (commit == ApplyOutcome::kUnfinished)
            return commit;
    }
    CleanUp(run, steps, StringList());
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

// What is to be moved in, relative to the staged tree: its folders in
// pre-order and its files. From the staged list when it gives sizes and
// digests (a file in the tree that the list does not stage is not applied),
// else from the tree itself, without the machinery's own names at its top.
struct Staged {
    StringList folders;
    StringList files;
    std::vector<const VersionEntry*> checks;  // what each staged file must hold
    bool hasVersionList = false;
};

// What the two versions' lists say.
struct Lists {
    VersionEntries newList, oldList;
    bool newValid = false;   // the staged list, whole and naming what is staged
    bool oldValid = false;
    bool verifiable = false; // the staged list gives sizes and digests
    bool listDamaged = false; // one with digests that does not read whole
    KeySet claimed;          // the new version's entries and the folders above them
};

struct Plan {
    Staged staged;
    Lists lists;
    Steps steps;
    KeySet removed;
};

// The staged tree, walked once: a link anywhere makes it one that cannot be
// applied whole, and nothing behind the link is read.
bool ReadStagedTree(Run& run, Staged& staged) {
    const Folders& at = run.at;
    TreeWalk walk;
    if (IsFolderLink(at.update)) {
        run.Fail(UpdateReason::kLink, WithoutTrailingBackslash(kUpdateFolderName));
        return false;
    }
    if (!WalkTree(at.update, true, walk)) {
        run.Fail(UpdateReason::kSystemError, kUpdateFolderName, walk.errorCode);
        return false;
    }
    if (!walk.links.empty()) {
        run.Fail(UpdateReason::kLink, WithoutTrailingBackslash(walk.links[0].substr(at.data.size())));
        return false;
    }
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

// Reads both lists. A staged list of names only must name everything the
// tree holds, or it is not used; one with digests says itself what is
// staged.
void ReadLists(const Folders& at, Staged& staged, Lists& lists) {
    bool claimsDigests = false;
    lists.newValid = staged.hasVersionList &&
                     ReadVersionList(at.update + kVersionListName, lists.newList, &claimsDigests);
    lists.listDamaged = staged.hasVersionList && claimsDigests && !lists.newValid;
    lists.oldValid = ReadVersionList(at.data + kVersionListName, lists.oldList);
    for (const VersionEntry& entry : lists.newList)
        lists.verifiable |= entry.hasDigest;
    for (const VersionEntry& entry : lists.newList) {
        const std::string path = WithoutTrailingBackslash(entry.path);
        lists.claimed.Add(path);
        for (const std::string& folder : FoldersAbove(path))
            lists.claimed.Add(folder);
    }
    lists.claimed.Seal();
    if (lists.verifiable) {
        staged.folders.clear();
        staged.files.clear();
        for (const VersionEntry& entry : lists.newList) {
            if (!entry.hasDigest) {
                staged.folders.push_back(WithoutTrailingBackslash(entry.path));
            } else if (entry.staged) {
                staged.files.push_back(entry.path);
                staged.checks.push_back(&entry);
            }
        }
        return;
    }
    for (const StringList* entries : {&staged.folders, &staged.files}) {
        for (const std::string& path : *entries)
            lists.newValid = lists.newValid && lists.claimed.Has(path);
    }
}

// Files the new version drops go aside first; the folders they leave
// empty are returned in `emptied`. Only with both lists; a link on the way
// to any entry removes nothing at all.
void PlanRemovals(const Folders& at, Plan& plan, StringList& emptied) {
    const Lists& lists = plan.lists;
    if (!lists.newValid || !lists.oldValid)
        return;
    StringList removals, clear;
    for (const VersionEntry& entry : lists.oldList) {
        const bool listedAsFolder = LastCharIs(entry.path, '\\', IsSystemLeadByte);
        const std::string path = WithoutTrailingBackslash(entry.path);
        if (lists.claimed.Has(path))
            continue;
        // Only what is still of the kind the list gave: a file the
        // application put where a listed folder was is its own.
        const DWORD attributes = AttributesOf(at.data + path);
        if (listedAsFolder ? !IsFolderAttributes(attributes) : !IsFileAttributes(attributes))
            continue;
        if (LinkOnTheWay(at.data, path, clear)) {
            emptied.clear();
            return;
        }
        if (listedAsFolder) {
            emptied.push_back(path);
            continue;
        }
        removals.push_back(path);
        for (const std::string& folder : FoldersAbove(path)) {
            if (!lists.claimed.Has(folder))
                emptied.push_back(folder);
        }
    }
    for (const std::string& path : removals) {
        plan.removed.Add(path);
        plan.steps.push_back(Step{'B', path});
    }
}

// A folder the new version turns into a file goes when the update removes
// everything in it; its folders go deepest first.
bool PlanFoldersToFiles(Run& run, Plan& plan, const std::vector<DWORD>& installedAttributes) {
    const Folders& at = run.at;
    const StringList& files = plan.staged.files;
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string installed = at.data + files[i];
        if (!IsFolderAttributes(installedAttributes[i]))
            continue;
        TreeWalk inside;
        if (IsLinkWith(installedAttributes[i], installed) ||
            !WalkTree(installed + '\\', true, inside) || !inside.links.empty()) {
            run.Fail(UpdateReason::kLink, files[i]);
            return false;
        }
        for (const TreeFolder& folder : inside.folders) {
            for (const TreeFile& held : folder.files) {
                if (!plan.removed.Has(folder.path.substr(at.data.size()) + held.name)) {
                    run.Fail(UpdateReason::kKindChange, files[i]);
                    return false;
                }
            }
        }
        for (auto folder = inside.folders.rbegin(); folder != inside.folders.rend(); ++folder)
            plan.steps.push_back(Step{'R', WithoutTrailingBackslash(folder->path.substr(at.data.size()))});
    }
    return true;
}

// The staged folders and files come in, each installed file they replace
// (or a file where a folder comes) moved aside first; then the version list.
bool PlanMoves(Run& run, Plan& plan) {
    const Folders& at = run.at;
    const StringList& files = plan.staged.files;
    std::vector<DWORD> installedAttributes;
    installedAttributes.reserve(files.size());
    for (const std::string& file : files)
        installedAttributes.push_back(AttributesOf(at.data + file));
    if (!PlanFoldersToFiles(run, plan, installedAttributes))
        return false;
    for (const std::string& folder : plan.staged.folders) {
        const DWORD attributes = AttributesOf(at.data + folder);
        if (IsFolderAttributes(attributes))
            continue;
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if (IsLinkWith(attributes, at.data + folder)) {
                run.Fail(UpdateReason::kLink, folder);
                return false;
            }
            if (!plan.removed.Has(folder))
                plan.steps.push_back(Step{'B', folder});
        }
        plan.steps.push_back(Step{'M', folder});
    }
    for (size_t i = 0; i < files.size(); ++i) {
        if (IsFileAttributes(installedAttributes[i])) {
            if (IsLinkWith(installedAttributes[i], at.data + files[i])) {
                run.Fail(UpdateReason::kLink, files[i]);
                return false;
            }
            plan.steps.push_back(Step{'B', files[i]});
        }
        plan.steps.push_back(Step{'I', files[i]});
    }
    if (plan.lists.newValid) {
        if (Exists(at.data + kVersionListName))
            plan.steps.push_back(Step{'B', kVersionListName});
        plan.steps.push_back(Step{'I', kVersionListName});
    }
    return true;
}

// Folders left empty go last, deepest first, each once.
void PlanEmptiedFolders(Plan& plan, StringList& emptied) {
    std::sort(emptied.begin(), emptied.end(), [](const std::string& a, const std::string& b) {
        const size_t depthA = BackslashesOf(a).size(), depthB = BackslashesOf(b).size();
        return depthA != depthB ? depthA > depthB : a < b;
    });
    emptied.erase(std::unique(emptied.begin(), emptied.end()), emptied.end());
    for (const std::string& folder : emptied)
        plan.steps.push_back(Step{'R', folder});
}

// The journal must be able to name every step again, or a run cut short
// could be neither finished nor undone.
bool CheckNames(Run& run, const Steps& steps) {
    for (const Step& step : steps) {
        if (step.path != kVersionListName && !IsInstallationPath(SystemToUtf8(step.path))) {
            run.Fail(UpdateReason::kUnnamable, step.path);
            return false;
        }
    }
    return true;
}

// The steps that turn the installation into the staged version, in the
// order they run: files the new version drops go aside, folders turned into
// files and emptied go, then the staged folders and files come, then the
// version list, then the folders left empty go. False, with the reason,
// when the update cannot be applied whole (a link in the way, a folder to
// become a file that holds files of no version): nothing is then changed.
bool PlanSteps(Run& run, Plan& plan) {
    if (!ReadStagedTree(run, plan.staged))
        return false;
    ReadLists(run.at, plan.staged, plan.lists);
    if (plan.lists.listDamaged) {
        run.Fail(UpdateReason::kDamaged, kUpdateFolderName + std::string(kVersionListName));
        return false;
    }
    StringList emptied;
    PlanRemovals(run.at, plan, emptied);
    plan.removed.Seal();
    if (!PlanMoves(run, plan))
        return false;
    PlanEmptiedFolders(plan, emptied);
    return CheckNames(run, plan.steps);
}

// Reads the staged file at `path` whole and tells whether it holds what
// `expected` says. It is opened to be moved as well (read and delete
// access, sharing reads only), so a file another program holds waits for
// it as a move would. 0 when it matches; ERROR_FILE_NOT_FOUND when it is
// missing, ERROR_INVALID_DATA when its size or digest differ, or the error
// of the call that failed.
DWORD CheckStagedFile(HoldPatience& patience, const std::string& path,
                      const VersionEntry* expected, std::vector<char>& buffer) {
    HANDLE opened = INVALID_HANDLE_VALUE;
    DWORD error = Patiently(patience, [&] {
        opened = CreateFileA(path.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        return opened != INVALID_HANDLE_VALUE;
    });
    FileHandle file(opened);
    if (error != 0)
        return error == ERROR_PATH_NOT_FOUND ? ERROR_FILE_NOT_FOUND : error;
    // A list without digests says nothing to check: only that the file
    // can be moved.
    if (!expected)
        return 0;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.get(), &size))
        return GetLastError();
    if (static_cast<unsigned long long>(size.QuadPart) != expected->size)
        return ERROR_INVALID_DATA;
    // Nothing can write the file while it is open here, so reading its size
    // is reading it whole, without the call that would find its end.
    Sha256 hash;
    for (unsigned long long left = expected->size; left > 0;) {
        const DWORD want = static_cast<DWORD>(left < buffer.size() ? left : buffer.size());
        DWORD read = 0;
        if (!ReadFile(file.get(), buffer.data(), want, &read, nullptr))
            return GetLastError();
        if (read == 0)
            return ERROR_INVALID_DATA;
        hash.Update(buffer.data(), read);
        left -= read;
    }
    return hash.Finish() == expected->digest ? 0 : ERROR_INVALID_DATA;
}

// Every file the staged list says is staged, read whole: true when each is
// there with its size and digest, and can be moved. Without digests in the
// list, only that every staged file can be moved now. Otherwise `damaged`
// tells a damaged tree (to be discarded) from one that cannot be read now
// (to wait).
bool VerifyStaged(Run& run, const Plan& plan, bool& damaged) {
    damaged = false;
    std::vector<char> buffer(256 * 1024);
    HoldPatience once = NoPatience();
    std::vector<size_t> held;
    const auto expected = [&plan](size_t i) {
        return i < plan.staged.checks.size() ? plan.staged.checks[i] : nullptr;
    };
    for (size_t i = 0; i < plan.staged.files.size(); ++i) {
        const DWORD error =
            CheckStagedFile(once, run.at.update + plan.staged.files[i], expected(i), buffer);
        if (error != 0)
            held.push_back(i);
    }
    for (size_t i : held) {
        const std::string& file = plan.staged.files[i];
        const DWORD error = CheckStagedFile(run.patience, run.at.update + file, expected(i), buffer);
        if (error == 0)
            continue;
        const std::string shown = kUpdateFolderName + file;
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_INVALID_DATA) {
            damaged = true;
            run.Fail(error == ERROR_FILE_NOT_FOUND ? UpdateReason::kMissing : UpdateReason::kDamaged,
                     shown);
        } else {
            run.FailedCall(shown, error);
        }
        return false;
    }
    return true;
}

// Before the first change: the update can go in whole now, and what it
// moves in is what was staged. kApplied here means "go on".
ApplyOutcome Prepare(Run& run, Plan& plan) {
    // A backup folder without a journal is left from a clean-up cut short;
    // each journal needs an empty one.
    if (Exists(run.at.backup) && !RemoveFolder(run.at.backup, StringList())) {
        run.Fail(UpdateReason::kSystemError, WithoutTrailingBackslash(kBackupFolderName),
                 ERROR_DIR_NOT_EMPTY);
        return ApplyOutcome::kKept;
    }
    if (!TopFilesCanChangeNow(run))
        return ApplyOutcome::kKept;
    bool damaged = false;
    if (!PlanSteps(run, plan)) {
        if (!plan.lists.listDamaged)
            return ApplyOutcome::kKept;
        damaged = true;
    } else if (!CanChangeNow(run, plan.steps)) {
        return ApplyOutcome::kKept;
    }
    if (damaged || !VerifyStaged(run, plan, damaged)) {
        if (!damaged)
            return ApplyOutcome::kKept;
        // Checked again at every start it would only fail again.
        RemoveFolder(run.at.update, StringList());
        return ApplyOutcome::kDiscarded;
    }
    // The moves below carry the staged data; it must be on the disk before
    // the journal relies on it. The stager flushes what it stages.
    if (!plan.lists.newValid) {
        for (const Step& step : plan.steps) {
            if (step.kind != 'I')
                continue;
            const DWORD error = FlushFileToDisk(run.at.update + step.path);
            if (error != 0) {
                run.FailedCall(kUpdateFolderName + step.path, error);
                return ApplyOutcome::kKept;
            }
        }
    }
    return ApplyOutcome::kApplied;
}

// Journal, steps, commit mark. kApplied when committed; otherwise what the
// undo achieved, or kUnfinished where a test stops the run as a kill would.
ApplyOutcome Execute(Run& run, const Steps& steps, long stopAfterChanges) {
    const Folders& at = run.at;
    DWORD error = Patiently(run.patience, [&] {
        const DWORD written = WriteFileThrough(at.journal, JournalText(steps));
        SetLastError(written);
        return written == 0;
    });
    if (error == 0 && !CreateDirectoryA(at.backup.c_str(), nullptr))
        error = GetLastError();
    if (error != 0) {
        run.FailedCall(kJournalName, error);
        RemoveFile(run, at.journal);
        return ApplyOutcome::kKept;
    }
    const size_t ran = RunFreshSteps(run, steps, stopAfterChanges);
    if (ran > steps.size()) {
        // Every step, the failed one and those put off too: a move happens
        // whole or not at all, and each undo looks which.
        return RollBack(run, steps, steps.size());
    }
    if (ran < steps.size())
        return ApplyOutcome::kUnfinished;
    if (stopAfterChanges >= 0 && steps.size() == static_cast<size_t>(stopAfterChanges))
        return ApplyOutcome::kUnfinished;
    const ApplyOutcome commit = Commit(run, steps);
    if (commit == ApplyOutcome::kKept)
        return RollBack(run, steps, steps.size());
    return commit;
}

ApplyOutcome ApplyLocked(Run& run, long stopAfterChanges) {
    const Folders& at = run.at;
    if (Exists(at.journal)) {
        const ApplyOutcome recovered = Recover(run);
        if (recovered == ApplyOutcome::kApplied || recovered == ApplyOutcome::kUnfinished)
            return recovered;
        // Undone: the update is tried afresh, and what keeps it now is told.
        run.why = UpdateStatus();
    }
    if (!Exists(at.update))
        return ApplyOutcome::kNothingPending;
    Plan plan;
    const ApplyOutcome prepared = Prepare(run, plan);
    if (prepared != ApplyOutcome::kApplied)
        return prepared;
    const ApplyOutcome executed = Execute(run, plan.steps, stopAfterChanges);
    if (executed != ApplyOutcome::kApplied)
        return executed;
    if (stopAfterChanges >= 0 && plan.steps.size() + 1 == static_cast<size_t>(stopAfterChanges))
        return ApplyOutcome::kUnfinished;
    CleanUp(run, plan.steps, plan.staged.folders);
    return ApplyOutcome::kApplied;
}

// Writes the status line for the application, unless update.status holds
// it already. Best effort: the launcher shows nothing either way.
void RecordStatus(Run& run, const ApplyResult& result) {
    if (result.outcome == ApplyOutcome::kNothingPending)
        return;
    const std::string line = FormatStatusLine(result.status) + "\r\n";
    const std::string status = run.at.data + kStatusName;
    std::string now;
    unsigned long error = 0;
    if (ReadWholeFile(status, now, error, 64 * 1024) && now == line)
        return;
    const std::string draft = run.at.data + kStatusDraftName;
    HoldPatience patience(kUndoPatienceMs, kTriesPerCall, kLongestWaitMs);
    if (WriteFileThrough(draft, line) == 0 &&
        Patiently(patience, [&] {
            return MoveFileExA(draft.c_str(), status.c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
        }) == 0)
        return;
    DeleteFileA(draft.c_str());
}

}  // namespace

ApplyResult FinishInterruptedApply(const std::string& dataFolder) {
    Run run(dataFolder);
    if (!Exists(run.at.journal))
        return run.Ended(ApplyOutcome::kNothingPending);
    return run.Ended(Recover(run));
}

ApplyResult ApplyStagedUpdateStoppingAfter(const std::string& dataFolder, long changes) {
    Run run(dataFolder);
    const ApplyResult result = run.Ended(ApplyLocked(run, changes));
    if (result.outcome != ApplyOutcome::kUnfinished || changes < 0)
        RecordStatus(run, result);
    return result;
}

ApplyResult ApplyStagedUpdateLocked(const std::string& dataFolder) {
    return ApplyStagedUpdateStoppingAfter(dataFolder, -1);
}

ApplyResult ApplyStagedUpdate(const std::string& dataFolder) {
    CInstallationLock lock =
        CInstallationLock::Acquire(dataFolder, kApplyLockPurpose, kUpdateLockWaitMs);
    if (!lock.IsHeld()) {
        Run run(dataFolder);
        run.Fail(UpdateReason::kLockBusy, std::string(), lock.ErrorCode());
        return run.Ended(Exists(dataFolder + kJournalName) ? ApplyOutcome::kUnfinished
                                                           : ApplyOutcome::kKept);
    }
    return ApplyStagedUpdateLocked(dataFolder);
}
