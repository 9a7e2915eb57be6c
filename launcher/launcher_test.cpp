// End to end: the built launcher in a fresh installation, started as a user
// would start it, with the sample main program as OrbexData\Orbex.exe.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "testing/installation_fixture.h"
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

namespace {

// Command lines the launcher does not control: it must end with 0 and hand on
// exactly the one argument the rules pick.
TEST_F(InstallationTest, HostileCommandLinesEndCleanly) {
    struct Case {
        std::string arguments;
        std::string forwarded;
    };
    // Near the platform's 32,767 characters, yet with room for the main
    // program's path in front: the shell has to hand it on whole.
    const std::string longArgument(32000, 'x');
    const Case cases[] = {
        {"\"unbalanced quote", "unbalanced quote"},
        {"-a \"\" \t\t/b\tfirst\tsecond", "first"},
        {std::string("ctl\x01\x02\x7f \x1b"), std::string("ctl\x01\x02\x7f")},
        {"trailing lead byte \x81", "trailing"},
        {"\\\\\\\"\\\\\"", "\\\"\\"},
        {longArgument, longArgument},
    };
    size_t starts = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.substr(0, 40));
        ASSERT_EQ(RunLauncher(c.arguments), 0u);
        ++starts;
        std::vector<std::string> arguments = WaitForHandOff(starts).arguments;
        ASSERT_EQ(arguments.size(), 1u);
        // The main program's log writes control characters as \xNN.
        std::string expected;
        for (unsigned char ch : c.forwarded) {
            if (ch < 0x20 || ch == 0x7F) {
                const char* digits = "0123456789ABCDEF";
                expected += std::string("\\x") + digits[ch >> 4] + digits[ch & 15];
            } else {
                expected += static_cast<char>(ch);
            }
        }
        EXPECT_EQ(arguments[0], expected);
    }
}

}  // namespace

namespace {

std::string Repeat(const std::string& text, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i)
        out += text;
    return out;
}

// UTF-16 units of a UTF-8 text, the unit of the platform's path limit.
size_t Utf16Units(const std::string& utf8) {
    return static_cast<size_t>(
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0));
}

// Folder and document names that the system code page (1252, and 932 in the
// second run) cannot spell, handed over as the shell hands them: a UTF-16
// command line. This test program runs in UTF-8 (its manifest), so it can
// spell them; the launcher and the main program meet the system's code page.
// Each row is a fresh installation below Root().
TEST_F(InstallationTest, NamesInAnyScriptArriveIntact) {
    struct Case {
        std::string installFolder;
        std::string document;
    };
    // Under the platform's 260 characters, over 260 bytes in UTF-8.
    const std::string longName = Repeat(u8"中", 70);
    const Case cases[] = {
        {u8"Дмитрий\\Apps\\", u8"C:\\docs\\Дмитрий 文档.htm"},
        {u8"中文\\Apps\\", u8"C:\\docs\\中文.htm"},
        {longName + "\\Apps\\", "C:\\docs\\" + longName + ".htm"},
        // In code page 932 both characters of 表ソ end in byte 0x5C.
        {u8"日本語\\表ソ\\Apps\\", u8"C:\\文書\\表ソ 一覧.htm"},
    };
    const std::string longLauncher = At(longName + "\\Apps\\Orbex.exe");
    ASSERT_GT(longLauncher.size(), 260u);
    ASSERT_LT(Utf16Units(longLauncher), 260u);
    // Set by each ctest entry with the locale it runs under, so that a run
    // that did not get the code page it was meant for fails instead of
    // passing under another one.
    const char* systemCodePage = std::getenv("ORBEX_SYSTEM_CODE_PAGE");
    ASSERT_NE(systemCodePage, nullptr)
        << "ORBEX_SYSTEM_CODE_PAGE must name the system code page of this run (1252 or 932)";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.installFolder);
        Install(c.installFolder);
        ASSERT_EQ(RunLauncher("\"" + c.document + "\" /nosplash"), 0u);
        HandOff handOff = WaitForHandOff();
        EXPECT_EQ(handOff.wideArguments, (std::vector<std::string>{c.document}));
        EXPECT_EQ(handOff.wideWorkingDirectory + "\\", DataFolder());
        EXPECT_EQ(handOff.codePage, systemCodePage);
        WaitForMainProgramToEnd();
    }
}

}  // namespace
