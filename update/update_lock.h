// The lock that makes updates of one installation happen one at a time: a
// named mutex in the session's Local\ namespace, named after the data folder.
// The launcher holds it for the whole copy and clean-up of a pending update;
// the stager holds it for the moment it publishes a staged tree.
#ifndef ORBEX_UPDATE_UPDATE_LOCK_H_
#define ORBEX_UPDATE_UPDATE_LOCK_H_

#include <string>

// How long a launcher or stager waits for the lock: longer than any update
// takes to apply, short enough that a stuck holder cannot keep the
// application from starting for good.
constexpr unsigned long kUpdateLockWaitMs = 120000;

// Lock purposes: "update" is shared by the launcher's apply step and the
// stager's publish step; "stage" keeps two stagers apart.
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
    // whose data folder is `dataFolder`. Success: the returned lock is held,
    // also when its last holder died holding it (the lock guards no state of
    // its own, so it is simply taken over). Failure: IsHeld() is false and
    // ErrorCode() holds the system error: ERROR_TIMEOUT when another holder
    // kept it, else what the mutex creation reported. Nothing on disk is
    // read or changed. May throw std::bad_alloc.
    static CInstallationLock Acquire(const std::string& dataFolder, const char* purpose,
                                     unsigned long timeoutMs);

    bool IsHeld() const { return mutex_ != nullptr; }
    unsigned long ErrorCode() const { return error_; }

private:
    void Release();

    void* mutex_ = nullptr;
    unsigned long error_ = 0;
};

#endif  // ORBEX_UPDATE_UPDATE_LOCK_H_
