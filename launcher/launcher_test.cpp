// End to end: the built launcher in a fresh installation, started as a user
// would start it, with the sample main program as OrbexData\Orbex.exe.
#include <windows.h>

#include <gtest/gtest.h>

#include "launcher/installation_fixture.h"
#include "testing/test_folder.h"

namespace {

TEST_F(InstallationTest, HandsOnTheArgumentWithTheDataFolderAsWorkingDirectory) {
    ASSERT_EQ(RunLauncher("C:\\docs\\page.htm"), 0u);
    HandOff handOff = WaitForHandOff();
    EXPECT_EQ(handOff.arguments, (std::vector<std::string>{"C:\\docs\\page.htm"}));
    EXPECT_EQ(handOff.workingDirectory + "\\", DataFolder());
    EXPECT_EQ(handOff.version, "1");
}

TEST_F(InstallationTest, ForwardsOnlyTheFirstNonEmptyNonSwitchArgument) {
    ASSERT_EQ(RunLauncher("/p \"\" -x page.htm second"), 0u);
    EXPECT_EQ(WaitForHandOff().arguments, (std::vector<std::string>{"page.htm"}));
}

TEST_F(InstallationTest, StartsTheMainProgramWithoutArgumentsWhenNoneIsForwarded) {
    ASSERT_EQ(RunLauncher("-x /y"), 0u);
    HandOff handOff = WaitForHandOff();
    EXPECT_TRUE(handOff.arguments.empty());
    ASSERT_EQ(RunLauncher(""), 0u);
    EXPECT_TRUE(WaitForHandOff(2).arguments.empty());
}

TEST_F(InstallationTest, ArgumentWithSpacesOrSwitchesArrivesAsOneArgument) {
    // Handed on without quotes, these would reach the main program as two
    // words, the second a switch injected by whoever started the launcher.
    ASSERT_EQ(RunLauncher("\"C:\\My Pages\\a.htm\""), 0u);
    EXPECT_EQ(WaitForHandOff(1).arguments, (std::vector<std::string>{"C:\\My Pages\\a.htm"}));
    ASSERT_EQ(RunLauncher("\"http://x/ -some-switch\""), 0u);
    EXPECT_EQ(WaitForHandOff(2).arguments, (std::vector<std::string>{"http://x/ -some-switch"}));
    ASSERT_EQ(RunLauncher("\"say \\\"hi\\\" C:\\dir\\\\\""), 0u);
    EXPECT_EQ(WaitForHandOff(3).arguments, (std::vector<std::string>{"say \"hi\" C:\\dir\\"}));
}

TEST_F(InstallationTest, ReturnsWithoutWaitingForTheMainProgram) {
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, EventName().c_str());
    ASSERT_NE(release, nullptr);
    ASSERT_EQ(RunLauncher("wait:" + EventName()), 0u);
    HandOff handOff = WaitForHandOff();
    // The launcher has ended; the main program still holds its mutex.
    HANDLE alive = OpenMutexA(SYNCHRONIZE, FALSE, (EventName() + "-alive").c_str());
    EXPECT_NE(alive, nullptr) << "the main program ended before the launcher returned";
    SetEvent(release);
    if (alive) {
        WaitForSingleObject(alive, 30000);
        CloseHandle(alive);
    }
    CloseHandle(release);
    WaitForMainProgramToEnd();
}

TEST_F(InstallationTest, WritesNothingWithoutAnUpdateFolder) {
    WriteTextFile(DataFolder() + "settings.ini", "keep");
    TreeSnapshot before = SnapshotTree(Root());
    ASSERT_EQ(RunLauncher("page.htm"), 0u);
    WaitForHandOff();
    TreeSnapshot after = SnapshotTree(Root());
    after.erase("Apps\\OrbexData\\handoff.log");
    EXPECT_EQ(after, before);
}

TEST_F(InstallationTest, MissingMainProgramStillEndsWithExitCodeZero) {
    ASSERT_TRUE(DeleteFileA((DataFolder() + "Orbex.exe").c_str()));
    EXPECT_EQ(RunLauncher("page.htm"), 0u);
    RemoveTree(DataFolder());
    ASSERT_FALSE(FolderExists(DataFolder()));
    EXPECT_EQ(RunLauncher("page.htm"), 0u);
    EXPECT_FALSE(FolderExists(DataFolder()));
}

}  // namespace
