// What a start did with a pending update, in words the application can read:
// the first line of OrbexData\update.status, "<state> <detail>", UTF-8.
//   applied     the new version is in
//   waiting     nothing changed; the update is tried again at the next start
//   discarded   the update was damaged and removed: stage it again
//   unfinished  an apply cut short could be neither finished nor undone
// The detail names the file concerned, relative to the data folder, when
// there is one, then the reason, the system's error code when one was
// reported, and ", permanent" when the reason does not pass by itself.
//
// Portable: no Windows header.
#ifndef ORBEX_UPDATE_UPDATE_STATUS_H_
#define ORBEX_UPDATE_UPDATE_STATUS_H_

#include <string>

enum class UpdateState { kApplied, kWaiting, kDiscarded, kUnfinished };

enum class UpdateReason {
    kNone,
    kInUse,           // open in another program, or the running application's own file
    kReadOnly,        // permanent: an installed file to replace or remove is read-only
    kLink,            // permanent: a link in the staged tree or on the way to a listed file
    kKindChange,      // permanent: a folder to become a file holds the user's files
    kUnnamable,       // permanent: a name the journal cannot carry
    kDamaged,         // a staged file differs in size or SHA-256 from the staged list
    kMissing,         // a file the staged list says is staged is not there
    kNotListed,       // the staged tree holds a file its list does not stage
    kLockBusy,        // another launcher or stager kept the update lock
    kSystemError,     // any other failed call; the code says which
};

struct UpdateStatus {
    UpdateState state = UpdateState::kApplied;
    UpdateReason reason = UpdateReason::kNone;
    std::string path;         // UTF-8, relative to the data folder; empty when none
    unsigned long error = 0;  // the system's error code; 0 when none
};

// True for the reasons that stay until someone acts: the update waits for
// ever unless the file or the staged tree is changed.
bool IsPermanent(UpdateReason reason);

// The status line, without a line break. A path with a line break in it
// cannot come from a valid name; such characters are written as '?'.
std::string FormatStatusLine(const UpdateStatus& status);

#endif  // ORBEX_UPDATE_UPDATE_STATUS_H_
