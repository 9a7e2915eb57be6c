// Staging an update for the launcher: a vendor's updater (or OrbexStage.exe)
// hands over a folder tree laid out like the data folder, and the tree
// becomes the data folder's pending update in one step, never half-written.
#ifndef ORBEX_UPDATE_STAGE_UPDATE_H_
#define ORBEX_UPDATE_STAGE_UPDATE_H_

#include <string>

// What a StageUpdate call did, or why it did nothing.
struct StageResult {
    bool ok = false;
    // On failure: one sentence for a person, naming the path concerned and,
    // for a failed platform call, ending with the system's message for it.
    std::string errorText;
    unsigned long long filesStaged = 0;
    unsigned long long bytesStaged = 0;
    // Files of the source equal to the installed ones, not staged.
    unsigned long long filesLeftOut = 0;
    unsigned long long bytesLeftOut = 0;
    // Set when the tree published fine but a replaced older update could not
    // be deleted completely: what is left lies in update.old\, which the
    // launcher never applies and the next stage removes.
    std::string warning;
};

// Stages the tree `sourceTree` as the pending update of `dataFolder`.
//
// Success: dataFolder\update\ holds a copy of every file of the source that
// is new or differs from the installed file at the same place in the data
// folder, the folders those need, and the source's folders that the data
// folder lacks; with `stageAll`, every file and folder of the source. A file
// differs when its size does, or, where the installed version's list gives
// the file's SHA-256, when the source's digest does (the installed file is
// then only asked for its size, not read: one changed since at the same
// size goes unnoticed); elsewhere by content. An installed file that cannot
// be read, or is open for writing, counts as different. The staged tree
// also holds update\update.version, the list of every file and folder of the
// source, staged or left out, each file with its size and SHA-256 and
// whether it is staged (list_file.h): applied, the launcher checks every
// staged file against it before the first change, and removes what the
// installed version's list has and this one lacks (apply_update.h). Each
// source file is read once, for its copy and its digest together (twice
// when its digest must first be compared). Each staged file is written through to the disk
// before the update is published, so the launcher can move it into place
// without copying it again. Staged files are never read-only (a read-only
// file would make the next update that replaces it wait for ever). A
// pending update that was there before is replaced whole, never merged, and
// deleted; the comparison is with the installed files, never with it. The
// source and the rest of the data folder are not changed; installed files
// are only read, one at a time, and never opened for writing. An apply that
// a launcher left cut short is first finished or undone, under the lock.
//
// How: the copy is written to dataFolder\update.partial\ (a leftover of a
// stager that was killed is deleted first), then renamed to update\ while
// holding the installation's update lock, so no launcher ever sees a partial
// tree. When an update is pending and only changes are staged, the lock is
// held from the comparison on, so that no launcher changes the installed
// files under it. One stager at a time per installation; a launcher applying
// an update is waited for (at most kUpdateLockWaitMs each). A rename or a
// deletion that meets a file another program holds for a moment (a scanner
// looking at each file just written) is tried again, up to ten seconds in
// all for each.
//
// Refused, with nothing changed: an empty path; a source or data folder that
// does not exist or cannot be entered; a source inside the data folder, or
// the data folder inside the source (also the same folder); a source holding
// a link at any depth (IsLinkEntry: a cloud placeholder is an ordinary
// file), an entry at its top with a name the update machinery keeps
// (IsReservedName: update, update.*), or a name a version's list cannot
// carry (IsInstallationPath); the lock not had in time; an apply cut short
// that can be neither finished nor undone now. A copy that fails part-way
// deletes update.partial\ again and leaves any pending update as it was.
// errorText says which. May throw std::bad_alloc.
//
// The host is left alone: StageUpdate changes no process-wide state. It
// never changes the current directory (a relative path is completed from
// it once, at the start), the code page, the locale (SetThreadLocale,
// setlocale), the error mode, the environment or the DLL search path, and
// it keeps no state of its own between calls. So it may run on one thread
// of a process while the others run on, relative paths and all. What it
// holds while it runs it holds for its own thread, and lets go before it
// returns: the installation's named locks (update_lock.h), and file and
// search handles. Two calls at once for one data folder, from threads of
// one process or from two processes, take turns.
StageResult StageUpdate(const std::string& sourceTree, const std::string& dataFolder,
                        bool stageAll = false);

#endif  // ORBEX_UPDATE_STAGE_UPDATE_H_
