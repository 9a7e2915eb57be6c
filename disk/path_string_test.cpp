// Path splitting, searching and ordering with fixed code pages. No Windows
// header: these also run natively under sanitizers.
#include "disk/path_string.h"

#include <gtest/gtest.h>

namespace {

// Shift-JIS characters whose trail byte is a backslash.
const std::string kHyo = "\x95\x5C";  // 表
const std::string kSo = "\x83\x5C";   // ソ

void ExpectParts(const PathParts& parts, const std::string& drive, const std::string& folder,
                 const std::string& name, const std::string& extension) {
    EXPECT_EQ(parts.drive, drive);
    EXPECT_EQ(parts.folder, folder);
    EXPECT_EQ(parts.name, name);
    EXPECT_EQ(parts.extension, extension);
}

TEST(SplitPath, CutsDriveFolderNameAndExtension) {
    ExpectParts(SplitPath("C:\\dir\\sub\\file.tar.gz", NoLeadBytes), "C:", "\\dir\\sub\\",
                "file.tar", ".gz");
    ExpectParts(SplitPath("C:file.txt", NoLeadBytes), "C:", "", "file", ".txt");
    ExpectParts(SplitPath("x:", NoLeadBytes), "x:", "", "", "");
    // The drive is any first character before a colon.
    ExpectParts(SplitPath("1:\\a", NoLeadBytes), "1:", "\\", "a", "");
    ExpectParts(SplitPath("dir/sub\\name", NoLeadBytes), "", "dir/sub\\", "name", "");
    ExpectParts(SplitPath("\\\\server\\share\\", NoLeadBytes), "", "\\\\server\\share\\", "", "");
    ExpectParts(SplitPath("", NoLeadBytes), "", "", "", "");
}

TEST(SplitPath, TakesOnlyADotAfterTheFolderAsExtension) {
    ExpectParts(SplitPath("C:\\v1.2\\readme", NoLeadBytes), "C:", "\\v1.2\\", "readme", "");
    ExpectParts(SplitPath(".profile", NoLeadBytes), "", "", "", ".profile");
    ExpectParts(SplitPath("..\\x", NoLeadBytes), "", "..\\", "x", "");
    ExpectParts(SplitPath("name.", NoLeadBytes), "", "", "name", ".");
}

TEST(SplitPath, KeepsLongPartsWhole) {
    std::string folder = "\\" + std::string(300, 'f') + "\\";
    std::string name(300, 'n');
    ExpectParts(SplitPath("C:" + folder + name + ".txt", NoLeadBytes), "C:", folder, name, ".txt");
}

TEST(SplitPath, NeverTakesATrailByteForABackslash) {
    ExpectParts(SplitPath("C:\\" + kHyo + "\\" + kSo + ".txt", CodePage932LeadByte), "C:",
                "\\" + kHyo + "\\", kSo, ".txt");
    ExpectParts(SplitPath("C:\\a" + kHyo, CodePage932LeadByte), "C:", "\\", "a" + kHyo, "");
    // In a single-byte code page the same byte is a separator.
    ExpectParts(SplitPath("C:\\a" + kHyo, NoLeadBytes), "C:", "\\a\x95\\", "", "");
}

TEST(SplitPath, TakesALeadByteAtTheEndAsACharacter) {
    ExpectParts(SplitPath("C:\\a\x95", CodePage932LeadByte), "C:", "\\", "a\x95", "");
    ExpectParts(SplitPath("\x95", CodePage932LeadByte), "", "", "\x95", "");
    // A double-byte first character followed by a colon is a drive of its own.
    ExpectParts(SplitPath(kHyo + ":x", CodePage932LeadByte), kHyo + ":", "", "x", "");
}

TEST(FindChar, SkipsTrailBytes) {
    EXPECT_EQ(FindChar(kHyo + "\\", '\\', CodePage932LeadByte), 2u);
    EXPECT_EQ(FindChar(kHyo, '\\', CodePage932LeadByte), std::string::npos);
    EXPECT_EQ(FindChar(kHyo, '\\', NoLeadBytes), 1u);
    EXPECT_EQ(FindChar("a\\b\\c", '\\', NoLeadBytes, 2), 3u);
    EXPECT_TRUE(ContainsAnyChar("a:b", ":*?", NoLeadBytes));
    EXPECT_FALSE(ContainsAnyChar(kHyo + "x", ":*?\\", CodePage932LeadByte));
    EXPECT_FALSE(ContainsAnyChar("", ":*?", NoLeadBytes));
}

TEST(CompareCodePage, OrdersByCharacterCode) {
    EXPECT_LT(CompareCodePage("C.txt", "a.txt", NoLeadBytes), 0);
    EXPECT_LT(CompareCodePage("a", "ab", NoLeadBytes), 0);
    EXPECT_GT(CompareCodePage("ab", "a", NoLeadBytes), 0);
    EXPECT_EQ(CompareCodePage("same", "same", NoLeadBytes), 0);
    // Bytes compare unsigned: 0xE9 (e acute in 1252) after 'z'.
    EXPECT_GT(CompareCodePage("\xE9", "z", NoLeadBytes), 0);
}

TEST(CompareCodePage, CountsADoubleByteCharacterAsOneCode) {
    // 0x889F (亜) against 0xB1 (half-width ｱ, a single byte): by code the
    // double-byte character is greater, although its first byte is smaller.
    EXPECT_GT(CompareCodePage("\x88\x9F", "\xB1", CodePage932LeadByte), 0);
    EXPECT_LT(CompareCodePage("\x88\x9F", "\xB1", NoLeadBytes), 0);
    EXPECT_LT(CompareCodePage("\x88\x9F", "\x88\xA0", CodePage932LeadByte), 0);
    // A lone lead byte at the end is a character of its own.
    EXPECT_LT(CompareCodePage("\x88", "\x88\x9F", CodePage932LeadByte), 0);
}

TEST(InsertSorted, SortsNewNamesAndMergesThemIntoTheList) {
    StringList list;
    InsertSorted(list, {"b.txt", "C.txt", "a.txt"}, NoLeadBytes);
    EXPECT_EQ(list, (StringList{"C.txt", "a.txt", "b.txt"}));

    StringList existing{"a", "m", "m", "z"};
    InsertSorted(existing, {"m", "b", "m", "zz", "A"}, NoLeadBytes);
    EXPECT_EQ(existing, (StringList{"A", "a", "b", "m", "m", "m", "m", "z", "zz"}));
}

TEST(InsertSorted, OrdersManyNamesLikeALinearInsertion) {
    StringList names;
    for (unsigned i = 0; i < 2000; ++i)
        names.push_back(std::to_string((i * 7919u) % 1000u));  // each text twice
    StringList expected;
    for (const std::string& name : names) {
        auto it = expected.begin();
        while (it != expected.end() && CompareCodePage(*it, name, NoLeadBytes) <= 0)
            ++it;
        expected.insert(it, name);
    }
    StringList list;
    InsertSorted(list, names, NoLeadBytes);
    EXPECT_EQ(list, expected);
}

TEST(SplitFolderLevels, CutsLocalAndNetworkFolders) {
    FolderLevels local = SplitFolderLevels("C:", "\\a\\b\\c\\", NoLeadBytes);
    EXPECT_EQ(local.root, "C:");
    EXPECT_EQ(local.levels, (StringList{"a", "b", "c"}));

    FolderLevels root = SplitFolderLevels("C:", "\\", NoLeadBytes);
    EXPECT_EQ(root.root, "C:");
    EXPECT_TRUE(root.levels.empty());

    FolderLevels network = SplitFolderLevels("", "\\\\server\\share\\dir\\", NoLeadBytes);
    EXPECT_EQ(network.root, "\\\\server");
    EXPECT_EQ(network.levels, (StringList{"share", "dir"}));

    FolderLevels serverOnly = SplitFolderLevels("", "\\\\server", NoLeadBytes);
    EXPECT_EQ(serverOnly.root, "");
    EXPECT_EQ(serverOnly.levels, (StringList{"server"}));
}

TEST(SplitFolderLevels, KeepsEmptyLevelsAndDoubleByteNames) {
    FolderLevels doubled = SplitFolderLevels("C:", "\\a\\\\b\\", NoLeadBytes);
    EXPECT_EQ(doubled.root, "C:");
    EXPECT_EQ(doubled.levels, (StringList{"a", "", "b"}));

    FolderLevels dbcs = SplitFolderLevels("C:", "\\" + kHyo + "\\" + kSo + "\\",
                                          CodePage932LeadByte);
    EXPECT_EQ(dbcs.levels, (StringList{kHyo, kSo}));
}

}  // namespace
