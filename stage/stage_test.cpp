// End to end: several launchers over one pending update, the stager killed
// part-way or publishing during an apply, its refusals, and what it stages
// of a new version. Each runs the built Orbex.exe and OrbexStage.exe in a
// fresh installation.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <thread>

#include "testing/installation_fixture.h"
#include "update/installation_name.h"
#include "update/stage_update.h"
#include "update/update_lock.h"
#include "testing/test_folder.h"

namespace {

// Starts `commandLine` from `directory` with its output in `outputFile` (none
// when empty); the caller closes the returned process handle. With `thread`,
// the process is created suspended and `thread` receives its main thread.
HANDLE StartProgram(std::string commandLine, const std::string& directory,
                    const std::string& outputFile = "", HANDLE* thread = nullptr) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE output = outputFile.empty() ? INVALID_HANDLE_VALUE
                                       : CreateFileA(outputFile.c_str(), GENERIC_WRITE,
                                                     FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    if (output != INVALID_HANDLE_VALUE) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = startup.hStdError = output;
    }
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE,
                                  thread ? CREATE_SUSPENDED : 0, nullptr, directory.c_str(),
                                  &startup, &process);
    if (output != INVALID_HANDLE_VALUE)
        CloseHandle(output);
    if (!started) {
        ADD_FAILURE() << "cannot start " << commandLine << ": " << GetLastError();
        return nullptr;
    }
    if (thread)
        *thread = process.hThread;
    else
        CloseHandle(process.hThread);
    return process.hProcess;
}

// The exit code a test's kill gives: the stager ends with 0 or 1, the launcher
// with 0, so this one shows that the kill, not the program, ended it.
const DWORD kKilledExitCode = 0xDEAD;

// Waits for the process and closes it; its exit code, ~0 when it did not end.
DWORD Finish(HANDLE process) {
    DWORD code = ~0ul;
    if (process && WaitForSingleObject(process, 300000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process, &code);
    if (process)
        CloseHandle(process);
    return code;
}

// The first few paths where `actual` differs from `expected` (entries only in
// `actual` count unless `extraAllowed`); empty when none. A whole snapshot of
// a thousand files is too much to print.
std::string Difference(const TreeSnapshot& expected, const TreeSnapshot& actual,
                       bool extraAllowed = false) {
    std::string out;
    int shown = 0;
    for (const auto& entry : expected) {
        auto found = actual.find(entry.first);
        if ((found == actual.end() || found->second != entry.second) && shown++ < 5)
            out += (found == actual.end() ? " missing " : " differs ") + entry.first;
    }
    for (const auto& entry : actual) {
        if (!extraAllowed && !expected.count(entry.first) && shown++ < 5)
            out += " unexpected " + entry.first;
    }
    return shown ? std::to_string(shown) + " wrong:" + out : out;
}

// The lines of a text, sorted: a list's order is the platform's.
std::vector<std::string> SortedLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    std::sort(lines.begin(), lines.end());
    return lines;
}

class StageTest : public InstallationTest {
protected:
    std::string Stager(const std::string& arguments) const {
        return "\"" + TestProgramFolder() + "OrbexStage.exe\" " + arguments;
    }
    std::string Launcher() const { return "\"" + ProgramFolder() + "Orbex.exe\""; }
    // The staged tree without the list of its version.
    TreeSnapshot StagedSnapshot() const {
        TreeSnapshot snapshot = SnapshotTree(UpdateFolder());
        snapshot.erase("update.version");
        return snapshot;
    }

    // Runs the stager with `arguments` from Root() to its end; what it wrote to
    // standard output and standard error.
    std::string RunStager(const std::string& arguments, DWORD* exitCode) {
        // Beside Root(), so that the tree a test watches stays as it was.
        const std::string outputFile =
            At("..\\stager-" + std::to_string(GetCurrentProcessId()) + ".out");
        *exitCode = Finish(StartProgram(Stager(arguments), Root(), outputFile));
        std::string output = ReadTextFile(outputFile);
        DeleteFileA(outputFile.c_str());
        return output;
    }

    // Writes `files` files of a few kilobytes in nested folders under `folder`,
    // each holding `tag`, and the version 2 main program.
    void WriteRelease(const std::string& folder, int files, const std::string& tag) {
        CopyBuiltProgram("sample_main_v2.exe", folder + "Orbex.exe");
        for (int i = 0; i < files; ++i) {
            std::string relative = "d" + std::to_string(i % 7) + "\\e" + std::to_string(i % 3) +
                                   "\\f" + std::to_string(i) + ".dat";
            WriteTextFile(folder + relative, std::string(2000 + i % 3000, 'x') + tag);
        }
        MakeFolders(folder + "empty");
    }
};

// Launchers started together (as when a user opens several documents at
// once): one applies the update, the others wait for it, so every main
// program starts on the complete installation. A launcher killed while it
// holds the lock and applies leaves the lock abandoned; a launcher waiting
// for it takes it over and completes the update.
TEST_F(StageTest, LaunchersStartedTogetherAllHandOffToTheCompleteUpdate) {
    for (bool killOne : {false, true}) {
        SCOPED_TRACE(killOne ? "the applying launcher killed" : "four launchers");
        RemoveTree(DataFolder());
        CopyBuiltProgram("sample_main.exe", DataFolder() + "Orbex.exe");
        WriteRelease(UpdateFolder(), 1200, "new");
        TreeSnapshot expected = ExpectedAfterUpdate(DataSnapshot());

        std::vector<HANDLE> launchers;
        bool killedMidUpdate = false;
        const std::string journal = DataFolder() + "update.journal";
        if (killOne) {
            // The first holds the lock and is applying once its journal is
            // there; it is frozen then, so that it is still applying when it
            // is killed, however fast the moves are.
            HANDLE first = nullptr;
            launchers.push_back(StartProgram(Launcher(), Root(), "", &first));
            ResumeThread(first);
            for (int i = 0; i < 30000 && !FileExists(journal); ++i)
                Sleep(1);
            SuspendThread(first);
            CloseHandle(first);
        }
        std::vector<HANDLE> threads(killOne ? 3 : 4);
        for (HANDLE& thread : threads)
            launchers.push_back(StartProgram(Launcher(), Root(), "", &thread));
        for (HANDLE thread : threads) {
            ResumeThread(thread);
            CloseHandle(thread);
        }
        size_t handOffs = launchers.size();
        HANDLE lock = nullptr;
        if (killOne) {
            // Held open here, the lock outlives its killed holder as an
            // abandoned lock, which the next launcher must take over.
            const std::string name = InstallationObjectName(
                FoldedFullPath(DataFolder()), kApplyLockPurpose, ObjectScope::kAllSessions);
            lock = OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
            EXPECT_NE(lock, nullptr);
            TerminateProcess(launchers[0], kKilledExitCode);
            killedMidUpdate = Finish(launchers[0]) == kKilledExitCode && FileExists(journal);
            --handOffs;
            launchers.erase(launchers.begin());
            EXPECT_TRUE(killedMidUpdate) << "the launcher was not killed while it applied";
        }
        for (HANDLE launcher : launchers)
            EXPECT_EQ(Finish(launcher), 0u);
        if (lock)
            CloseHandle(lock);
        for (size_t i = 1; i <= handOffs; ++i) {
            HandOff handOff = WaitForHandOff(i);
            EXPECT_EQ(handOff.version, "2") << "start " << i;
            EXPECT_FALSE(handOff.updatePending) << "start " << i << " ran on a half-applied update";
        }
        WaitForMainProgramToEnd();
        EXPECT_EQ(Difference(expected, DataSnapshot()), "");
    }
}

TEST_F(StageTest, KilledAnywhereTheStagerLeavesThePreviousStateOrACompleteUpdate) {
    WriteRelease(At("Release\\"), 1500, "newer");
    TreeSnapshot release = SnapshotTree(At("Release\\"));
    DWORD start = GetTickCount();
    // Everything, every time: the data folder holds the release after a trial.
    ASSERT_EQ(Finish(StartProgram(Stager("--all Release Apps\\OrbexData"), Root())), 0u);
    DWORD runMs = GetTickCount() - start;
    ASSERT_EQ(Difference(release, StagedSnapshot()), "");

    std::mt19937 random(GetTickCount());
    const int trials = 4;
    int killed = 0;
    for (int trial = 0; trial < trials; ++trial) {
        RemoveTree(UpdateFolder());
        RemoveTree(DataFolder() + "update.partial");
        RemoveTree(DataFolder() + "update.old");
        TreeSnapshot previous;
        if (trial % 2) {  // an older update still pending
            WriteTextFile(UpdateFolder() + "older.txt", "older");
            previous = SnapshotTree(UpdateFolder());
        }
        DWORD delay = random() % (runMs + 1);
        SCOPED_TRACE("killed after " + std::to_string(delay) + " ms of " + std::to_string(runMs));
        HANDLE stager = StartProgram(Stager("--all Release Apps\\OrbexData"), Root());
        const bool timedOut = WaitForSingleObject(stager, delay) == WAIT_TIMEOUT;
        if (timedOut)
            TerminateProcess(stager, kKilledExitCode);
        const DWORD exitCode = Finish(stager);
        killed += timedOut && exitCode == kKilledExitCode;
        // The first run, which set the range, can be slower than the trials.
        if (!timedOut)
            runMs = delay;

        TreeSnapshot update = FolderExists(UpdateFolder()) ? StagedSnapshot() : TreeSnapshot();
        EXPECT_TRUE(update == previous || update == release) << "a partial update was published";
        TreeSnapshot expected = ExpectedAfterUpdate(DataSnapshot());
        EXPECT_EQ(Finish(StartProgram(Launcher(), Root())), 0u);
        WaitForHandOff(trial + 1);
        WaitForMainProgramToEnd();
        EXPECT_EQ(Difference(expected, DataSnapshot()), "");
    }
    std::printf("the stager was killed mid-run in %d of %d trials\n", killed, trials);
    EXPECT_GT(killed, 0) << "every stager ended before its kill";
}

// The stager waits while a launcher applies an older update, then publishes
// the newer one whole: the older is applied completely, the newer is pending
// unmixed, and the next start applies it. z-last\base.txt, changed by the
// older and put back by the newer (and copied late by the launcher), shows a
// comparison made while the older was being applied: left out, it would keep
// the older's content.
TEST_F(StageTest, PublishingDuringAnApplyLosesAndMixesNothing) {
    // An apply that ends before the stager starts shows nothing, so the race
    // runs again then, a few times at most.
    bool raced = false;
    int attempts = 0;
    do {
        ++attempts;
        SCOPED_TRACE("attempt " + std::to_string(attempts));
        WaitForMainProgramToEnd();
        RemoveTree(DataFolder());
        RemoveTree(At("Release"));
        CopyBuiltProgram("sample_main.exe", DataFolder() + "Orbex.exe");
        WriteTextFile(DataFolder() + "z-last\\base.txt", "installed");
        WriteRelease(UpdateFolder(), 1500, "older");
        WriteTextFile(UpdateFolder() + "only-older.txt", "older");
        WriteTextFile(UpdateFolder() + "z-last\\base.txt", "older");
        TreeSnapshot afterOlder = ExpectedAfterUpdate(DataSnapshot());
        // Small, so that it is ready to publish while the older is still copied.
        WriteRelease(At("Release\\"), 50, "newer");
        WriteTextFile(At("Release\\z-last\\base.txt"), "installed");
        WriteTextFile(At("Release\\only-newer.txt"), "newer");
        TreeSnapshot newer = SnapshotTree(At("Release\\"));

        HANDLE launcher = StartProgram(Launcher(), Root());
        // The launcher's copy has begun once the top folder's files arrive.
        for (int i = 0; i < 400 && !FileExists(DataFolder() + "only-older.txt"); ++i)
            Sleep(10);
        HANDLE stager = StartProgram(Stager("Release Apps\\OrbexData"), Root());
        // Raced: the stager runs while the older is still being applied, which
        // ends only when its folder goes. An update folder holding
        // only-newer.txt would be the newer, already published.
        raced = FileExists(DataFolder() + "only-older.txt") && FolderExists(UpdateFolder()) &&
                !FileExists(UpdateFolder() + "only-newer.txt") &&
                WaitForSingleObject(launcher, 0) == WAIT_TIMEOUT;
        EXPECT_EQ(Finish(stager), 0u);
        EXPECT_EQ(Finish(launcher), 0u);
        WaitForHandOff(1);
        WaitForMainProgramToEnd();
        EXPECT_EQ(Difference(afterOlder, DataSnapshot(), true), "") << "the older update";
        EXPECT_EQ(Difference(StagedSnapshot(), newer, true), "") << "the pending update";

        TreeSnapshot expected = afterOlder;
        for (const auto& entry : newer)
            expected[entry.first] = entry.second;
        EXPECT_EQ(Finish(StartProgram(Launcher(), Root())), 0u);
        WaitForHandOff(2);
        WaitForMainProgramToEnd();
        EXPECT_EQ(Difference(expected, DataSnapshot()), "");
    } while (!raced && attempts < 3);
    std::printf("the stager started during the apply: %s (%d attempts)\n", raced ? "yes" : "no",
                attempts);
    EXPECT_TRUE(raced) << "every apply ended before the stager started";
}

TEST_F(StageTest, BadInputIsRefusedWithAMessageAndChangesNothing) {
    WriteTextFile(At("Release\\Orbex.exe"), "release");
    WriteTextFile(At("Plain.txt"), "a file");
    WriteTextFile(DataFolder() + "res\\skin.dat", "skin");
    WriteTextFile(At("Apps\\OrbexData2\\Orbex.exe"), "a sibling with a longer name");
    WriteTextFile(At("Nested\\Update\\Orbex.exe"), "would be applied again and again");
    const struct {
        const char* arguments;
        DWORD exitCode;
        const char* output;  // a word the output must hold
    } cases[] = {
        {"", 1, "usage"},
        {"Release", 1, "usage"},
        {"Release Apps\\OrbexData extra", 1, "usage"},
        {"--bogus Release Apps\\OrbexData", 1, "unknown option"},
        {"\"\" Apps\\OrbexData", 1, "empty"},
        {"Release \"\"", 1, "empty"},
        {"Missing Apps\\OrbexData", 1, "source"},
        {"Plain.txt Apps\\OrbexData", 1, "source"},
        {"Release Apps\\Missing", 1, "data folder"},
        {"Apps\\OrbexData\\res Apps\\OrbexData", 1, "inside"},
        {"Apps\\ORBEXDATA\\ apps\\orbexdata", 1, "inside"},
        {"Apps Apps\\OrbexData", 1, "inside"},
        {"Nested Apps\\OrbexData", 1, "pending update again"},
        {"--help", 0, "usage"},
    };
    TreeSnapshot before = SnapshotTree(Root());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        DWORD exitCode = ~0ul;
        const std::string output = RunStager(c.arguments, &exitCode);
        EXPECT_EQ(exitCode, c.exitCode);
        EXPECT_NE(output.find(c.output), std::string::npos) << output;
        EXPECT_EQ(Difference(before, SnapshotTree(Root())), "");
    }
    // A folder whose name merely begins with the data folder's is no part of it.
    EXPECT_EQ(Finish(StartProgram(Stager("Apps\\OrbexData2 Apps\\OrbexData"), Root())), 0u);
    EXPECT_EQ(ReadTextFile(UpdateFolder() + "Orbex.exe"), "a sibling with a longer name");
}

// A source holding a folder link is refused whole: nothing behind the link is
// staged. A test of its own, so that where no link can be made the skip shows.
TEST_F(StageTest, SourceHoldingALinkIsRefusedAndChangesNothing) {
    WriteTextFile(At("Release\\Orbex.exe"), "release");
    WriteTextFile(At("Linked\\Orbex.exe"), "release");
    if (!RunningUnderWine() || !MakeUnixFolderLink(At("Release"), At("Linked\\inner")))
        GTEST_SKIP() << "a link is made from the Linux side of Wine";
    const TreeSnapshot before = SnapshotTree(Root());
    DWORD exitCode = ~0ul;
    const std::string output = RunStager("Linked Apps\\OrbexData", &exitCode);
    EXPECT_EQ(exitCode, 1u);
    EXPECT_NE(output.find("link"), std::string::npos) << output;
    EXPECT_EQ(Difference(before, SnapshotTree(Root())), "");
    RemoveUnixLink(At("Linked\\inner"));
}

// Changed-only staging, entry by entry, and --all beside it: the update holds
// exactly what differs from the installed version (the folders such files
// need and the folders it lacks included); after the launcher's start the
// data folder is the new version plus what only the old one had, and the
// files left out were not rewritten.
TEST_F(StageTest, StagesWhatDiffersFromTheInstalledVersion) {
    const char* const kFolder = "<dir>";
    const struct {
        const char* path;
        const char* installed;  // nullptr: not installed
        const char* release;    // nullptr: not in the new version
        bool staged;            // when only what changed is staged
    } entries[] = {
        {"changed.txt", "version 1", "version 2, longer", true},
        {"res\\", kFolder, kFolder, true},  // holds staged files
        {"res\\same-size.dat", "abcd", "abce", true},
        {"res\\unchanged.dat", "same", "same", false},
        {"res\\lang\\", nullptr, kFolder, true},
        {"res\\lang\\new.txt", nullptr, "new", true},
        {"plugins\\", nullptr, kFolder, true},
        {"plugins\\empty\\", nullptr, kFolder, true},
        {"docs\\", kFolder, kFolder, false},
        {"docs\\unchanged.txt", "same", "same", false},
        {"empty.txt", "", "", false},
        {"in-use.log", "same", "same", true},  // open for writing while staged
        {"old-only.txt", "old", nullptr, false},
    };
    const FILETIME installedTime = {0, 30000000};  // in 2009, long before the release
    auto lastWrite = [](const std::string& path) {
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data);
        return data.ftLastWriteTime.dwHighDateTime;
    };

    for (bool stageAll : {false, true}) {
        SCOPED_TRACE(stageAll ? "--all" : "changed only");
        RemoveTree(DataFolder());
        RemoveTree(At("Release"));
        CopyBuiltProgram("sample_main.exe", DataFolder() + "Orbex.exe");
        MakeFolders(At("Release"));
        TreeSnapshot expectedUpdate;
        for (const auto& e : entries) {
            const std::string path = e.path;
            const bool folder = path.back() == '\\';
            if (e.installed && folder)
                MakeFolders(DataFolder() + path);
            if (e.installed && !folder) {
                WriteTextFile(DataFolder() + path, e.installed);
                HANDLE file = CreateFileA((DataFolder() + path).c_str(), FILE_WRITE_ATTRIBUTES, 0,
                                          nullptr, OPEN_EXISTING, 0, nullptr);
                SetFileTime(file, nullptr, nullptr, &installedTime);
                CloseHandle(file);
            }
            if (e.release && folder)
                MakeFolders(At("Release\\") + path);
            if (e.release && !folder)
                WriteTextFile(At("Release\\") + path, e.release);
            if (e.release && (stageAll || e.staged))
                expectedUpdate[path] = folder ? kFolder : e.release;
        }
        TreeSnapshot expectedData = DataSnapshot();
        for (const auto& entry : SnapshotTree(At("Release\\")))
            expectedData[entry.first] = entry.second;

        // As a running application holds its log: open for writing, shared.
        HANDLE inUse = CreateFileA((DataFolder() + "in-use.log").c_str(), GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                   nullptr);
        ASSERT_NE(inUse, INVALID_HANDLE_VALUE);
        EXPECT_EQ(Finish(StartProgram(Stager(std::string(stageAll ? "--all " : "") +
                                             "Release Apps\\OrbexData"),
                                      Root())),
                  0u);
        CloseHandle(inUse);
        EXPECT_EQ(Difference(expectedUpdate, StagedSnapshot()), "");
        // The list names the whole new version, the files left out included,
        // each file with its size and SHA-256 (digests from an independent
        // implementation) and whether the update carries it.
        const std::map<std::string, std::string> digests = {
            {"version 2, longer", "9bfe511bfae8a058b112e6bff3b200a2fdd7eef433ecf4b6fd34db97c6b7511a"},
            {"abce", "84e73dc50f2be9000ab2a87f8026c1f45e1fec954af502e9904031645b190d4f"},
            {"same", "0967115f2813a3541eaef77de9d9d5773f1c0c04314b0bbfe4ff3b3b1c55b5d5"},
            {"new", "11507a0e2f5e69d5dfa40a62a1bd7b6ee57e6bcd85c67c9b8431b36fff21c437"},
            {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"}};
        std::string expectedList = "Orbex version list 2\r\n";
        for (const auto& entry : SnapshotTree(At("Release\\"))) {
            if (entry.second == kFolder) {
                expectedList += "d " + entry.first + "\r\n";
                continue;
            }
            const bool carried = expectedUpdate.count(entry.first) != 0;
            expectedList += std::string(carried ? "s " : "k ") +
                            std::to_string(entry.second.size()) + ' ' +
                            digests.at(entry.second) + ' ' + entry.first + "\r\n";
        }
        expectedList += "*end\r\n";
        EXPECT_EQ(SortedLines(ReadTextFile(UpdateFolder() + "update.version")),
                  SortedLines(expectedList));

        EXPECT_EQ(Finish(StartProgram(Launcher(), Root())), 0u);
        WaitForHandOff(1);
        WaitForMainProgramToEnd();
        EXPECT_EQ(Difference(expectedData, DataSnapshot()), "");
        for (const auto& e : entries) {
            if (!stageAll && e.installed && e.release && !e.staged && e.installed != kFolder) {
                EXPECT_EQ(lastWrite(DataFolder() + e.path), installedTime.dwHighDateTime)
                    << e.path << " rewritten";
            }
        }
    }
}

// A vendor's updater calls StageUpdate on one thread while its other threads
// work with relative paths: the current directory must stay where it is
// throughout, not merely be put back at the end. The stages complete a
// relative source that climbs out of the current directory, create nested
// folders, and delete a leftover update.partial\ tree.
TEST_F(StageTest, StagingNeverMovesTheCurrentDirectoryOfItsHost) {
    const struct {
        const char* name;
        const char* currentDirectory;  // relative to Root()
        const char* source;            // as given to StageUpdate; nullptr: its full path
        bool leftoverPartial;
        bool stageAll;
    } rows[] = {
        {"relative source", "Apps\\", "..\\Release", false, false},
        {"leftover update.partial", "", nullptr, true, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        RemoveTree(UpdateFolder());
        RemoveTree(At("Release"));
        WriteRelease(At("Release\\"), 300, row.name);
        if (row.leftoverPartial)
            WriteRelease(DataFolder() + "update.partial\\", 300, "left by a stager killed");
        ASSERT_TRUE(SetCurrentDirectoryA(At(row.currentDirectory).c_str()));
        char buffer[MAX_PATH * 3];
        const std::string before(buffer, GetCurrentDirectoryA(sizeof buffer, buffer));

        std::atomic<bool> staged(false);
        std::atomic<long> reads(0), moved(0);
        std::thread watcher([&] {
            char now[MAX_PATH * 3];
            while (!staged) {
                const DWORD length = GetCurrentDirectoryA(sizeof now, now);
                moved += before.compare(0, std::string::npos, now, length) != 0;
                ++reads;
            }
        });
        const StageResult result =
            StageUpdate(row.source ? row.source : At("Release"), DataFolder(), row.stageAll);
        staged = true;
        watcher.join();

        EXPECT_TRUE(result.ok) << result.errorText;
        EXPECT_EQ(moved, 0) << "of " << reads << " reads";
        EXPECT_EQ(std::string(buffer, GetCurrentDirectoryA(sizeof buffer, buffer)), before);
        EXPECT_EQ(Difference(SnapshotTree(At("Release\\")), StagedSnapshot()), "");
        EXPECT_FALSE(FolderExists(DataFolder() + "update.partial"));
    }
}

// In code page 932 the second byte of 表 is 0x5C, the backslash. A file so
// named alone in its folder, and a folder so named, are staged whole and
// nothing else is: staged in this process, as a Windows without the UTF-8
// manifest element stages in the system code page, and by OrbexStage.exe.
TEST_F(StageTest, CodePage932NamesEndingInABackslashByteStageWhole) {
    ASSERT_EQ(GetACP(), 932u) << "runs under code page 932 (LANG and LC_ALL ja_JP.UTF-8)";
    const std::string kHyo = "\x95\x5C";  // 表
    for (const bool inProcess : {true, false}) {
        SCOPED_TRACE(inProcess ? "StageUpdate" : "OrbexStage.exe");
        RemoveTree(UpdateFolder());
        RemoveTree(At("Release"));
        WriteTextFile(At("Release\\one\\") + kHyo + ".txt", "a file");
        WriteTextFile(At("Release\\two\\") + kHyo + "\\file.txt", "in a folder");
        const TreeSnapshot release = SnapshotTree(At("Release\\"));
        ASSERT_EQ(release.size(), 5u);
        if (inProcess) {
            const StageResult result = StageUpdate(At("Release"), DataFolder());
            EXPECT_TRUE(result.ok) << result.errorText;
        } else {
            EXPECT_EQ(Finish(StartProgram(Stager("Release Apps\\OrbexData"), Root())), 0u);
        }
        EXPECT_EQ(Difference(release, StagedSnapshot()), "");
    }
}


// The first line of the status the launcher writes for the application.
std::string StatusLineOf(const std::string& dataFolder) {
    const std::string text = ReadTextFile(dataFolder + "update.status");
    return text.substr(0, text.find("\r\n"));
}

// A staged file damaged between staging and the next start (lost to a
// scanner's quarantine, its bytes changed, cut short): the start changes
// nothing, removes the damaged update and starts the installed version; the
// status names the file; a fresh staging then applies.
TEST_F(StageTest, DamagedStagedFileIsDiscardedAndTheInstalledVersionStarts) {
    const struct {
        const char* name;
        const char* content;  // nullptr: the file is gone
        const char* reason;
    } rows[] = {
        {"lost", nullptr, "damaged (missing from the staged tree)"},
        {"bytes flipped", "library 9", "damaged (size or SHA-256 differs from the staged list)"},
        {"cut short", "libr", "damaged (size or SHA-256 differs from the staged list)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        RemoveTree(DataFolder());
        RemoveTree(At("Release"));
        CopyBuiltProgram("sample_main.exe", DataFolder() + "Orbex.exe");
        WriteTextFile(DataFolder() + "lib.dll", "library 1");
        WriteTextFile(DataFolder() + "res\\skin.dat", "skin 1");
        WriteTextFile(DataFolder() + "user.ini", "mine");
        CopyBuiltProgram("sample_main_v2.exe", At("Release\\Orbex.exe"));
        WriteTextFile(At("Release\\lib.dll"), "library 2");
        WriteTextFile(At("Release\\res\\skin.dat"), "skin 2");
        const TreeSnapshot installed = DataSnapshot();
        TreeSnapshot updated = installed;
        for (const auto& entry : SnapshotTree(At("Release\\")))
            updated[entry.first] = entry.second;

        DWORD exitCode = ~0ul;
        RunStager("Release Apps\\OrbexData", &exitCode);
        ASSERT_EQ(exitCode, 0u);
        if (row.content)
            WriteTextFile(UpdateFolder() + "lib.dll", row.content);
        else
            ASSERT_TRUE(DeleteFileA((UpdateFolder() + "lib.dll").c_str()));
        EXPECT_EQ(Finish(StartProgram(Launcher(), Root())), 0u);
        EXPECT_EQ(WaitForHandOff(1).version, "1");
        WaitForMainProgramToEnd();
        EXPECT_EQ(Difference(installed, DataSnapshot()), "");
        EXPECT_EQ(StatusLineOf(DataFolder()), std::string("discarded update\\lib.dll: ") + row.reason);

        RunStager("Release Apps\\OrbexData", &exitCode);
        ASSERT_EQ(exitCode, 0u);
        EXPECT_EQ(Finish(StartProgram(Launcher(), Root())), 0u);
        EXPECT_EQ(WaitForHandOff(2).version, "2");
        WaitForMainProgramToEnd();
        EXPECT_EQ(Difference(updated, DataSnapshot()), "");
        EXPECT_EQ(StatusLineOf(DataFolder()), "applied the staged version is installed");
    }
}

// Another program that opens each file of a folder tree in turn, sharing
// reads only, and holds it for a moment, as a virus scanner, an indexer or a
// backup agent does. Files it cannot open (held by others) it passes by.
class MomentaryHolder {
public:
    MomentaryHolder(const std::string& folder, DWORD holdMs)
        : folder_(folder), holdMs_(holdMs), thread_([this] { Run(); }) {}
    ~MomentaryHolder() {
        stop_ = true;
        thread_.join();
    }
    // Holds that began while the test said a start was under way: proof
    // that the starts met them.
    void SetStarting(bool starting) { starting_ = starting; }
    long HeldDuringStarts() const { return heldDuringStarts_; }

private:
    void Run() {
        while (!stop_)
            HoldEach(folder_);
    }
    void HoldEach(const std::string& folder) {
        WIN32_FIND_DATAA entry;
        HANDLE search = FindFirstFileA((folder + "*").c_str(), &entry);
        if (search == INVALID_HANDLE_VALUE)
            return;
        do {
            const std::string name = entry.cFileName;
            // The sample main program's own log is the test's instrument.
            if (stop_ || name == "." || name == ".." || name == "handoff.log")
                continue;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                HoldEach(folder + name + "\\");
                continue;
            }
            HANDLE file = CreateFileA((folder + name).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
            if (file == INVALID_HANDLE_VALUE)
                continue;
            if (starting_)
                ++heldDuringStarts_;
            Sleep(holdMs_);
            CloseHandle(file);
        } while (!stop_ && FindNextFileA(search, &entry));
        FindClose(search);
    }

    const std::string folder_;
    const DWORD holdMs_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> starting_{false};
    std::atomic<long> heldDuringStarts_{0};
    std::thread thread_;
};

// Files held for a moment while updates are staged and applied: every start
// applies the update staged before it, whole, as it does without them.
TEST_F(StageTest, FilesHeldForAMomentDelayNoUpdate) {
    WriteTextFile(DataFolder() + "user.ini", "mine");
    size_t starts = 0;
    for (DWORD holdMs : {8, 60}) {
        SCOPED_TRACE("held " + std::to_string(holdMs) + " ms at a time");
        MomentaryHolder holder(DataFolder(), holdMs);
        for (int round = 1; round <= 3; ++round) {
            SCOPED_TRACE("round " + std::to_string(round));
            RemoveTree(At("Release"));
            WriteRelease(At("Release\\"), 12, std::to_string(holdMs) + "/" + std::to_string(round));
            TreeSnapshot expected = SnapshotTree(At("Release\\"));
            expected["user.ini"] = "mine";
            // The stager waits for what is held as the launcher does.
            DWORD exitCode = ~0ul;
            const std::string output = RunStager("Release Apps\\OrbexData", &exitCode);
            ASSERT_EQ(exitCode, 0u) << output;

            holder.SetStarting(true);
            EXPECT_EQ(Finish(StartProgram(Launcher(), Root())), 0u);
            holder.SetStarting(false);
            EXPECT_EQ(WaitForHandOff(++starts).version, "2");
            WaitForMainProgramToEnd();
            EXPECT_EQ(StatusLineOf(DataFolder()), "applied the staged version is installed");
            EXPECT_EQ(Difference(expected, DataSnapshot()), "");
        }
        EXPECT_GT(holder.HeldDuringStarts(), 0) << "no hold fell within a start";
    }
}

}  // namespace
