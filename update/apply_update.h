// Applying a pending update as one transaction: the installation (the data
// folder without its update* entries) is, after every run that ends,
// exactly the installed version or exactly the staged one, never a mix.
//
// How. The staged tree is compared with the installation and turned into a
// list of steps, each with its undo:
//   B path   move the installed file aside, to update.backup\<n / 256>\<n> for step n
//   I path   move the staged file into place, from update\path
//   M path   make a folder the staged version has
//   R path   remove a folder (emptied, or turned into a file); one that
//            still holds the application's files stays, any other failure
//            is one
// Before the first change, every installed file that a step moves aside is
// opened for writing without sharing: a file that is read-only or open in
// another process (a running program's image included) makes the whole
// update wait, unchanged, for a later start. Then every file the staged list
// says is staged is read whole, and must be there with the list's size and
// SHA-256; a staged tree that fails this is damaged, and is removed whole
// without a change to the installation. The steps are then written to
// update.journal and flushed to the disk; after the last step a commit mark
// is appended and flushed, and only then are the backups, the staged tree,
// the post-upgrade program and the journal deleted (the journal last, and
// only when everything before it went). A step that fails undoes the steps
// before it. A run cut short (killed, power cut) is finished by the next one
// from the journal, or, when a file it would move aside is in use by then or
// a staged file it would still move in is gone, undone whole.
//
// Files held for a moment. Another program (a virus scanner, an indexer, a
// backup agent) may hold a file for a few milliseconds. A check, a move or a
// delete that meets a sharing violation, a lock violation or access denied
// is tried again after 10, 20, 40, 80 and 160 ms, within kHoldPatienceMs for
// the check and the steps of one start and kUndoPatienceMs more for an undo.
// Checks ask every file once before they wait for the ones still held, and
// a step that meets a held file is put off, with the later steps on the same
// entry or inside it, until the others have run. A file held as a running
// program's image (it can be renamed, not written) is the running
// application's: it gets no wait, so a start while the application runs
// costs no more than one without an update.
//
// Versions. The stager puts the list of every file of the staged version
// into the staged tree (update\update.version); once applied it is the
// installed version's list (update.version). A file on the installed list
// that the staged version's list lacks is removed in the same transaction,
// and so is a folder this leaves empty; a file or folder on no list (made by
// the application) is never touched, nor is the folder that holds it. Both
// lists must pass IsInstallationPath entry by entry, and nothing on the way
// to an entry may be a link; otherwise nothing is removed. A staged tree
// without a valid list (staged by other means) adds and replaces only,
// leaves the installed list as it is, and has its files flushed first (the
// stager flushes what it stages).
//
// A staged list that gives digests also says what is staged: a file the
// staged tree holds and that list does not stage is not moved in, and goes
// with the staged tree.
//
// Kinds. A staged folder where a file is installed replaces that file; a
// staged file where a folder is installed replaces the folder when every
// file in it is one the update removes, and otherwise waits.
#ifndef ORBEX_UPDATE_APPLY_UPDATE_H_
#define ORBEX_UPDATE_APPLY_UPDATE_H_

#include <string>

#include "update/update_status.h"

// The most one start waits for files that other programs hold for a moment:
// for the checks and the steps, and then for an undo.
constexpr unsigned long kHoldPatienceMs = 1000;
constexpr unsigned long kUndoPatienceMs = 300;

enum class ApplyOutcome {
    kNothingPending,  // no update was pending and nothing was unfinished
    kApplied,         // the staged version is installed whole; no update is pending
    kKept,            // the installed version is whole; the update stays pending
    kDiscarded,       // the staged tree was damaged and is removed; the installed
                      // version is whole
    kUnfinished,      // an apply cut short could be neither finished nor undone
                      // (a file in use): the installation is mixed until a later run
};

// What a run did, and the status line it means for the application (the
// state follows the outcome; the path and reason say what kept or damaged
// the update, or what a clean-up could not remove).
struct ApplyResult {
    ApplyOutcome outcome = ApplyOutcome::kNothingPending;
    UpdateStatus status;
};

// Takes the installation's update lock (waiting at most kUpdateLockWaitMs),
// finishes or undoes an apply cut short, then applies the pending update,
// if any, and writes the status. `dataFolder` is a full path ending with a
// backslash. Without the lock in time nothing is changed and nothing is
// written: kKept, or kUnfinished when a journal shows the holder may be
// mid-change. May throw std::bad_alloc.
ApplyResult ApplyStagedUpdate(const std::string& dataFolder);

// The same with the lock held by the caller. When an update was pending or
// a journal was found, the status line is written to update.status (a
// temporary file flushed, then moved over it), unless the file holds that
// line already: a start blocked by the running application writes nothing
// again and again.
ApplyResult ApplyStagedUpdateLocked(const std::string& dataFolder);

// With the lock held by the caller: finishes or undoes an apply cut short,
// and does nothing else; writes no status. kNothingPending when none was cut
// short; kApplied when it was finished, kKept when it was undone (its update
// is pending again), kUnfinished when neither could be done.
ApplyResult FinishInterruptedApply(const std::string& dataFolder);

#endif  // ORBEX_UPDATE_APPLY_UPDATE_H_
