// Crash consistency of applying an update: the launcher is killed at a random
// moment while it checks, moves in or cleans up after a staged tree of a few
// thousand files, then started once more undisturbed. Every trial must end with
// exactly the staged content in the data folder, the update folder and the
// post-upgrade program gone, and nothing outside the data folder changed.
//
//   update_stress_tests [--trials N] [--seed S] [--files N]
// The seed is printed, so a failing trial can be replayed.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>

#include "testing/installation_fixture.h"
#include "testing/test_folder.h"

namespace {

int g_trials = 3;
unsigned g_seed = 0;
int g_files = 2000;

// The launcher itself only ever exits with 0.
const DWORD kKilledExitCode = 0xDEAD;

class UpdateStressTest : public InstallationTest {
protected:
    // Stages `files` files of mixed sizes in nested folders, some of which
    // replace files the data folder already has.
    void StageTree(std::mt19937& random) {
        std::uniform_int_distribution<int> size(0, 8192);
        std::vector<std::string> folders = {""};
        for (int i = 0; folders.size() < 60; ++i) {
            const std::string& parent = folders[random() % folders.size()];
            if (std::count(parent.begin(), parent.end(), '\\') < 4)
                folders.push_back(parent + "d" + std::to_string(i) + "\\");
        }
        for (int i = 0; i < g_files; ++i) {
            std::string relative = folders[random() % folders.size()] + "f" + std::to_string(i) + ".dat";
            std::string content(static_cast<size_t>(size(random)), static_cast<char>('a' + i % 26));
            content += "staged " + std::to_string(i);
            WriteTextFile(UpdateFolder() + relative, content);
            if (i % 7 == 0)
                WriteTextFile(DataFolder() + relative, "old " + std::to_string(i));
        }
        MakeFolders(UpdateFolder() + "empty\\inner");
        WriteTextFile(DataFolder() + "OrbexPostUpgrade.exe", "post-upgrade");
        WriteTextFile(DataFolder() + "user\\settings.ini", "user settings");
    }

    // Starts the launcher with no argument and kills it after `delayMs`
    // (unless it ended first). True when it was killed: the wait ran out and
    // the exit code is the one the kill gave, not one of the launcher's own.
    bool StartAndKill(DWORD delayMs) {
        std::string launcher = ProgramFolder() + "Orbex.exe";
        std::string commandLine = "\"" + launcher + "\"";
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        if (!CreateProcessA(launcher.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                            Root().c_str(), &startup, &process)) {
            ADD_FAILURE() << "cannot start the launcher: " << GetLastError();
            return false;
        }
        CloseHandle(process.hThread);
        const bool timedOut = WaitForSingleObject(process.hProcess, delayMs) == WAIT_TIMEOUT;
        if (timedOut)
            TerminateProcess(process.hProcess, kKilledExitCode);
        WaitForSingleObject(process.hProcess, 60000);
        DWORD exitCode = 0;
        GetExitCodeProcess(process.hProcess, &exitCode);
        CloseHandle(process.hProcess);
        return timedOut && exitCode == kKilledExitCode;
    }

    // The update is still pending: its folder is there, or any top-level entry
    // of the data folder whose name begins with "update." (what an apply may
    // keep beside it while it works). Asked of the disk, whatever the apply
    // does inside: a kill after the apply had finished leaves neither.
    bool UpdatePending() const {
        if (FolderExists(UpdateFolder()))
            return true;
        WIN32_FIND_DATAA entry;
        HANDLE search = FindFirstFileA((DataFolder() + "*").c_str(), &entry);
        if (search == INVALID_HANDLE_VALUE)
            return false;
        bool found = false;
        do
            found = _strnicmp(entry.cFileName, "update.", 7) == 0;
        while (!found && FindNextFileA(search, &entry));
        FindClose(search);
        return found;
    }

    // Milliseconds an undisturbed run takes, measured on a throwaway copy.
    DWORD MeasureRun() {
        DWORD start = GetTickCount();
        EXPECT_EQ(RunLauncher(""), 0u);
        return GetTickCount() - start;
    }
};

TEST_F(UpdateStressTest, KilledAnywhereTheNextStartCompletesTheUpdate) {
    std::printf("seed %u, %d trials, %d files\n", g_seed, g_trials, g_files);
    std::mt19937 calibration(g_seed);
    StageTree(calibration);
    DWORD runMs = MeasureRun();
    std::printf("an undisturbed run takes %lu ms\n", static_cast<unsigned long>(runMs));

    int killedMidUpdate = 0;
    // Up to three more trials, aimed at the middle of a run, when none of the
    // planned ones killed the launcher mid-update.
    int trial = 0;
    for (; trial < g_trials || (killedMidUpdate == 0 && trial < g_trials + 3); ++trial) {
        RemoveTree(DataFolder());
        RemoveTree(At("Outside"));
        MakeFolders(DataFolder());
        CopyBuiltProgram("sample_main.exe", DataFolder() + "Orbex.exe");
        WriteTextFile(At("Outside\\neighbour.txt"), "beside the installation");
        std::mt19937 random(g_seed + trial + 1);
        StageTree(random);
        const TreeSnapshot before = DataSnapshot();
        TreeSnapshot expected = ExpectedAfterUpdate(before);
        TreeSnapshot programFolder = SnapshotTree(ProgramFolder());
        programFolder.erase(programFolder.lower_bound("OrbexData\\"),
                            programFolder.lower_bound("OrbexData]"));
        TreeSnapshot outside = SnapshotTree(At("Outside"));

        // Each planned trial kills within its own slice of the run, so the
        // kills spread over the whole of it rather than by chance.
        const DWORD slice = runMs / static_cast<DWORD>(g_trials) + 1;
        const DWORD sliceStart =
            trial < g_trials ? runMs * static_cast<DWORD>(trial) / static_cast<DWORD>(g_trials)
                             : runMs / 2 - slice / 2;
        DWORD delay = sliceStart + static_cast<DWORD>(random() % slice);
        const bool killed = StartAndKill(delay);
        // Mid-update: pending still, and begun (the data folder changed), so a
        // kill while the process was still starting does not count.
        const bool midUpdate = killed && UpdatePending() && DataSnapshot() != before;
        killedMidUpdate += midUpdate;
        // The measured run can take several times as long as a trial when the
        // machine is busy; a run that beat its kill shows how long one takes now.
        if (!killed)
            runMs = delay;
        WaitForMainProgramToEnd();
        EXPECT_EQ(RunLauncher(""), 0u);
        WaitForMainProgramToEnd();

        TreeSnapshot after = DataSnapshot();
        TreeSnapshot programAfter = SnapshotTree(ProgramFolder());
        programAfter.erase(programAfter.lower_bound("OrbexData\\"),
                           programAfter.lower_bound("OrbexData]"));
        bool good = after == expected && !FolderExists(UpdateFolder()) &&
                    SnapshotTree(At("Outside")) == outside && programAfter == programFolder;
        const char* outcome = midUpdate ? "killed mid-update"
                              : killed  ? "killed, not mid-update"
                                        : "ended before the kill";
        std::printf("trial %d: seed %u, %s at %lu ms: %s\n", trial, g_seed + trial + 1, outcome,
                    static_cast<unsigned long>(delay), good ? "ok" : "WRONG");
        if (!good) {
            for (const auto& entry : expected) {
                auto found = after.find(entry.first);
                if (found == after.end() || found->second != entry.second)
                    ADD_FAILURE() << "trial " << trial << ": " << entry.first << " is wrong or missing";
            }
            for (const auto& entry : after) {
                if (!expected.count(entry.first))
                    ADD_FAILURE() << "trial " << trial << ": unexpected " << entry.first;
            }
            EXPECT_EQ(SnapshotTree(At("Outside")), outside);
            EXPECT_EQ(programAfter, programFolder);
        }
    }
    std::printf("%d of %d trials killed the launcher mid-update\n", killedMidUpdate, trial);
    EXPECT_GT(killedMidUpdate, 0) << "no trial killed the launcher while the update was under way";
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    g_seed = GetTickCount();
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--trials"))
            g_trials = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--seed"))
            g_seed = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
        else if (!std::strcmp(argv[i], "--files"))
            g_files = std::atoi(argv[i + 1]);
    }
    return RUN_ALL_TESTS();
}
