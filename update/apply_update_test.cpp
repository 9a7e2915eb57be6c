// The apply transaction on real folders: whole versions or none, what goes
// when a version drops it, and a run cut short after any change.
#include "update/apply_update.h"
#include "update/apply_update_for_testing.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/test_folder.h"

namespace {

const char kFolder[] = "<dir>";

// A version list in its file form, written here by hand.
std::string ListText(const std::vector<std::string>& entries) {
    std::string text = "Orbex version list 1\r\n";
    for (const std::string& entry : entries)
        text += entry + "\r\n";
    return text + "*end\r\n";
}

// Lays out `tree` (relative path -> content, or kFolder for a folder whose
// path ends with a backslash) under `folder`.
void LayOut(const std::string& folder, const TreeSnapshot& tree) {
    for (const auto& entry : tree) {
        if (entry.second == kFolder)
            MakeFolders(folder + entry.first);
        else
            WriteTextFile(folder + entry.first, entry.second);
    }
}

// Opens `path` as the platform holds a running program's image: others may
// read it and rename it, but not write it.
HANDLE HoldAsAnImage(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

class ApplyUpdateTest : public TempFolderTest {
protected:
    std::string Data() const { return At("OrbexData\\"); }
    std::string Staged() const { return Data() + "update\\"; }
    // The data folder without the status the runs write for the
    // application (tests of the status read it themselves).
    TreeSnapshot InstalledTree() const {
        TreeSnapshot tree = SnapshotTree(Data());
        tree.erase("update.status");
        return tree;
    }
};

TEST_F(ApplyUpdateTest, AppliesWholeVersionsOrNothing) {
    const std::vector<std::string> noList = {"<none>"};
    const struct Row {
        const char* name;
        TreeSnapshot installed;
        std::vector<std::string> installedList;
        TreeSnapshot staged;
        std::vector<std::string> stagedList;
        std::vector<std::string> held;      // open elsewhere, as a running program's image:
                                            // it can be renamed, not written
        std::vector<std::string> readOnly;  // installed files
        ApplyOutcome outcome;
        TreeSnapshot after;  // kApplied only; kKept leaves everything as it was
    } rows[] = {
        {"a file in use that sorts last",
         {{"A.dat", "1"}, {"Z.dat", "1"}}, noList,
         {{"A.dat", "2"}, {"Z.dat", "2"}}, noList,
         {"Z.dat"}, {}, ApplyOutcome::kKept, {}},
        {"a read-only file",
         {{"res\\", kFolder}, {"res\\skin.dat", "1"}}, noList,
         {{"new.txt", "new"}, {"res\\", kFolder}, {"res\\skin.dat", "2"}}, noList,
         {}, {"res\\skin.dat"}, ApplyOutcome::kKept, {}},
        {"a file that becomes a folder",
         {{"res", "file"}, {"other.txt", "1"}}, {"res", "other.txt"},
         {{"res\\", kFolder}, {"res\\skin.dat", "2"}}, {"res\\", "res\\skin.dat", "other.txt"},
         {}, {}, ApplyOutcome::kApplied,
         {{"res\\", kFolder}, {"res\\skin.dat", "2"}, {"other.txt", "1"},
          {"update.version", ListText({"res\\", "res\\skin.dat", "other.txt"})}}},
        {"a folder that becomes a file",
         {{"plug\\", kFolder}, {"plug\\a.dll", "a"}, {"plug\\sub\\", kFolder}, {"plug\\sub\\b.dll", "b"}},
         {"plug\\", "plug\\a.dll", "plug\\sub\\", "plug\\sub\\b.dll"},
         {{"plug", "file"}}, {"plug"},
         {}, {}, ApplyOutcome::kApplied,
         {{"plug", "file"}, {"update.version", ListText({"plug"})}}},
        {"a folder named as the main program becomes the program",
         {{"Orbex.exe\\", kFolder}, {"Orbex.exe\\a.dll", "a"}}, {"Orbex.exe\\", "Orbex.exe\\a.dll"},
         {{"Orbex.exe", "program"}}, {"Orbex.exe"},
         {}, {}, ApplyOutcome::kApplied,
         {{"Orbex.exe", "program"}, {"update.version", ListText({"Orbex.exe"})}}},
        {"a folder to become a file holds a file of no version",
         {{"plug\\", kFolder}, {"plug\\a.dll", "a"}, {"plug\\user.cfg", "mine"}}, {"plug\\a.dll"},
         {{"plug", "file"}}, {"plug"},
         {}, {}, ApplyOutcome::kKept, {}},
        {"files the new version dropped go, the application's own stay",
         {{"keep.txt", "1"}, {"same.txt", "same"}, {"old.txt", "1"}, {"gone\\", kFolder},
          {"gone\\x.txt", "1"}, {"gone\\deep\\", kFolder}, {"gone\\deep\\y.txt", "1"},
          {"mixed\\", kFolder}, {"mixed\\old.txt", "1"}, {"mixed\\mine.txt", "mine"},
          {"data\\", kFolder}, {"data\\user.db", "db"}, {"empty-old\\", kFolder}},
         {"keep.txt", "same.txt", "old.txt", "gone\\", "gone\\x.txt", "gone\\deep\\",
          "gone\\deep\\y.txt", "mixed\\old.txt", "empty-old\\"},
         {{"keep.txt", "2"}}, {"keep.txt", "same.txt"},
         {}, {}, ApplyOutcome::kApplied,
         {{"keep.txt", "2"}, {"same.txt", "same"}, {"mixed\\", kFolder}, {"mixed\\mine.txt", "mine"},
          {"data\\", kFolder}, {"data\\user.db", "db"},
          {"update.version", ListText({"keep.txt", "same.txt"})}}},
        {"an installation without a list",
         {{"old.txt", "1"}}, noList,
         {{"new.txt", "n"}}, {"new.txt"},
         {}, {}, ApplyOutcome::kApplied,
         {{"old.txt", "1"}, {"new.txt", "n"}, {"update.version", ListText({"new.txt"})}}},
        {"an installed list that leaves the installation",
         {{"old.txt", "1"}}, {"old.txt", "..\\outside.txt"},
         {{"new.txt", "n"}}, {"new.txt"},
         {}, {}, ApplyOutcome::kApplied,
         {{"old.txt", "1"}, {"new.txt", "n"}, {"update.version", ListText({"new.txt"})}}},
        {"a staged list that misses a staged file",
         {{"old.txt", "1"}}, {"old.txt"},
         {{"new.txt", "n"}, {"extra.txt", "e"}}, {"new.txt"},
         {}, {}, ApplyOutcome::kApplied,
         {{"old.txt", "1"}, {"new.txt", "n"}, {"extra.txt", "e"},
          {"update.version", ListText({"old.txt"})}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        RemoveTree(At("OrbexData"));
        WriteTextFile(At("outside.txt"), "beside the installation");
        LayOut(Data(), row.installed);
        LayOut(Staged(), row.staged);
        MakeFolders(Staged());
        if (row.installedList != noList)
            WriteTextFile(Data() + "update.version", ListText(row.installedList));
        if (row.stagedList != noList)
            WriteTextFile(Staged() + "update.version", ListText(row.stagedList));
        for (const std::string& path : row.readOnly)
            SetReadOnly(Data() + path, true);
        const TreeSnapshot before = InstalledTree();
        std::vector<HANDLE> held;
        for (const std::string& path : row.held) {
            held.push_back(HoldAsAnImage(Data() + path));
            ASSERT_NE(held.back(), INVALID_HANDLE_VALUE);
        }

        EXPECT_EQ(ApplyStagedUpdateLocked(Data()).outcome, row.outcome);
        for (HANDLE handle : held)
            CloseHandle(handle);
        EXPECT_EQ(InstalledTree(), row.outcome == ApplyOutcome::kKept ? before : row.after);
        EXPECT_EQ(ReadTextFile(At("outside.txt")), "beside the installation");
        for (const std::string& path : row.readOnly)
            SetReadOnly(Data() + path, false);
    }
}

// Every point at which a run can be cut short, each followed by a run that
// must finish it; at every second point a file still to be moved aside is
// in use by then, and that run must restore the old version whole, the
// update pending as it was staged, for a later run to apply.
TEST_F(ApplyUpdateTest, CutShortAfterAnyChangeTheNextRunFinishesOrUndoesItWhole) {
    const TreeSnapshot installed = {
        {"Orbex.exe", "program 1"}, {"zz-last.dat", "old"}, {"res", "file"},
        {"plug\\", kFolder},        {"plug\\a.dll", "a"},   {"gone\\", kFolder},
        {"gone\\x.txt", "x"},       {"user.ini", "mine"}};
    const std::vector<std::string> installedList = {"Orbex.exe", "zz-last.dat", "res",
                                                    "plug\\",    "plug\\a.dll", "gone\\x.txt"};
    const TreeSnapshot staged = {{"Orbex.exe", "program 2"}, {"zz-last.dat", "new"},
                                 {"res\\", kFolder},         {"res\\skin.dat", "skin"},
                                 {"plug", "file"},           {"added\\", kFolder},
                                 {"added\\new.txt", "new"}};
    const std::vector<std::string> stagedList = {"Orbex.exe", "zz-last.dat", "res\\",
                                                 "res\\skin.dat", "plug", "added\\",
                                                 "added\\new.txt"};
    TreeSnapshot expected = staged;
    expected["user.ini"] = "mine";
    expected["update.version"] = ListText(stagedList);

    int finished = 0, undone = 0;
    for (long stop = 0;; ++stop) {
        SCOPED_TRACE("cut short after " + std::to_string(stop) + " changes");
        ASSERT_LT(stop, 100) << "the run never came to its end";
        RemoveTree(At("OrbexData"));
        LayOut(Data(), installed);
        LayOut(Staged(), staged);
        WriteTextFile(Data() + "update.version", ListText(installedList));
        WriteTextFile(Staged() + "update.version", ListText(stagedList));
        const TreeSnapshot before = InstalledTree();

        const ApplyOutcome cut = ApplyStagedUpdateStoppingAfter(Data(), stop).outcome;
        if (cut == ApplyOutcome::kApplied) {
            EXPECT_EQ(InstalledTree(), expected);
            break;
        }
        ASSERT_EQ(cut, ApplyOutcome::kUnfinished);
        ASSERT_TRUE(FileExists(Data() + "update.journal"));

        const bool inUse = stop % 2 == 1 && ReadTextFile(Data() + "zz-last.dat") == "old";
        if (inUse) {
            HANDLE held = HoldAsAnImage(Data() + "zz-last.dat");
            ASSERT_NE(held, INVALID_HANDLE_VALUE);
            const ApplyOutcome next = ApplyStagedUpdateLocked(Data()).outcome;
            CloseHandle(held);
            EXPECT_EQ(next, ApplyOutcome::kKept);
            EXPECT_EQ(InstalledTree(), before);
            ++undone;
        } else {
            ++finished;
        }
        EXPECT_EQ(ApplyStagedUpdateLocked(Data()).outcome, ApplyOutcome::kApplied);
        EXPECT_EQ(InstalledTree(), expected);
    }
    EXPECT_GT(finished, 0);
    EXPECT_GT(undone, 0);
}

// An update of many files keeps its backups in several folders: a run cut
// short among them is finished, or undone whole, with nothing left behind.
TEST_F(ApplyUpdateTest, ManyFilesCutShortAreFinishedOrUndoneWhole) {
    TreeSnapshot installed, staged;
    for (int i = 0; i < 400; ++i) {
        const std::string name = "f" + std::to_string(i) + ".dat";
        installed[name] = "old";
        staged[name] = "new";
    }
    for (const bool heldByTheNextRun : {false, true}) {
        SCOPED_TRACE(heldByTheNextRun ? "a file in use at the next run" : "files free");
        RemoveTree(At("OrbexData"));
        LayOut(Data(), installed);
        LayOut(Staged(), staged);
        const TreeSnapshot before = InstalledTree();
        ASSERT_EQ(ApplyStagedUpdateStoppingAfter(Data(), 700).outcome, ApplyOutcome::kUnfinished);
        HANDLE held = INVALID_HANDLE_VALUE;
        if (heldByTheNextRun) {
            held = HoldAsAnImage(Data() + "f99.dat");  // the last in order: not yet moved
            ASSERT_NE(held, INVALID_HANDLE_VALUE);
        }
        const ApplyOutcome next = ApplyStagedUpdateLocked(Data()).outcome;
        if (held != INVALID_HANDLE_VALUE)
            CloseHandle(held);
        EXPECT_EQ(next, heldByTheNextRun ? ApplyOutcome::kKept : ApplyOutcome::kApplied);
        EXPECT_EQ(InstalledTree(), heldByTheNextRun ? before : staged);
    }
}

// A journal cut short while it was written was never acted on: the next run
// drops it and applies the update as if nothing had happened.
TEST_F(ApplyUpdateTest, JournalCutShortIsDroppedAndTheUpdateApplied) {
    WriteTextFile(Data() + "a.txt", "1");
    WriteTextFile(Staged() + "a.txt", "2");
    WriteTextFile(Data() + "update.journal", "Orbex update journal 1\r\nB a.t");
    EXPECT_EQ(ApplyStagedUpdateLocked(Data()).outcome, ApplyOutcome::kApplied);
    EXPECT_EQ(InstalledTree(), (TreeSnapshot{{"a.txt", "2"}}));
}

// A list entry reached through a link is never removed, nor is anything else
// on that list: the link could lead anywhere.
TEST_F(ApplyUpdateTest, LinkOnTheWayToAListedFileRemovesNothing) {
    if (!RunningUnderWine())
        GTEST_SKIP() << "the link is made from the Linux side of Wine";
    WriteTextFile(At("Outside\\victim.txt"), "precious");
    WriteTextFile(Data() + "old.txt", "1");
    ASSERT_TRUE(MakeUnixFolderLink(At("Outside"), Data() + "linked"));
    WriteTextFile(Data() + "update.version", ListText({"old.txt", "linked\\victim.txt"}));
    WriteTextFile(Staged() + "new.txt", "n");
    WriteTextFile(Staged() + "update.version", ListText({"new.txt"}));

    EXPECT_EQ(ApplyStagedUpdateLocked(Data()).outcome, ApplyOutcome::kApplied);
    EXPECT_EQ(ReadTextFile(At("Outside\\victim.txt")), "precious");
    EXPECT_EQ(ReadTextFile(Data() + "old.txt"), "1");
    EXPECT_EQ(ReadTextFile(Data() + "new.txt"), "n");
    RemoveUnixLink(Data() + "linked");
}

}  // namespace
