#include "update/update_lock.h"

#include <windows.h>

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
    const std::string name = InstallationObjectName(FoldedFullPath(dataFolder), purpose);
    if (name.empty()) {
        lock.error_ = ERROR_BAD_PATHNAME;
        return lock;
    }
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    if (!mutex) {
        lock.error_ = GetLastError();
        return lock;
    }
    DWORD waited = WaitForSingleObject(mutex, timeoutMs);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
        lock.mutex_ = mutex;
        return lock;
    }
    lock.error_ = waited == WAIT_TIMEOUT ? ERROR_TIMEOUT : GetLastError();
    CloseHandle(mutex);
    return lock;
}

CInstallationLock::~CInstallationLock() {
    Release();
}

CInstallationLock::CInstallationLock(CInstallationLock&& other) noexcept
    : mutex_(other.mutex_), error_(other.error_) {
    other.mutex_ = nullptr;
}

CInstallationLock& CInstallationLock::operator=(CInstallationLock&& other) noexcept {
    if (this != &other) {
        Release();
        mutex_ = std::exchange(other.mutex_, nullptr);
        error_ = other.error_;
    }
    return *this;
}

void CInstallationLock::Release() {
    if (mutex_) {
        ReleaseMutex(mutex_);
        CloseHandle(mutex_);
        mutex_ = nullptr;
    }
}
