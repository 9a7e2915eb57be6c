#include "disk/disk_object.h"
#include "launcher/launcher_app.h"
#include "launcher/update_lock.h"

void ApplyPendingUpdate(const std::string& dataFolder, const std::string& updateFolder) {
    // Several launchers start together when a user opens several documents at
    // once. Without the lock their copies collide on every file, each gives
    // up, and the main programs run on a half-applied installation. A
    // launcher that waited finds the update gone as a rule, and hands off to
    // the complete installation; one that cannot have the lock in time skips
    // the update this run, as after a failed copy.
    CInstallationLock lock =
        CInstallationLock::Acquire(dataFolder, kApplyLockPurpose, kUpdateLockWaitMs);
    if (!lock.IsHeld() || !PathExists(updateFolder))
        return;
    CDiskObject disk;
    // The staged tree is deleted only after the whole copy: a copy cut short
    // (a locked or read-only file, a killed process, a power cut) leaves the
    // update folder in place, and the next start copies it again.
    if (!disk.CopyFolderTree(updateFolder, dataFolder))
        return;
    // The post-upgrade program goes before the staged tree, so that a clean-up
    // cut short always leaves the update folder behind to mark it: the next
    // start then copies what is left and finishes the clean-up. In the other
    // order a process killed between the two deletions would leave the
    // post-upgrade program for good.
    disk.DeleteOneFile(dataFolder + kPostUpgradeProgramName);
    disk.DeleteFolderTree(updateFolder);
}
