// End to end: the built launcher applying a staged update in a fresh
// installation, checked over the whole data folder (every file's content and
// read-only attribute) and what the main program received.
#include <windows.h>

#include <gtest/gtest.h>

#include "testing/installation_fixture.h"
#include "testing/test_folder.h"
#include "update/apply_update_for_testing.h"

namespace {

class UpdateTest : public InstallationTest {
protected:
    void SetUp() override {
        InstallationTest::SetUp();
        WriteInstalledFiles();
    }

    void WriteInstalledFiles() {
        WriteTextFile(DataFolder() + "settings.ini", "user settings");
        WriteTextFile(DataFolder() + "res\\skin.dat", "skin 1");
        WriteTextFile(DataFolder() + "res\\keep.txt", "not staged");
        WriteTextFile(DataFolder() + "OrbexPostUpgrade.exe", "post-upgrade");
    }

    // A staged tree: a new main program, a replaced file, new files in a new
    // nested folder, and an empty folder.
    void StageNestedTree() {
        CopyBuiltProgram("sample_main_v2.exe", UpdateFolder() + "Orbex.exe");
        WriteTextFile(UpdateFolder() + "res\\skin.dat", "skin 2");
        WriteTextFile(UpdateFolder() + "res\\lang\\en.txt", "Hello");
        WriteTextFile(UpdateFolder() + "res\\lang\\fr.txt", "Bonjour");
        MakeFolders(UpdateFolder() + "plugins\\empty");
    }

    // Starts the launcher and waits for the main program to record the start.
    HandOff Start(size_t startNumber = 1) {
        EXPECT_EQ(RunLauncher("page.htm"), 0u);
        HandOff handOff = WaitForHandOff(startNumber);
        EXPECT_EQ(handOff.arguments, (std::vector<std::string>{"page.htm"}));
        WaitForMainProgramToEnd();
        return handOff;
    }
};

TEST_F(UpdateTest, AppliesANestedTreeAndRemovesTheStagedTreeAndPostUpgradeProgram) {
    StageNestedTree();
    TreeSnapshot expected = ExpectedAfterUpdate(DataSnapshot());
    ASSERT_TRUE(expected.count("plugins\\empty\\"));

    EXPECT_EQ(Start().version, "2");  // the main program started is the new one
    EXPECT_EQ(DataSnapshot(), expected);
    EXPECT_FALSE(FolderExists(UpdateFolder()));
    EXPECT_FALSE(FileExists(DataFolder() + "OrbexPostUpgrade.exe"));
}

TEST_F(UpdateTest, EmptyUpdateFolderOnlyCleansUp) {
    MakeFolders(UpdateFolder());
    TreeSnapshot expected = ExpectedAfterUpdate(DataSnapshot());
    Start();
    EXPECT_EQ(DataSnapshot(), expected);
    EXPECT_FALSE(FolderExists(UpdateFolder()));
    EXPECT_FALSE(FileExists(DataFolder() + "OrbexPostUpgrade.exe"));
}

TEST_F(UpdateTest, WithoutPostUpgradeProgramTheUpdateStillCompletes) {
    ASSERT_TRUE(DeleteFileA((DataFolder() + "OrbexPostUpgrade.exe").c_str()));
    StageNestedTree();
    TreeSnapshot expected = ExpectedAfterUpdate(DataSnapshot());
    EXPECT_EQ(Start().version, "2");
    EXPECT_EQ(DataSnapshot(), expected);
    EXPECT_FALSE(FolderExists(UpdateFolder()));
}

TEST_F(UpdateTest, PostUpgradeProgramArrivingWithTheTreeIsCopiedThenDeleted) {
    ASSERT_TRUE(DeleteFileA((DataFolder() + "OrbexPostUpgrade.exe").c_str()));
    StageNestedTree();
    WriteTextFile(UpdateFolder() + "OrbexPostUpgrade.exe", "new post-upgrade");
    TreeSnapshot expected = ExpectedAfterUpdate(DataSnapshot());
    Start();
    EXPECT_EQ(DataSnapshot(), expected);
    EXPECT_FALSE(FileExists(DataFolder() + "OrbexPostUpgrade.exe"));
}

// A data file that cannot be replaced (read-only, or held open by a running
// program) keeps the whole update waiting: nothing in the data folder
// changes, the hand-off is to the installed version, and once the file is
// free the next start applies the update whole.
TEST_F(UpdateTest, FileThatCannotBeReplacedKeepsTheWholeUpdateWaiting) {
    for (const bool readOnly : {true, false}) {
        SCOPED_TRACE(readOnly ? "read-only" : "in use as a running program's image");
        RemoveTree(DataFolder());
        Install("Apps\\");
        WriteInstalledFiles();
        StageNestedTree();
        // It sorts last, so a copy in order would have replaced the rest.
        const std::string locked = DataFolder() + "zz-last.dat";
        WriteTextFile(locked, "old");
        WriteTextFile(UpdateFolder() + "zz-last.dat", "new");
        HANDLE held = INVALID_HANDLE_VALUE;
        if (readOnly) {
            SetReadOnly(locked, true);
        } else {
            // Readable and renamable by others, as an image is, but not writable.
            held = CreateFileA(locked.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(held, INVALID_HANDLE_VALUE);
        }
        TreeSnapshot before = DataSnapshot();

        EXPECT_EQ(Start(1).version, "1");
        EXPECT_EQ(DataSnapshot(), before);

        if (readOnly)
            SetReadOnly(locked, false);
        else
            CloseHandle(held);
        TreeSnapshot expected = ExpectedAfterUpdate(DataSnapshot());
        EXPECT_EQ(Start(2).version, "2");
        EXPECT_EQ(DataSnapshot(), expected);
    }
}

// The commonest moment for an update: the browser runs, and the user opens
// another page. The running program's image cannot be replaced, so nothing
// is, and the new page opens in the installed version; the next start after
// the program has ended applies the update.
TEST_F(UpdateTest, RunningMainProgramKeepsTheUpdateWaitingUntilItEnds) {
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, EventName().c_str());
    ASSERT_NE(release, nullptr);
    ASSERT_EQ(RunLauncher("wait:" + EventName()), 0u);
    ASSERT_EQ(WaitForHandOff(1).version, "1");

    StageNestedTree();
    TreeSnapshot before = DataSnapshot();
    TreeSnapshot expected = ExpectedAfterUpdate(before);
    EXPECT_EQ(RunLauncher("page.htm"), 0u);
    HandOff second = WaitForHandOff(2);
    EXPECT_EQ(second.version, "1");
    EXPECT_TRUE(second.updatePending);
    EXPECT_EQ(DataSnapshot(), before);

    SetEvent(release);
    CloseHandle(release);
    WaitForMainProgramToEnd();
    EXPECT_EQ(Start(3).version, "2");
    EXPECT_EQ(DataSnapshot(), expected);
}

// A staged read-only file arrives read-only, and the update completes. A
// later update that would replace it then waits, unchanged, as for any file
// that cannot be replaced.
TEST_F(UpdateTest, StagedReadOnlyFileArrivesReadOnlyAndKeepsALaterUpdateWaiting) {
    StageNestedTree();
    WriteTextFile(UpdateFolder() + "res\\fixed.dat", "fixed");
    SetReadOnly(UpdateFolder() + "res\\fixed.dat", true);
    TreeSnapshot expected = ExpectedAfterUpdate(DataSnapshot());
    Start(1);
    EXPECT_EQ(DataSnapshot(), expected);
    EXPECT_EQ(DataSnapshot()["res\\fixed.dat"], "fixed <read-only>");

    WriteTextFile(UpdateFolder() + "res\\fixed.dat", "fixed 2");
    TreeSnapshot before = DataSnapshot();
    Start(2);
    EXPECT_EQ(DataSnapshot(), before);
}

TEST_F(UpdateTest, PlainFileNamedUpdateIsTriedEveryStartAndDeletesNothing) {
    WriteTextFile(DataFolder() + "update", "not a folder");
    TreeSnapshot before = DataSnapshot();
    Start(1);
    EXPECT_EQ(DataSnapshot(), before);
    Start(2);
    EXPECT_EQ(DataSnapshot(), before);
}

// Wine shows a Unix symbolic link to a folder as a reparse point. A staged
// tree holding one cannot be applied whole, so nothing of it is applied,
// and nothing behind the link is read or deleted.
TEST_F(UpdateTest, LinkInTheStagedTreeKeepsTheUpdateWaitingAndTouchesNothing) {
    if (!RunningUnderWine())
        GTEST_SKIP() << "the link is made from the Linux side of Wine";
    WriteTextFile(At("Outside\\precious.txt"), "precious");
    WriteTextFile(At("Outside\\deeper\\more.txt"), "more");
    StageNestedTree();
    ASSERT_TRUE(MakeUnixFolderLink(At("Outside"), UpdateFolder() + "res\\outside"));
    TreeSnapshot outside = SnapshotTree(At("Outside"));
    TreeSnapshot before = DataSnapshot();

    EXPECT_EQ(Start().version, "1");
    EXPECT_EQ(SnapshotTree(At("Outside")), outside);
    EXPECT_EQ(DataSnapshot(), before);
    RemoveUnixLink(UpdateFolder() + "res\\outside");
}

// An update folder that is itself a link is not a staged tree: nothing is
// copied through it and neither it nor anything behind it is removed. An
// empty target matters: Wine's RemoveDirectoryA on a link to an empty folder
// removes the target.
TEST_F(UpdateTest, UpdateFolderThatIsALinkIsLeftAlone) {
    if (!RunningUnderWine())
        GTEST_SKIP() << "the link is made from the Linux side of Wine";
    for (const bool emptyTarget : {true, false}) {
        SCOPED_TRACE(emptyTarget ? "empty target" : "target with files");
        MakeFolders(At("Outside"));
        if (!emptyTarget) {
            WriteTextFile(At("Outside\\notes.txt"), "notes");
            WriteTextFile(At("Outside\\deeper\\more.txt"), "more");
        }
        TreeSnapshot outside = SnapshotTree(At("Outside"));
        ASSERT_TRUE(MakeUnixFolderLink(At("Outside"), UpdateFolder()));
        TreeSnapshot before = DataSnapshot();
        Start(emptyTarget ? 1 : 2);
        EXPECT_TRUE(FolderExists(At("Outside")));
        EXPECT_EQ(SnapshotTree(At("Outside")), outside);
        EXPECT_EQ(DataSnapshot(), before);  // the link included, nothing copied
        RemoveUnixLink(UpdateFolder());
        RemoveTree(At("Outside"));
    }
}

// A staged tree deeper than the ANSI calls can reach: the tree listing stops
// at the folder it cannot search, so nothing is copied (no file is written
// under a cut-short name), nothing is deleted, and the hand-off happens.
TEST_F(UpdateTest, StagedPathsOf260CharactersOrMoreCopyNothing) {
    StageNestedTree();
    std::string deep = UpdateFolder();
    while (deep.size() < 300)
        deep += "deep-staged-folder\\";
    // Only the wide calls with \\?\ make such paths.
    auto wide = [](const std::string& path) {
        return L"\\\\?\\" + std::wstring(path.begin(), path.end());
    };
    std::vector<std::string> made;
    for (size_t slash = deep.find('\\', UpdateFolder().size()); slash != std::string::npos;
         slash = deep.find('\\', slash + 1)) {
        made.push_back(deep.substr(0, slash));
        CreateDirectoryW(wide(made.back()).c_str(), nullptr);
    }
    std::string file = deep + "file.txt";
    HANDLE handle = CreateFileW(wide(file).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        GTEST_SKIP() << "this system cannot make paths of 260 characters or more";
    CloseHandle(handle);
    TreeSnapshot before = DataSnapshot();

    EXPECT_EQ(Start().version, "1");
    TreeSnapshot after = DataSnapshot();
    // What the ANSI snapshot can see of the staged tree is unchanged, and
    // nothing was copied out of it.
    EXPECT_EQ(after, before);

    DeleteFileW(wide(file).c_str());
    for (auto it = made.rbegin(); it != made.rend(); ++it)
        RemoveDirectoryW(wide(*it).c_str());
}

// An installation and staged names that code page 1252 cannot spell, applied
// by a launcher started from a current directory under 260 characters but
// over 260 bytes in UTF-8: every disk operation that enters a folder must
// come back to it, or the process stays inside the update folder, which then
// cannot be removed. This test program runs in UTF-8 (its manifest), so its
// helpers spell every name.
TEST_F(UpdateTest, AppliesNamesInAnyScriptStartedFromALongCurrentDirectory) {
    Install(u8"Дмитрий\\中文\\Apps\\");
    WriteTextFile(DataFolder() + u8"Журнал.txt", "journal 1");
    WriteTextFile(DataFolder() + "OrbexPostUpgrade.exe", "post-upgrade");
    StageNestedTree();
    WriteTextFile(UpdateFolder() + u8"Журнал.txt", "journal 2");
    WriteTextFile(UpdateFolder() + u8"Ελληνικά\\αρχείο.txt", "Greek");
    WriteTextFile(UpdateFolder() + u8"中文\\文件 二.txt", "Chinese");
    std::string longFolder = Root();
    for (int i = 0; i < 90; ++i)
        longFolder += u8"文";
    MakeFolders(longFolder);
    ASSERT_TRUE(FolderExists(longFolder));
    ASSERT_GT(longFolder.size(), 260u);
    TreeSnapshot expected = ExpectedAfterUpdate(DataSnapshot());
    ASSERT_EQ(expected[u8"Ελληνικά\\αρχείο.txt"], "Greek");

    EXPECT_EQ(RunLauncher("page.htm", longFolder), 0u);
    EXPECT_EQ(WaitForHandOff().version, "2");
    WaitForMainProgramToEnd();
    EXPECT_EQ(DataSnapshot(), expected);
    EXPECT_FALSE(FolderExists(UpdateFolder()));
}

// A run cut short between two replaced files, and by the next start one file
// already replaced and one still to be replaced are both in use: the apply
// can be neither finished nor undone, and rather than start the main program
// on a mix of two versions the launcher starts nothing. Once the files are
// free, the next start finishes the update and hands off.
TEST_F(UpdateTest, CutShortApplyThatCanBeNeitherFinishedNorUndoneStartsNothing) {
    WriteTextFile(DataFolder() + "a.dat", "old");
    WriteTextFile(DataFolder() + "b.dat", "old");
    const std::string staged = UpdateFolder();
    long stop = 0;
    for (;; ++stop) {
        ASSERT_LT(stop, 20) << "no point with one file replaced and the other not";
        RemoveTree(staged);
        RemoveTree(DataFolder() + "update.backup");
        DeleteFileA((DataFolder() + "update.journal").c_str());
        WriteTextFile(DataFolder() + "a.dat", "old");
        WriteTextFile(DataFolder() + "b.dat", "old");
        WriteTextFile(staged + "a.dat", "new");
        WriteTextFile(staged + "b.dat", "new");
        ASSERT_EQ(ApplyStagedUpdateStoppingAfter(DataFolder(), stop).outcome, ApplyOutcome::kUnfinished);
        if (ReadTextFile(DataFolder() + "a.dat") != ReadTextFile(DataFolder() + "b.dat") &&
            FileExists(DataFolder() + "a.dat") && FileExists(DataFolder() + "b.dat"))
            break;
    }
    const bool aReplaced = ReadTextFile(DataFolder() + "a.dat") == "new";
    const std::string replaced = DataFolder() + (aReplaced ? "a.dat" : "b.dat");
    const std::string waiting = DataFolder() + (aReplaced ? "b.dat" : "a.dat");
    // The replaced one cannot be moved back, the other cannot be replaced.
    HANDLE heldReplaced = CreateFileA(replaced.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE heldWaiting = CreateFileA(waiting.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(heldReplaced, INVALID_HANDLE_VALUE);
    ASSERT_NE(heldWaiting, INVALID_HANDLE_VALUE);

    EXPECT_EQ(RunLauncher("page.htm"), 0u);
    // A main program the shell started would have recorded its start by now.
    Sleep(3000);
    EXPECT_EQ(HandOffCount(), 0u) << "the main program started on a mix of two versions";
    CloseHandle(heldReplaced);
    CloseHandle(heldWaiting);

    EXPECT_EQ(Start(1).version, "1");  // only data files were staged
    EXPECT_EQ(ReadTextFile(DataFolder() + "a.dat"), "new");
    EXPECT_EQ(ReadTextFile(DataFolder() + "b.dat"), "new");
    EXPECT_FALSE(FolderExists(UpdateFolder()));
    EXPECT_FALSE(FileExists(DataFolder() + "update.journal"));
}

}  // namespace
