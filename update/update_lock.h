// The locks that make updates of one installation happen one at a time:
// named mutexes, named after the data folder, in the namespace that every
// logon session shares (Global\), so that the launchers of two users on one
// installation (fast user switching, a terminal server) wait for each other
// as launchers of one user do. A process that cannot create or open the name
// there uses its own session's namespace (Local\) instead, and is then kept
// apart only from the launchers and stagers of its session. The holder of a
// Global\ lock takes the Local\ name too, second, so that launchers and
// stagers built when the lock was named in Local\ alone still wait for it.
//
// The apply lock (kApplyLockPurpose) is held
//   - by a launcher for the whole apply of a pending update or of a journal
//     left by an apply cut short: finishing or undoing that apply, the
//     in-use check, the moves, the commit mark and the clean-up
//     (apply_update.h);
//   - by a stager (stage_update.h) that stages only changed files while an
//     update or a journal is pending, from before it compares the installed
//     files until it has published, so that no launcher changes them under
//     the comparison; any other stager takes it only to publish. Either way
//     it first finishes or undoes an apply cut short, and keeps the lock
//     until it has removed the update it replaced.
// The stage lock (kStageLockPurpose) keeps two stagers apart, from the
// removal of a leftover update.partial\ until the stager returns.
#ifndef ORBEX_UPDATE_UPDATE_LOCK_H_
#define ORBEX_UPDATE_UPDATE_LOCK_H_

#include <string>

// How long a launcher or stager waits for the lock: longer than any update
// takes to apply, short enough that a stuck holder cannot keep the
// application from starting for good.
constexpr unsigned long kUpdateLockWaitMs = 120000;

// Lock purposes (see above): "update" is the apply lock, "stage" the stage
// lock.
extern const char kApplyLockPurpose[];
extern const char kStageLockPurpose[];

// `folder` (ANSI, system code page; relative, with slashes, with short 8.3
// names, in any case) as its full path with long names, upper case, ending
// with a backslash, in UTF-16: one folder gives one text however it was
// written. Parts that do not exist keep the spelling given. Empty when the
// path cannot be converted or completed.
std::u16string FoldedFullPath(const std::string& folder);

// A held installation lock; releases it when it goes. Movable, not copyable.
class CInstallationLock {
public:
    CInstallationLock() = default;
    ~CInstallationLock();
    CInstallationLock(CInstallationLock&& other) noexcept;
    CInstallationLock& operator=(CInstallationLock&& other) noexcept;
    CInstallationLock(const CInstallationLock&) = delete;
    CInstallationLock& operator=(const CInstallationLock&) = delete;

    // Waits at most `timeoutMs` for the `purpose` lock of the installation
    // whose data folder is `dataFolder`, in the Global\ namespace, or in the
    // Local\ one where the Global\ name can be neither created nor opened.
    // A mutex it creates lets every user wait for it and release it, and no
    // other user change its security. Success: the returned lock is held,
    // also when its last holder died holding it (the lock guards no state of
    // its own, so it is simply taken over). Failure: IsHeld() is false and
    // ErrorCode() holds the system error: ERROR_TIMEOUT when another holder
    // kept it, else what the mutex creation in the Local\ namespace
    // reported. Nothing on disk is read or changed. May throw std::bad_alloc.
    static CInstallationLock Acquire(const std::string& dataFolder, const char* purpose,
                                     unsigned long timeoutMs);

    bool IsHeld() const { return mutex_ != nullptr; }
    unsigned long ErrorCode() const { return error_; }

private:
    void Release();

    void* mutex_ = nullptr;
    void* sessionMutex_ = nullptr;  // the Local\ name as well, beside a Global\ one
    unsigned long error_ = 0;
};

#endif  // ORBEX_UPDATE_UPDATE_LOCK_H_
