// CDiskObject with double-byte names in code page 932 (registered with a
// Japanese locale, which gives that code page under Wine).
#include <windows.h>

#include "base/current_directory.h"
#include "disk/disk_object.h"
#include "testing/test_folder.h"

namespace {

// Shift-JIS characters whose trail byte is 0x5C, the backslash.
const std::string kHyo = "\x95\x5C";  // 表
const std::string kSo = "\x83\x5C";   // ソ

// Removes a tree, writing no path with a trailing backslash, so a folder
// named 表 (ending in byte 0x5C) is cleaned up whatever this code page.
void RemoveDoubleByteTree(const std::string& folder) {
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = entry.cFileName;
            const std::string path = folder + "\\" + name;
            if (name == "." || name == "..")
                continue;
            SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveDoubleByteTree(path);
            else
                DeleteFileA(path.c_str());
        } while (FindNextFileA(search, &entry));
        FindClose(search);
    }
    RemoveDirectoryA(folder.c_str());
}

class DoubleByteTest : public TempFolderTest {
protected:
    void SetUp() override {
        // A fatal failure, not a skip: a run without the code page would
        // otherwise count as passed.
        if (GetACP() != 932)
            FAIL() << "needs ANSI code page 932 (LANG and LC_ALL ja_JP.UTF-8 under Wine), have "
                   << GetACP();
        TempFolderTest::SetUp();
    }
    void TearDown() override {
        if (!Root().empty()) {
            SetCurrentDirectoryA(TestProgramFolder().c_str());
            RemoveDoubleByteTree(Root().substr(0, Root().size() - 1));
        }
        TempFolderTest::TearDown();
    }
};

TEST_F(DoubleByteTest, FolderEndingInTrailByte5CGetsItsBackslash) {
    CDiskObject disk;
    std::string path = At(kHyo);
    EXPECT_TRUE(disk.NormalizeFolderPath(path));
    EXPECT_EQ(path, At(kHyo + "\\"));

    MakeFolders(At(kHyo));
    WriteTextFile(At(kHyo + "\\" + kSo + ".txt"), "so");
    StringList names;
    EXPECT_TRUE(disk.ListFolderFiles(At(kHyo), names, true));
    EXPECT_EQ(names, (StringList{At(kHyo + "\\" + kSo + ".txt")}));
    EXPECT_TRUE(disk.IsExistingFolder(At(kHyo)));
}

TEST_F(DoubleByteTest, FileNameWithTrailByte5CSplitsAsOneName) {
    CDiskObject disk;
    std::string path = At(kSo + "x.txt");
    EXPECT_TRUE(disk.NormalizeFilePath(path));
    EXPECT_EQ(path, At(kSo + "x.txt"));
    ASSERT_TRUE(SetCurrentDirectoryA(Root().c_str()));
    path = kHyo + "/" + kSo;
    EXPECT_TRUE(disk.NormalizeFolderPath(path));
    EXPECT_EQ(path, At(kHyo + "\\" + kSo + "\\"));
}

TEST_F(DoubleByteTest, SortsADoubleByteCharacterByItsWholeCode) {
    // 亜 (0x889F) after half-width ｱ (0xB1), although 0x88 < 0xB1 bytewise.
    for (const std::string& name : {std::string("\x88\x9F.txt"), std::string("\xB1.txt"),
                                     std::string("a.txt"), kSo + ".txt"})
        WriteTextFile(At("d\\" + name), name);
    CDiskObject disk;
    StringList names;
    EXPECT_TRUE(disk.ListFolderFiles(At("d"), names, false));
    EXPECT_EQ(names, (StringList{"a.txt", "\xB1.txt", kSo + ".txt", "\x88\x9F.txt"}));
}

TEST_F(DoubleByteTest, CopiesAndDeletesATreeOfDoubleByteFolders) {
    WriteTextFile(At("src\\" + kHyo + "\\" + kSo + "\\f.txt"), "f");
    WriteTextFile(At("src\\" + kHyo + "\\g.txt"), "g");
    CDiskObject disk;
    StringList relative;
    EXPECT_TRUE(disk.ListFolderTree(At("src"), relative, false));
    EXPECT_EQ(relative, (StringList{kHyo, kHyo + "\\" + kSo}));

    EXPECT_TRUE(disk.CopyFolderTree(At("src"), At("dst"))) << disk.GetErrorText();
    EXPECT_EQ(SnapshotTree(At("dst")), SnapshotTree(At("src")));
    EXPECT_TRUE(disk.DeleteFolderTree(At("src"))) << disk.GetErrorText();
    EXPECT_FALSE(FolderExists(At("src")));
    EXPECT_TRUE(disk.MakeFolderPath(At("made\\" + kHyo + "\\" + kSo)));
    EXPECT_TRUE(FolderExists(At("made\\" + kHyo + "\\" + kSo)));
}

// 120 double-byte characters below the test's folder: a folder part over the
// 255 bytes the path splitter holds, far under the platform's 260
// characters, is created; and a current directory of over 260 bytes is saved
// and restored whole.
TEST_F(DoubleByteTest, LongDoubleBytePathsCountAsThePlatformCounts) {
    std::string deep = Root();
    for (int i = 0; i < 120; ++i)
        deep += "\x82\xA0";  // あ
    CDiskObject disk;
    EXPECT_TRUE(disk.MakeFolderPath(deep + "\\sub")) << disk.GetErrorText();
    EXPECT_TRUE(FolderExists(deep + "\\sub"));

    ASSERT_TRUE(SetCurrentDirectoryA(deep.c_str()));
    ASSERT_EQ(CurrentDirectory(), deep);
    ASSERT_GT(deep.size(), 260u);
    EXPECT_TRUE(disk.MakeFolderPath(At("other\\level"))) << disk.GetErrorText();
    EXPECT_TRUE(FolderExists(At("other\\level")));
    EXPECT_EQ(CurrentDirectory(), deep);
}

}  // namespace
