#include "launcher/update_lock.h"

#include <windows.h>

#include <utility>
#include <vector>

#include "launcher/installation_name.h"

const char kApplyLockPurpose[] = "update";
const char kStageLockPurpose[] = "stage";

namespace {

// Calls `fill` (buffer, capacity) -> needed length, as the Win32 path
// functions do, growing the buffer until the answer fits. Empty on failure.
template <typename Fill>
std::wstring FillPath(Fill fill) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD length = fill(buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return std::wstring();
        if (length < buffer.size())
            return std::wstring(buffer.data(), length);
        buffer.resize(length + 1);
    }
    return std::wstring();
}

}  // namespace

std::wstring FoldedFullPath(const std::string& folder) {
    if (folder.empty())
        return std::wstring();
    int units = MultiByteToWideChar(CP_ACP, 0, folder.data(), static_cast<int>(folder.size()),
                                    nullptr, 0);
    if (units <= 0)
        return std::wstring();
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_ACP, 0, folder.data(), static_cast<int>(folder.size()), &wide[0], units);

    std::wstring full = FillPath([&](wchar_t* buffer, DWORD capacity) {
        return GetFullPathNameW(wide.c_str(), capacity, buffer, nullptr);
    });
    if (full.empty())
        return full;
    // A launcher started through an 8.3 name knows its folder by that name;
    // the stager is usually given the long one.
    std::wstring longName = FillPath([&](wchar_t* buffer, DWORD capacity) {
        return GetLongPathNameW(full.c_str(), buffer, capacity);
    });
    if (!longName.empty())
        full = longName;
    if (full.back() != L'\\')
        full += L'\\';
    CharUpperBuffW(&full[0], static_cast<DWORD>(full.size()));
    return full;
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
