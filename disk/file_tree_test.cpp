// Tree deletion and folder creation without the current directory: what
// the stager and the apply step delete never reaches behind a link, and a
// failure names the path it stopped at.
#include "disk/file_tree.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "testing/test_folder.h"

namespace {

using FileTreeTest = TempFolderTest;

// Wine shows a Unix symbolic link to a folder as a folder reparse point
// without a tag; the tree walk counts that as a link. An empty target
// matters: Wine's RemoveDirectoryA on a link to an empty folder removes the
// target and keeps the link.
TEST_F(FileTreeTest, RemoveFolderTreeNeverReachesBehindALink) {
    const struct {
        const char* name;
        const char* link;    // made inside Root()
        const char* remove;  // the folder given to RemoveFolderTree
        bool emptyTarget;
        DWORD code;          // 0: RemoveDirectoryA's error for the link's holder
        const char* failedPath;
    } rows[] = {
        {"link inside the tree", "tree\\sub\\link", "tree\\", false, 0, "tree\\sub\\"},
        {"the folder is a link", "lnk", "lnk\\", false, ERROR_CANT_ACCESS_FILE, "lnk\\"},
        {"the folder is a link to an empty folder", "lnk", "lnk\\", true, ERROR_CANT_ACCESS_FILE,
         "lnk\\"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        MakeFolders(At("outside"));
        if (!row.emptyTarget)
            WriteTextFile(At("outside\\inner\\deep.txt"), "deep");
        WriteTextFile(At("tree\\sub\\mine.txt"), "mine");
        const TreeSnapshot outside = SnapshotTree(At("outside"));
        if (!RunningUnderWine() || !MakeUnixFolderLink(At("outside"), At(row.link)))
            GTEST_SKIP() << "folder links are made from the Unix side under Wine only";

        PathError error;
        EXPECT_FALSE(RemoveFolderTree(At(row.remove), &error));
        DWORD code = row.code;
        if (!code) {
            RemoveDirectoryA(At(row.failedPath).c_str());
            code = GetLastError();
        }
        EXPECT_EQ(error.code, code);
        EXPECT_EQ(error.path, At(row.failedPath));
        EXPECT_EQ(SnapshotTree(At("outside")), outside);
        EXPECT_TRUE(GetFileAttributesA(At(row.link).c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
        RemoveUnixLink(At(row.link));
        RemoveTree(At("tree"));
        RemoveTree(At("outside"));
    }
}

TEST_F(FileTreeTest, FailuresNameThePathTheyStoppedAt) {
    WriteTextFile(At("a\\file"), "in the way");
    PathError error;
    EXPECT_FALSE(CreateFolderPath(At("a\\file\\b\\c\\"), &error));
    EXPECT_EQ(error.code, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(error.path, At("a\\file"));
    EXPECT_TRUE(CreateFolderPath(At("a\\new\\b\\c\\")));
    EXPECT_TRUE(FolderExists(At("a\\new\\b\\c")));

    SetReadOnly(At("a\\file"), true);
    EXPECT_FALSE(RemoveFolderTree(At("a\\"), &error));
    EXPECT_EQ(error.code, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(error.path, At("a\\file"));
    EXPECT_TRUE(FileExists(At("a\\file")));
}

}  // namespace
