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

// A version list in its file form, written here by hand: names only, or
// with the header of lists with sizes and digests, records as given.
std::string ListText(const std::vector<std::string>& entries,
                     const char* header = "Orbex version list 1") {
    std::string text = std::string(header) + "\r\n";
    for (const std::string& entry : entries)
        text += entry + "\r\n";
    return text + "*end\r\n";
}

// SHA-256 of the few contents the lists below name, from an independent
// implementation.
const char kDigestOf2[] = "d4735e3a265e16eee03f59718b9b5d03019c07d8b6c51f90da3a666eec13ab35";
const char kDigestOfNew[] = "11507a0e2f5e69d5dfa40a62a1bd7b6ee57e6bcd85c67c9b8431b36fff21c437";

std::string DigestListText(const std::vector<std::string>& records) {
    return ListText(records, "Orbex version list 2");
}

std::string StagedRecord(const std::string& content, const char* digest, const std::string& path) {
    return "s " + std::to_string(content.size()) + " " + digest + " " + path;
}

const char kApplied[] = "applied the staged version is installed\r\n";

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
        TreeSnapshot after;  // kApplied only; kKept leaves everything as it was,
                             // kDiscarded all but the staged tree
        std::string status;  // the line for the application; empty: kApplied
    } rows[] = {
        {"a file in use that sorts last",
         {{"A.dat", "1"}, {"Z.dat", "1"}}, noList,
         {{"A.dat", "2"}, {"Z.dat", "2"}}, noList,
         {"Z.dat"}, {}, ApplyOutcome::kKept, {}, "waiting Z.dat: in use (error 32)"},
        {"a read-only file",
         {{"res\\", kFolder}, {"res\\skin.dat", "1"}}, noList,
         {{"new.txt", "new"}, {"res\\", kFolder}, {"res\\skin.dat", "2"}}, noList,
         {}, {"res\\skin.dat"}, ApplyOutcome::kKept, {},
         "waiting res\\skin.dat: read-only (error 5), permanent"},
        {"staged files with their sizes and digests",
         {{"a.txt", "1"}, {"old.txt", "1"}}, {"a.txt", "old.txt"},
         {{"a.txt", "2"}, {"res\\", kFolder}, {"res\\new.txt", "new"}, {"stray.tmp", "not listed"}},
         {"d res\\", StagedRecord("2", kDigestOf2, "a.txt"), StagedRecord("new", kDigestOfNew, "res\\new.txt"),
          "k 4 " + std::string(kDigestOfNew) + " kept.txt"},
         {}, {}, ApplyOutcome::kApplied,
         {{"a.txt", "2"}, {"res\\", kFolder}, {"res\\new.txt", "new"}}},
        {"a staged file whose bytes differ from its digest",
         {{"a.txt", "1"}}, {"a.txt"},
         {{"a.txt", "3"}, {"new.txt", "new"}},
         {StagedRecord("2", kDigestOf2, "a.txt"), StagedRecord("new", kDigestOfNew, "new.txt")},
         {}, {}, ApplyOutcome::kDiscarded, {},
         "discarded update\\a.txt: damaged (size or SHA-256 differs from the staged list)"},
        {"a staged file cut short",
         {{"a.txt", "1"}}, {"a.txt"},
         {{"a.txt", "2"}, {"new.txt", "ne"}},
         {StagedRecord("2", kDigestOf2, "a.txt"), StagedRecord("new", kDigestOfNew, "new.txt")},
         {}, {}, ApplyOutcome::kDiscarded, {},
         "discarded update\\new.txt: damaged (size or SHA-256 differs from the staged list)"},
        {"a staged file lost",
         {{"a.txt", "1"}}, {"a.txt"},
         {{"new.txt", "new"}},
         {StagedRecord("2", kDigestOf2, "a.txt"), StagedRecord("new", kDigestOfNew, "new.txt")},
         {}, {}, ApplyOutcome::kDiscarded, {},
         "discarded update\\a.txt: damaged (missing from the staged tree)"},
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
         {}, {}, ApplyOutcome::kKept, {},
         "waiting plug: kind change blocked by the user's files, permanent"},
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
        const bool withDigests = !row.stagedList.empty() && row.stagedList[0].size() > 2 &&
                                 row.stagedList[0][1] == ' ';
        if (row.stagedList != noList) {
            WriteTextFile(Staged() + "update.version", withDigests ? DigestListText(row.stagedList)
                                                                   : ListText(row.stagedList));
        }
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
        TreeSnapshot after = row.after;
        if (row.outcome == ApplyOutcome::kKept)
            after = before;
        if (row.outcome == ApplyOutcome::kDiscarded) {
            for (const auto& entry : before) {
                if (entry.first.compare(0, 7, "update\\") != 0)
                    after.insert(entry);
            }
        }
        if (row.outcome == ApplyOutcome::kApplied && withDigests)
            after["update.version"] = DigestListText(row.stagedList);
        EXPECT_EQ(InstalledTree(), after);
        EXPECT_EQ(ReadTextFile(Data() + "update.status"),
                  row.status.empty() ? kApplied : row.status + "\r\n");
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

// A run killed after a file was moved aside, and the staged file then lost
// (a scanner's quarantine): the next run cannot finish, so it puts the old
// file back rather than count the move as done and delete its only copy.
TEST_F(ApplyUpdateTest, StagedFileLostAfterItsBackupIsNeverCountedAsMoved) {
    WriteTextFile(Data() + "a.txt", "1");
    WriteTextFile(Data() + "b.txt", "1");
    WriteTextFile(Staged() + "a.txt", "2");
    WriteTextFile(Staged() + "b.txt", "2");
    WriteTextFile(Staged() + "update.version",
                  DigestListText({StagedRecord("2", kDigestOf2, "a.txt"),
                                  StagedRecord("2", kDigestOf2, "b.txt")}));
    ASSERT_EQ(ApplyStagedUpdateStoppingAfter(Data(), 1).outcome, ApplyOutcome::kUnfinished);
    ASSERT_FALSE(FileExists(Data() + "a.txt"));  // moved aside, not yet replaced
    ASSERT_TRUE(DeleteFileA((Staged() + "a.txt").c_str()));

    // Undone, then found damaged as a fresh apply checks it.
    EXPECT_EQ(ApplyStagedUpdateLocked(Data()).outcome, ApplyOutcome::kDiscarded);
    EXPECT_EQ(InstalledTree(), (TreeSnapshot{{"a.txt", "1"}, {"b.txt", "1"}}));
    EXPECT_EQ(ReadTextFile(Data() + "update.status"),
              "discarded update\\a.txt: damaged (missing from the staged tree)\r\n");
}

// Calls that used to be taken as done whatever they did: each failure now
// keeps the run from claiming more than it achieved.
TEST_F(ApplyUpdateTest, FailedRemovalsAreReportedNotTakenAsDone) {
    // A folder the new version drops, held open by another program for the
    // whole run (longer than any wait), cannot go: the update waits whole.
    WriteTextFile(Data() + "a.txt", "1");
    MakeFolders(Data() + "gone");
    WriteTextFile(Data() + "update.version", ListText({"a.txt", "gone\\"}));
    WriteTextFile(Staged() + "a.txt", "2");
    WriteTextFile(Staged() + "update.version", ListText({"a.txt"}));
    const TreeSnapshot before = InstalledTree();
    HANDLE folder = CreateFileA((Data() + "gone").c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(folder, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ApplyStagedUpdateLocked(Data()).outcome, ApplyOutcome::kKept);
    CloseHandle(folder);
    EXPECT_EQ(InstalledTree(), before);
    EXPECT_EQ(ReadTextFile(Data() + "update.status"), "waiting gone: in use (error 32)\r\n");

    // A post-upgrade program that cannot be deleted keeps the journal, so
    // the next run finishes the clean-up: its absence tells the application
    // that the update is in.
    WriteTextFile(Data() + "OrbexPostUpgrade.exe", "post-upgrade");
    HANDLE postUpgrade = CreateFileA((Data() + "OrbexPostUpgrade.exe").c_str(), GENERIC_READ,
                                     FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(postUpgrade, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ApplyStagedUpdateLocked(Data()).outcome, ApplyOutcome::kApplied);
    CloseHandle(postUpgrade);
    EXPECT_EQ(ReadTextFile(Data() + "update.status"),
              "applied OrbexPostUpgrade.exe: in use (error 32)\r\n");
    EXPECT_TRUE(FileExists(Data() + "update.journal"));
    EXPECT_EQ(ApplyStagedUpdateLocked(Data()).outcome, ApplyOutcome::kApplied);
    EXPECT_EQ(InstalledTree(), (TreeSnapshot{{"a.txt", "2"}, {"update.version", ListText({"a.txt"})}}));
    EXPECT_EQ(ReadTextFile(Data() + "update.status"), kApplied);
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
