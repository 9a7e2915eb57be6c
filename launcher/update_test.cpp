// End to end: the built launcher applying a staged update in a fresh
// installation, checked over the whole data folder (every file's content and
// read-only attribute) and what the main program received.
#include <windows.h>

#include <gtest/gtest.h>

#include "testing/installation_fixture.h"
#include "testing/test_folder.h"

namespace {

class UpdateTest : public InstallationTest {
protected:
    void SetUp() override {
        InstallationTest::SetUp();
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

// The copy stops at a data file that cannot be replaced; nothing is deleted,
// the hand-off happens, and once the file is free the next start completes.
TEST_F(UpdateTest, ReadOnlyDataFileStopsTheCopyUntilItIsWritable) {
    StageNestedTree();
    SetReadOnly(DataFolder() + "res\\skin.dat", true);
    TreeSnapshot before = DataSnapshot();
    TreeSnapshot expected = ExpectedAfterUpdate(before);

    EXPECT_EQ(Start(1).version, "2");  // the top folder's files come first
    TreeSnapshot stopped = DataSnapshot();
    EXPECT_EQ(stopped["res\\skin.dat"], "skin 1 <read-only>");
    EXPECT_FALSE(stopped.count("res\\lang\\en.txt"));
    EXPECT_EQ(stopped["OrbexPostUpgrade.exe"], "post-upgrade");
    for (const auto& entry : before) {
        if (entry.first.rfind("update\\", 0) == 0) {
            EXPECT_EQ(stopped[entry.first], entry.second) << entry.first << " changed";
        }
    }

    Start(2);  // still read-only: the same stop again
    EXPECT_TRUE(FolderExists(UpdateFolder()));

    SetReadOnly(DataFolder() + "res\\skin.dat", false);
    Start(3);
    EXPECT_EQ(DataSnapshot(), expected);
}

TEST_F(UpdateTest, DataFileInUseStopsTheCopyUntilItIsReleased) {
    StageNestedTree();
    TreeSnapshot expected = ExpectedAfterUpdate(DataSnapshot());
    // Held open without sharing by this test, as a running program would.
    HANDLE held = CreateFileA((DataFolder() + "res\\skin.dat").c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    Start(1);
    CloseHandle(held);
    TreeSnapshot stopped = DataSnapshot();
    EXPECT_EQ(stopped["res\\skin.dat"], "skin 1");
    EXPECT_TRUE(FolderExists(UpdateFolder()));
    EXPECT_EQ(stopped["OrbexPostUpgrade.exe"], "post-upgrade");

    Start(2);
    EXPECT_EQ(DataSnapshot(), expected);
    EXPECT_FALSE(FolderExists(UpdateFolder()));
}

// A staged read-only file arrives read-only. The staged copy refuses deletion
// too, so the update folder stays; the next start copies again and stops at
// the read-only copy in the data folder. Nothing is lost and the hand-off
// happens every time.
TEST_F(UpdateTest, StagedReadOnlyFileArrivesReadOnlyAndBlocksALaterCopyOverIt) {
    StageNestedTree();
    WriteTextFile(UpdateFolder() + "res\\fixed.dat", "fixed");
    SetReadOnly(UpdateFolder() + "res\\fixed.dat", true);
    Start(1);
    TreeSnapshot after = DataSnapshot();
    EXPECT_EQ(after["res\\fixed.dat"], "fixed <read-only>");
    EXPECT_EQ(after["res\\skin.dat"], "skin 2");
    EXPECT_EQ(after["res\\lang\\en.txt"], "Hello");

    EXPECT_EQ(Start(2).version, "2");
    EXPECT_EQ(DataSnapshot()["res\\fixed.dat"], "fixed <read-only>");
}

TEST_F(UpdateTest, PlainFileNamedUpdateIsTriedEveryStartAndDeletesNothing) {
    WriteTextFile(DataFolder() + "update", "not a folder");
    TreeSnapshot before = DataSnapshot();
    Start(1);
    EXPECT_EQ(DataSnapshot(), before);
    Start(2);
    EXPECT_EQ(DataSnapshot(), before);
}

// Wine shows a Unix symbolic link to a folder as a reparse point; the tree
// copy neither lists nor enters it, so nothing behind it is read or deleted.
TEST_F(UpdateTest, LinkInTheStagedTreeTouchesNothingOutsideTheInstallation) {
    if (!RunningUnderWine())
        GTEST_SKIP() << "the link is made from the Linux side of Wine";
    WriteTextFile(At("Outside\\precious.txt"), "precious");
    WriteTextFile(At("Outside\\deeper\\more.txt"), "more");
    StageNestedTree();
    ASSERT_TRUE(MakeUnixFolderLink(At("Outside"), UpdateFolder() + "res\\outside"));
    TreeSnapshot outside = SnapshotTree(At("Outside"));
    TreeSnapshot expected = ExpectedAfterUpdate(DataSnapshot());
    expected.erase("res\\outside\\");

    Start();
    EXPECT_EQ(SnapshotTree(At("Outside")), outside);
    TreeSnapshot after = DataSnapshot();
    EXPECT_FALSE(after.count("res\\outside\\")) << "the link was followed into the data folder";
    for (const auto& entry : expected)
        EXPECT_EQ(after[entry.first], entry.second) << entry.first;
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

}  // namespace
