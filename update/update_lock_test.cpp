// The installation lock between logon sessions: one name that every session
// sees, that every user may wait for, and the session's own name only where
// the global one cannot be had.
#include "update/update_lock.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "testing/test_folder.h"
#include "update/installation_name.h"

namespace {

class InstallationLockTest : public TempFolderTest {
protected:
    std::string Data() const { return At("OrbexData\\"); }
    std::string LockName(ObjectScope scope) const {
        return InstallationObjectName(FoldedFullPath(Data()), kApplyLockPurpose, scope);
    }
    // Acquire from another thread: a thread that holds a mutex may take it
    // again, so only another one shows whether the lock is free.
    CInstallationLock AcquireElsewhere(unsigned long timeoutMs) const {
        CInstallationLock lock;
        std::thread([&] {
            lock = CInstallationLock::Acquire(Data(), kApplyLockPurpose, timeoutMs);
        }).join();
        return lock;
    }
};

TEST_F(InstallationLockTest, IsOneNameForEverySessionWhereTheGlobalNameCanBeHad) {
    const struct {
        const char* name;
        bool globalNameTaken;  // by an object of another kind, so no mutex can have it
        ObjectScope expected;
    } rows[] = {
        {"global name free", false, ObjectScope::kAllSessions},
        {"global name taken", true, ObjectScope::kThisSession},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        HANDLE squatter = row.globalNameTaken
                              ? CreateEventA(nullptr, TRUE, FALSE,
                                             LockName(ObjectScope::kAllSessions).c_str())
                              : nullptr;
        ASSERT_EQ(squatter != nullptr, row.globalNameTaken);
        {
            CInstallationLock lock = CInstallationLock::Acquire(Data(), kApplyLockPurpose, 0);
            ASSERT_TRUE(lock.IsHeld()) << lock.ErrorCode();
            HANDLE opened = OpenMutexA(SYNCHRONIZE, FALSE, LockName(row.expected).c_str());
            EXPECT_NE(opened, nullptr) << GetLastError();
            if (opened)
                CloseHandle(opened);
            // A launcher built when the lock was the session's name alone
            // waits for it too.
            HANDLE earlier = OpenMutexA(SYNCHRONIZE, FALSE, LockName(ObjectScope::kThisSession).c_str());
            ASSERT_NE(earlier, nullptr) << GetLastError();
            DWORD earlierWaited = WAIT_FAILED;
            std::thread([&] { earlierWaited = WaitForSingleObject(earlier, 0); }).join();
            EXPECT_EQ(earlierWaited, static_cast<DWORD>(WAIT_TIMEOUT));
            CloseHandle(earlier);
            const CInstallationLock waiting = AcquireElsewhere(50);
            EXPECT_FALSE(waiting.IsHeld());
            EXPECT_EQ(waiting.ErrorCode(), static_cast<DWORD>(ERROR_TIMEOUT));
        }
        EXPECT_TRUE(AcquireElsewhere(0).IsHeld()) << "released when it went";
        if (squatter)
            CloseHandle(squatter);
    }
}

// What another user's launcher needs: a default security descriptor would
// grant the creating user alone, and another user's launcher, refused, would
// use a lock of its own session. Read back as the creator, who may always
// read the security of what it owns.
TEST_F(InstallationLockTest, LetsEveryUserWaitAndReleaseAndNoneChangeItsSecurity) {
    CInstallationLock lock = CInstallationLock::Acquire(Data(), kApplyLockPurpose, 0);
    ASSERT_TRUE(lock.IsHeld()) << lock.ErrorCode();
    HANDLE mutex =
        OpenMutexA(READ_CONTROL, FALSE, LockName(ObjectScope::kAllSessions).c_str());
    ASSERT_NE(mutex, nullptr) << GetLastError();
    DWORD needed = 0;
    GetKernelObjectSecurity(mutex, DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<char> descriptor(needed);
    ASSERT_TRUE(GetKernelObjectSecurity(mutex, DACL_SECURITY_INFORMATION, descriptor.data(), needed,
                                        &needed))
        << GetLastError();
    CloseHandle(mutex);
    BOOL present = FALSE, defaulted = FALSE;
    ACL* dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl) << "a missing DACL grants everything to everybody";
    ASSERT_EQ(dacl->AceCount, 1);
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, 0, &ace));
    const ACCESS_ALLOWED_ACE* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(allowed->Mask, static_cast<DWORD>(SYNCHRONIZE | MUTEX_MODIFY_STATE));
    BYTE everyone[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof everyone;
    ASSERT_TRUE(CreateWellKnownSid(WinWorldSid, nullptr, everyone, &size));
    EXPECT_TRUE(EqualSid(const_cast<DWORD*>(&allowed->SidStart), everyone));
}

}  // namespace
