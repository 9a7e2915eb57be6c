#include "update/update_lock.h"

#include <windows.h>

#include <cstddef>
#include <utility>
#include <vector>

#include "base/system_code_page.h"
#include "update/installation_name.h"

const char kApplyLockPurpose[] = "update";
const char kStageLockPurpose[] = "stage";

namespace {

using WideText = std::vector<wchar_t>;  // without a terminating zero

// Calls `fill` (buffer, capacity) -> needed length, as the Win32 path
// functions do, growing the buffer until the answer fits. Empty on failure.
template <typename Fill>
WideText FillPath(Fill fill) {
    WideText buffer(MAX_PATH);
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD length = fill(buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return WideText();
        if (length < buffer.size()) {
            buffer.resize(length);
            return buffer;
        }
        buffer.resize(length + 1);
    }
    return WideText();
}

// What a launcher or stager does with the lock: wait for it and release it.
const DWORD kLockAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;

// The security of a lock's mutex: one entry that grants kLockAccess to
// Everyone (S-1-1-0), and nothing else. The default one would grant its
// creator's user alone: a launcher of another user would be refused the name
// and fall back to its own session's, losing the lock between sessions.
// Everyone rather than Authenticated Users (S-1-5-11): a guest logon holds
// the first and not the second, and each token left out is a launcher that
// applies under a lock of its session only. Anonymous logons are in neither
// (by default), and a named mutex cannot be reached from the network. The
// grant allows nothing but waiting for the lock and holding it, which a
// user who creates the name first could do anyway, and a mutex is released
// only by the thread that owns it. No other user gets READ_CONTROL,
// WRITE_DAC or WRITE_OWNER, so none can change the security.
// Built by hand in memory: the functions that build security descriptors
// live in advapi32, which the launcher does not import. Absolute format, so
// it points into itself: neither copyable nor movable.
class LockSecurity {
public:
    LockSecurity() {
        dacl_.acl = {ACL_REVISION, 0, sizeof dacl_, 1, 0};
        dacl_.ace = {ACCESS_ALLOWED_ACE_TYPE, 0, sizeof dacl_ - offsetof(Dacl, ace)};
        dacl_.mask = kLockAccess;
        dacl_.sid = {SID_REVISION, 1, SECURITY_WORLD_SID_AUTHORITY, {SECURITY_WORLD_RID}};
        descriptor_ = {SECURITY_DESCRIPTOR_REVISION, 0, SE_DACL_PRESENT, nullptr, nullptr,
                       nullptr, &dacl_.acl};
        attributes_ = {sizeof attributes_, &descriptor_, FALSE};
    }
    LockSecurity(const LockSecurity&) = delete;
    LockSecurity& operator=(const LockSecurity&) = delete;

    SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

private:
    // An ACL with one ACCESS_ALLOWED_ACE, whose SID of one sub-authority
    // fills the ACE's SidStart and the 8 bytes after it.
    struct Dacl {
        ACL acl;
        ACE_HEADER ace;
        ACCESS_MASK mask;
        SID sid;
    };
    static_assert(offsetof(Dacl, ace) == sizeof(ACL) &&
                      offsetof(Dacl, sid) - offsetof(Dacl, ace) ==
                          offsetof(ACCESS_ALLOWED_ACE, SidStart) &&
                      sizeof(Dacl) == offsetof(Dacl, sid) + sizeof(SID),
                  "the ACE follows its ACL header, its SID its access mask, without padding");

    Dacl dacl_;
    SECURITY_DESCRIPTOR descriptor_;
    SECURITY_ATTRIBUTES attributes_;
};

}  // namespace

std::u16string FoldedFullPath(const std::string& folder) {
    const std::u16string given = ToUtf16(folder);
    if (given.empty())
        return std::u16string();
    WideText wide(given.begin(), given.end());
    wide.push_back(L'\0');
    WideText full = FillPath([&](wchar_t* buffer, DWORD capacity) {
        return GetFullPathNameW(wide.data(), capacity, buffer, nullptr);
    });
    if (full.empty())
        return std::u16string();
    // A launcher started through an 8.3 name knows its folder by that name;
    // the stager is usually given the long one.
    full.push_back(L'\0');
    WideText longName = FillPath([&](wchar_t* buffer, DWORD capacity) {
        return GetLongPathNameW(full.data(), buffer, capacity);
    });
    full.pop_back();
    if (!longName.empty())
        full = longName;
    if (full.back() != L'\\')
        full.push_back(L'\\');
    std::u16string folded(full.begin(), full.end());
    return FoldCase(folded) ? folded : std::u16string();
}

CInstallationLock CInstallationLock::Acquire(const std::string& dataFolder, const char* purpose,
                                             unsigned long timeoutMs) {
    CInstallationLock lock;
    const std::u16string folded = FoldedFullPath(dataFolder);
    if (folded.empty()) {
        lock.error_ = ERROR_BAD_PATHNAME;
        return lock;
    }
    LockSecurity security;
    // CreateMutexA would ask an existing mutex for every right, which the
    // security above grants nobody.
    HANDLE mutex = CreateMutexExA(
        security.attributes(),
        InstallationObjectName(folded, purpose, ObjectScope::kAllSessions).c_str(), 0,
        kLockAccess);
    // Some processes may not create names in the global namespace (an app
    // container, for one); the session's still keeps the launchers of this
    // session apart.
    if (!mutex) {
        mutex = CreateMutexExA(
            security.attributes(),
            InstallationObjectName(folded, purpose, ObjectScope::kThisSession).c_str(), 0,
            kLockAccess);
    }
    if (!mutex) {
        lock.error_ = GetLastError();
        return lock;
    }
    const DWORD started = GetTickCount();
    DWORD waited = WaitForSingleObject(mutex, timeoutMs);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        lock.error_ = waited == WAIT_TIMEOUT ? ERROR_TIMEOUT : GetLastError();
        CloseHandle(mutex);
        return lock;
    }
    lock.mutex_ = mutex;
    // Launchers and stagers built before the lock moved to Global\ take the
    // session's name only, and a vendor's new stager meets the launchers
    // already installed: the session's lock is taken as well, always second,
    // so that two holders never wait for each other.
    HANDLE session = CreateMutexExA(
        security.attributes(),
        InstallationObjectName(folded, purpose, ObjectScope::kThisSession).c_str(), 0, kLockAccess);
    if (!session)
        return lock;
    const DWORD spent = GetTickCount() - started;
    waited = WaitForSingleObject(session, spent < timeoutMs ? timeoutMs - spent : 0);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
        lock.sessionMutex_ = session;
        return lock;
    }
    lock.error_ = waited == WAIT_TIMEOUT ? ERROR_TIMEOUT : GetLastError();
    CloseHandle(session);
    lock.Release();
    return lock;
}

CInstallationLock::~CInstallationLock() {
    Release();
}

CInstallationLock::CInstallationLock(CInstallationLock&& other) noexcept
    : mutex_(other.mutex_), sessionMutex_(other.sessionMutex_), error_(other.error_) {
    other.mutex_ = nullptr;
    other.sessionMutex_ = nullptr;
}

CInstallationLock& CInstallationLock::operator=(CInstallationLock&& other) noexcept {
    if (this != &other) {
        Release();
        mutex_ = std::exchange(other.mutex_, nullptr);
        sessionMutex_ = std::exchange(other.sessionMutex_, nullptr);
        error_ = other.error_;
    }
    return *this;
}

void CInstallationLock::Release() {
    if (sessionMutex_) {
        ReleaseMutex(sessionMutex_);
        CloseHandle(sessionMutex_);
        sessionMutex_ = nullptr;
    }
    if (mutex_) {
        ReleaseMutex(mutex_);
        CloseHandle(mutex_);
        mutex_ = nullptr;
    }
}
