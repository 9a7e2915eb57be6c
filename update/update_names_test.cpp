// Which paths a list read from disk may name, and the list files' text form.
// No Windows header: these also run natively under sanitizers.
#include "update/list_file.h"
#include "update/update_names.h"

#include <gtest/gtest.h>

namespace {

TEST(InstallationPath, AcceptsOnlyPlainPathsInsideTheInstallation) {
    const struct {
        const char* path;
        bool accepted;
    } cases[] = {
        {"Orbex.exe", true},
        {"res\\skin.dat", true},
        {"res\\lang\\", true},                        // a folder
        {u8"Дмитрий\\文档 二.txt", true},
        {"updates\\a.txt", true},                     // only the machinery's own names are kept
        {"res\\update.version", true},                // below the top they are ordinary
        {"", false},
        {"\\", false},
        {"..\\outside.txt", false},
        {"res\\..\\..\\outside.txt", false},
        {".\\a.txt", false},
        {"C:\\Windows\\a.dll", false},
        {"C:a.dll", false},
        {"\\Windows\\a.dll", false},
        {"\\\\server\\share\\a.dll", false},
        {"res\\\\skin.dat", false},                   // an empty name
        {"res\\skin.dat\\\\", false},
        {"res/skin.dat", false},
        {"a.txt:stream", false},
        {"a?.txt", false},
        {"a|b", false},
        {"a\x01.txt", false},
        {"Orbex.exe.", false},                        // the platform drops the dot: Orbex.exe
        {"Orbex.exe ", false},
        {"update", false},
        {"UPDATE\\Orbex.exe", false},
        {"update.version", false},
        {"Update.Journal", false},
        {"update.backup\\Orbex.exe", false},
        {"UPDATE~1.JOU", false},                      // a short name of update.journal
        {"CON", false},
        {"res\\nul.txt", false},
        {"lpt1", false},
        {"COM9.log", false},
        {"COM0.log", true},
        {"console.txt", true},
        {"\xC3\x28.txt", false},                      // malformed UTF-8
        {"\xC0\xAF.txt", false},                      // an overlong '/'
        {"\xED\xA0\x80.txt", false},                  // a UTF-16 surrogate
        {"\xF4\x90\x80\x80.txt", false},              // beyond U+10FFFF
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsInstallationPath(c.path), c.accepted) << c.path;
}

TEST(ListFile, ReadsBackWhatItWroteAndRefusesAFileCutShort) {
    const StringList records = {"end", "res\\skin.dat", "", "*end-not"};
    const std::string text = FormatListFile("Orbex version list 1", records);
    StringList read, after;
    ASSERT_TRUE(ParseListFile(text, "Orbex version list 1", read, after));
    EXPECT_EQ(read, records);
    EXPECT_TRUE(after.empty());

    ASSERT_TRUE(ParseListFile(text + "commit\r\n", "Orbex version list 1", read, after));
    EXPECT_EQ(after, StringList{"commit"});
    // Line feeds alone, as an editor might leave them.
    ASSERT_TRUE(ParseListFile("Orbex version list 1\na.txt\n*end\n", "Orbex version list 1", read,
                              after));
    EXPECT_EQ(read, StringList{"a.txt"});

    for (size_t cut = 0; cut < text.size(); ++cut) {
        EXPECT_FALSE(ParseListFile(text.substr(0, cut), "Orbex version list 1", read, after))
            << "cut after " << cut << " bytes";
    }
    EXPECT_FALSE(ParseListFile(text, "Orbex version list 2", read, after));
    EXPECT_FALSE(ParseListFile("", "Orbex version list 1", read, after));
}

}  // namespace
