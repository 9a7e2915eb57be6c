// CDiskObject on real folder trees under %TEMP%. Error texts are compared with
// what FormatMessageA gives for the code (Wine's texts are not Windows's).
#include "disk/disk_object.h"

#include <windows.h>

#include <algorithm>

#include "base/current_directory.h"
#include "disk/tree_walk.h"
#include "testing/test_folder.h"

namespace {

const char kInternalError[] = "CDiskObject internal error - check call parameters";

// The error code a platform call gives now for the same request, so that a
// test can expect the system's text for it without guessing the code.
DWORD SearchError(const std::string& pattern) {
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA(pattern.c_str(), &entry);
    DWORD code = GetLastError();
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
        return 0;
    }
    return code;
}

// Holds a file open without sharing, as a running program holds its image.
class OpenFile {
public:
    explicit OpenFile(const std::string& path)
        : handle_(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~OpenFile() {
        if (handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

// Removes a folder link when the test ends, before the fixture's cleanup,
// which can remove a link only while its target still exists.
class UnixLink {
public:
    UnixLink(const std::string& target, const std::string& link)
        : link_(link), made_(MakeUnixFolderLink(target, link)) {}
    ~UnixLink() {
        if (made_)
            RemoveUnixLink(link_);
    }
    UnixLink(const UnixLink&) = delete;
    UnixLink& operator=(const UnixLink&) = delete;
    bool Made() const { return made_; }

private:
    std::string link_;
    bool made_;
};

using NormalizeTest = TempFolderTest;
using FolderTest = TempFolderTest;
using ListFilesTest = TempFolderTest;
using ListTreeTest = TempFolderTest;
using MakeFolderTest = TempFolderTest;
using CopyTest = TempFolderTest;
using DeleteTest = TempFolderTest;

// --- error text --------------------------------------------------------------

TEST(ErrorTextTest, SystemErrorIsTrimmedSystemTextSpaceAndDetail) {
    CDiskObject disk;
    disk.SetSystemError(ERROR_FILE_NOT_FOUND, "C:\\x\\*.*");
    EXPECT_EQ(disk.GetErrorText(), SystemMessage(ERROR_FILE_NOT_FOUND) + " C:\\x\\*.*");
    disk.SetSystemError(ERROR_FILE_NOT_FOUND, "");
    EXPECT_EQ(disk.GetErrorText(), SystemMessage(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(disk.GetErrorText().empty());

    disk.ClearError();
    EXPECT_EQ(disk.GetErrorText(), "");
    disk.SetInternalError();
    EXPECT_EQ(disk.GetErrorText(), kInternalError);
}

TEST(ErrorTextTest, CodeWithoutSystemTextGivesDetailAlone) {
    CDiskObject disk;
    const DWORD unknown = 0x2000BEEF;  // customer bit set: no system message
    ASSERT_EQ(SystemMessage(unknown), "");
    disk.SetSystemError(unknown, "C:\\x");
    EXPECT_EQ(disk.GetErrorText(), " C:\\x");
    disk.SetSystemError(unknown, "");
    EXPECT_EQ(disk.GetErrorText(), "");
}

TEST(ErrorTextTest, InsertSequencesStayAsTheyStand) {
    // ERROR_BAD_EXE_FORMAT reads "%1 is not a valid ..." on Windows and Wine.
    const std::string expected = SystemMessage(ERROR_BAD_EXE_FORMAT);
    if (expected.find("%1") == std::string::npos)
        GTEST_SKIP() << "this system's text for code 193 has no insert: " << expected;
    CDiskObject disk;
    disk.SetSystemError(ERROR_BAD_EXE_FORMAT, "app.exe");
    EXPECT_EQ(disk.GetErrorText(), expected + " app.exe");
}

// --- normalisation -----------------------------------------------------------

TEST(NormalizeFolderPathTest, TurnsSlashesAndAddsTheTrailingBackslash) {
    CDiskObject disk;
    std::string path = "C:/Data/sub";
    EXPECT_TRUE(disk.NormalizeFolderPath(path));
    EXPECT_EQ(path, "C:\\Data\\sub\\");
    path = "C:\\Data\\";
    EXPECT_TRUE(disk.NormalizeFolderPath(path));
    EXPECT_EQ(path, "C:\\Data\\");
}

TEST(NormalizeFolderPathTest, AcceptsNetworkPathsUnchecked) {
    CDiskObject disk;
    std::string path = "//server/sh*re";
    EXPECT_TRUE(disk.NormalizeFolderPath(path));
    EXPECT_EQ(path, "\\\\server\\sh*re\\");
    EXPECT_EQ(disk.GetErrorText(), "");
}

TEST(NormalizeFolderPathTest, RejectsWildcardsAndColonsInAnyPart) {
    for (const char* bad : {"C:\\a*b\\", "C:\\dir?\\x", "C:\\a:b\\", "rel\\x*"}) {
        CDiskObject disk;
        std::string path = bad;
        EXPECT_FALSE(disk.NormalizeFolderPath(path)) << bad;
        EXPECT_EQ(disk.GetErrorText(), kInternalError) << bad;
    }
    CDiskObject disk;
    std::string file = "C:\\dir\\na:me.txt";
    EXPECT_FALSE(disk.NormalizeFilePath(file));
    EXPECT_EQ(disk.GetErrorText(), kInternalError);
    file = "C:\\dir\\name.t?t";
    EXPECT_FALSE(disk.NormalizeFilePath(file));
    // Characters the platform refuses but this test lets through.
    file = "C:\\d<i>r\\a|b\".txt";
    EXPECT_TRUE(disk.NormalizeFilePath(file));
}

TEST_F(NormalizeTest, ClimbsLeadingParentFoldersAndRestoresTheCurrentDirectory) {
    MakeFolders(At("work\\proj"));
    ASSERT_TRUE(SetCurrentDirectoryA(At("work\\proj").c_str()));
    const std::string before = CurrentDirectory();
    CDiskObject disk;
    std::string path = "..\\lib";
    EXPECT_TRUE(disk.NormalizeFolderPath(path));
    EXPECT_EQ(path, At("work\\lib\\"));
    EXPECT_EQ(CurrentDirectory(), before);

    path = "../../x/a.txt";
    EXPECT_TRUE(disk.NormalizeFilePath(path));
    EXPECT_EQ(path, At("x\\a.txt"));
    EXPECT_EQ(CurrentDirectory(), before);
}

TEST_F(NormalizeTest, ParentFoldersStopAtTheDriveRoot) {
    const std::string drive = Root().substr(0, 2);
    ASSERT_TRUE(SetCurrentDirectoryA((drive + "\\").c_str()));
    CDiskObject disk;
    std::string path = "..\\..\\x";
    EXPECT_TRUE(disk.NormalizeFolderPath(path));
    EXPECT_EQ(path, drive + "\\x\\");
}

TEST_F(NormalizeTest, CompletesRootedAndRelativePathsFromTheCurrentDirectory) {
    MakeFolders(At("work"));
    ASSERT_TRUE(SetCurrentDirectoryA(At("work").c_str()));
    const std::string drive = Root().substr(0, 2);
    CDiskObject disk;
    std::string path = "\\tmp\\a.txt";
    EXPECT_TRUE(disk.NormalizeFilePath(path));
    EXPECT_EQ(path, drive + "\\tmp\\a.txt");

    path = "";
    EXPECT_TRUE(disk.NormalizeFolderPath(path));
    EXPECT_EQ(path, At("work\\"));

    path = "sub/a.txt";
    EXPECT_TRUE(disk.NormalizeFilePath(path));
    EXPECT_EQ(path, At("work\\sub\\a.txt"));

    // A drive-relative path keeps its form.
    path = drive + "name.txt";
    EXPECT_TRUE(disk.NormalizeFilePath(path));
    EXPECT_EQ(path, drive + "name.txt");
}

TEST_F(NormalizeTest, DriveRootCurrentDirectoryGivesASingleBackslash) {
    const std::string root = Root().substr(0, 3);
    ASSERT_TRUE(SetCurrentDirectoryA(root.c_str()));
    ASSERT_EQ(CurrentDirectory(), root);  // a drive root reads with its backslash
    CDiskObject disk;
    std::string path;
    EXPECT_TRUE(disk.NormalizeFolderPath(path));
    EXPECT_EQ(path, root);
    path = "x\\y";
    EXPECT_TRUE(disk.NormalizeFolderPath(path));
    EXPECT_EQ(path, root + "x\\y\\");
}

// --- folder test -------------------------------------------------------------

TEST_F(FolderTest, ExistingFolderIsAnAnswerNotAnError) {
    MakeFolders(At("here"));
    WriteTextFile(At("file.txt"), "x");
    const std::string before = CurrentDirectory();
    CDiskObject disk;
    EXPECT_TRUE(disk.IsExistingFolder(At("here")));
    EXPECT_TRUE(disk.IsExistingFolder(At("here/")));
    EXPECT_FALSE(disk.IsExistingFolder(At("missing")));
    EXPECT_EQ(disk.GetErrorText(), "");
    EXPECT_FALSE(disk.IsExistingFolder(At("file.txt")));
    EXPECT_EQ(disk.GetErrorText(), "");
    EXPECT_EQ(CurrentDirectory(), before);

    EXPECT_FALSE(disk.IsExistingFolder(""));
    EXPECT_EQ(disk.GetErrorText(), kInternalError);
    EXPECT_FALSE(disk.IsExistingFolder(At("a*")));
    EXPECT_EQ(disk.GetErrorText(), kInternalError);
}

// --- file listing --------------------------------------------------------------

TEST_F(ListFilesTest, ListsFilesOnlySortedByCharacterCode) {
    for (const char* name : {"b.txt", "C.txt", "a.txt", "noext", "_u", "hidden.txt"})
        WriteTextFile(At("d\\") + name, name);
    MakeFolders(At("d\\sub"));
    ASSERT_TRUE(SetFileAttributesA(At("d\\hidden.txt").c_str(),
                                   FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    SetReadOnly(At("d\\a.txt"), true);

    CDiskObject disk;
    StringList names;
    EXPECT_TRUE(disk.ListFolderFiles(At("d"), names, false));
    EXPECT_EQ(names, (StringList{"C.txt", "_u", "a.txt", "b.txt", "hidden.txt", "noext"}));
    EXPECT_EQ(disk.GetErrorText(), "");

    StringList paths;
    std::string slashed = At("d");
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    EXPECT_TRUE(disk.ListFolderFiles(slashed, paths, true));
    ASSERT_EQ(paths.size(), 6u);
    EXPECT_EQ(paths[0], At("d\\C.txt"));
    EXPECT_EQ(paths[5], At("d\\noext"));
}

TEST_F(ListFilesTest, MatchesAPattern) {
    for (const char* name : {"b.txt", "a.dat", "A.txt"})
        WriteTextFile(At(name), name);
    CDiskObject disk;
    StringList names;
    EXPECT_TRUE(disk.ListFolderFilesMatching("*.txt", Root(), names, false));
    EXPECT_EQ(names, (StringList{"A.txt", "b.txt"}));
}

TEST_F(ListFilesTest, MissingOrEmptyFolderListsAsEmpty) {
    MakeFolders(At("empty"));
    CDiskObject disk;
    StringList names;
    EXPECT_TRUE(disk.ListFolderFiles(At("missing"), names, false));
    EXPECT_TRUE(disk.ListFolderFiles(At("empty"), names, true));
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(disk.GetErrorText(), "");
}

TEST_F(ListFilesTest, NothingMatchingIsASearchFailure) {
    WriteTextFile(At("a.txt"), "a");
    const DWORD code = SearchError(Root() + "*.none");
    ASSERT_NE(code, 0u);
    CDiskObject disk;
    StringList names;
    EXPECT_FALSE(disk.ListFolderFilesMatching("*.none", Root(), names, false));
    EXPECT_EQ(disk.GetErrorText(), SystemMessage(code) + " " + Root() + "*.none");
    EXPECT_TRUE(names.empty());
}

// --- tree listing --------------------------------------------------------------

TEST_F(ListTreeTest, ListsSubfoldersInPreOrder) {
    MakeFolders(At("d\\x\\y"));
    MakeFolders(At("d\\z"));
    WriteTextFile(At("d\\x\\file.txt"), "f");

    CDiskObject disk;
    StringList full;
    EXPECT_TRUE(disk.ListFolderTree(At("d"), full, true));
    const StringList xFirst{At("d\\x\\"), At("d\\x\\y\\"), At("d\\z\\")};
    const StringList zFirst{At("d\\z\\"), At("d\\x\\"), At("d\\x\\y\\")};
    EXPECT_TRUE(full == xFirst || full == zFirst) << ::testing::PrintToString(full);

    StringList names;
    EXPECT_TRUE(disk.ListFolderTree(At("d"), names, false));
    EXPECT_TRUE(names == (StringList{"x", "x\\y", "z"}) || names == (StringList{"z", "x", "x\\y"}))
        << ::testing::PrintToString(names);
}

TEST_F(ListTreeTest, AppendsAfterWhatTheListHolds) {
    MakeFolders(At("d\\x"));
    CDiskObject disk;
    StringList full{At("d\\")};
    EXPECT_TRUE(disk.ListFolderTree(At("d"), full, true));
    EXPECT_EQ(full, (StringList{At("d\\"), At("d\\x\\")}));

    // Names-only mode rewrites the elements that were there before too.
    StringList names{At("d\\"), At("d\\old\\"), "short"};
    EXPECT_TRUE(disk.ListFolderTree(At("d"), names, false));
    EXPECT_EQ(names, (StringList{"", "old", "", "x"}));
}

TEST_F(ListTreeTest, FolderWithoutSubfoldersAddsNothing) {
    WriteTextFile(At("d\\a.txt"), "a");
    CDiskObject disk;
    StringList list;
    EXPECT_TRUE(disk.ListFolderTree(At("d"), list, true));
    EXPECT_TRUE(list.empty());
}

TEST_F(ListTreeTest, FileOrMissingFolderCannotBeSearched) {
    WriteTextFile(At("file.txt"), "f");
    for (const char* name : {"file.txt", "missing"}) {
        const std::string pattern = At(name) + "\\*.*";
        const DWORD code = SearchError(pattern);
        ASSERT_NE(code, 0u);
        CDiskObject disk;
        StringList list;
        EXPECT_FALSE(disk.ListFolderTree(At(name), list, true));
        EXPECT_EQ(disk.GetErrorText(), SystemMessage(code) + " " + pattern);
        EXPECT_TRUE(list.empty());
    }
}

TEST_F(ListTreeTest, NeverListsNorEntersAFolderLink) {
    MakeFolders(At("outside\\inner"));
    WriteTextFile(At("outside\\keep.txt"), "keep");
    MakeFolders(At("tree\\sub"));
    UnixLink link(At("outside"), At("tree\\sub\\link"));
    if (!link.Made())
        GTEST_SKIP() << "folder links are made from the Unix side under Wine only";
    // Wine shows the Unix symbolic link as a directory reparse point (0x410).
    ASSERT_TRUE(GetFileAttributesA(At("tree\\sub\\link").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);

    CDiskObject disk;
    StringList list;
    EXPECT_TRUE(disk.ListFolderTree(At("tree"), list, true));
    EXPECT_EQ(list, (StringList{At("tree\\sub\\")}));
}

// --- creating folders ------------------------------------------------------------

TEST_F(MakeFolderTest, CreatesMissingLevelsAndRestoresTheCurrentDirectory) {
    MakeFolders(At("a"));
    WriteTextFile(At("a\\keep.txt"), "keep");
    const std::string before = CurrentDirectory();
    CDiskObject disk;
    EXPECT_TRUE(disk.MakeFolderPath(At("a\\b\\c")));
    EXPECT_TRUE(FolderExists(At("a\\b\\c")));
    EXPECT_EQ(ReadTextFile(At("a\\keep.txt")), "keep");
    EXPECT_EQ(CurrentDirectory(), before);
    EXPECT_EQ(disk.GetErrorText(), "");

    EXPECT_TRUE(disk.MakeFolderPath(At("a/b/c/")));  // already there
    EXPECT_TRUE(disk.MakeFolderPath(Root().substr(0, 3)));
}

TEST_F(MakeFolderTest, LevelThatIsAFileFailsWithTheWholePath) {
    WriteTextFile(At("a\\file"), "f");
    const std::string whole = At("a\\file\\c");
    CDiskObject disk;
    EXPECT_FALSE(disk.MakeFolderPath(whole + "\\"));
    SetCurrentDirectoryA(whole.c_str());
    const DWORD code = GetLastError();
    EXPECT_EQ(disk.GetErrorText(), SystemMessage(code) + " " + whole);
    EXPECT_TRUE(FileExists(At("a\\file")));
}

TEST_F(MakeFolderTest, RelativeFolderWorksFromADriveRoot) {
    // Root() without its drive, made relative to the drive root.
    const std::string root = Root().substr(0, 3);
    ASSERT_TRUE(SetCurrentDirectoryA(root.c_str()));
    CDiskObject disk;
    EXPECT_TRUE(disk.MakeFolderPath(Root().substr(3) + "rel\\deep")) << disk.GetErrorText();
    EXPECT_TRUE(FolderExists(At("rel\\deep")));
    EXPECT_EQ(CurrentDirectory(), root);
}

TEST_F(MakeFolderTest, FolderPartOver255BytesIsRefusedWhole) {
    std::string path = Root();
    while (path.size() < 2 + 256)
        path += "level" + std::to_string(path.size()) + "\\";
    CDiskObject disk;
    EXPECT_FALSE(disk.MakeFolderPath(path));
    EXPECT_EQ(disk.GetErrorText(), SystemMessage(ERROR_FILENAME_EXCED_RANGE) + " " + path);
    // Not even the first new level was created.
    EXPECT_EQ(SnapshotTree(Root()), TreeSnapshot());
}

// A current directory that the code page cannot spell reads through
// GetCurrentDirectoryA with '?' in place of those characters, a name that
// cannot be entered again. An operation that would have to leave it fails
// before it does, and the process stays where it was.
TEST_F(MakeFolderTest, CurrentDirectoryThatCannotBeSavedIsNeverLeft) {
    const std::wstring here =
        std::wstring(Root().begin(), Root().end()) + L"\u0414\u043c\u0438\u0442\u0440\u0438\u0439";
    BOOL lossy = FALSE;
    WideCharToMultiByte(CP_ACP, 0, here.c_str(), -1, nullptr, 0, nullptr, &lossy);
    if (!lossy)
        GTEST_SKIP() << "the system code page " << GetACP() << " spells Cyrillic names";
    ASSERT_TRUE(CreateDirectoryW(here.c_str(), nullptr));
    ASSERT_TRUE(SetCurrentDirectoryW(here.c_str()));
    const std::string asRead = CurrentDirectory();
    SetCurrentDirectoryA(asRead.c_str());
    const std::string expected = SystemMessage(GetLastError()) + " " + asRead;

    CDiskObject disk;
    EXPECT_FALSE(disk.MakeFolderPath(At("made\\deeper")));
    EXPECT_EQ(disk.GetErrorText(), expected);
    EXPECT_FALSE(FolderExists(At("made")));
    EXPECT_FALSE(disk.IsExistingFolder(Root()));
    EXPECT_EQ(disk.GetErrorText(), expected);
    StringList names;
    EXPECT_FALSE(disk.ListFolderFiles(Root(), names, false));
    EXPECT_EQ(disk.GetErrorText(), expected);
    std::string climbing = "..\\x.txt";
    EXPECT_FALSE(disk.NormalizeFilePath(climbing));
    EXPECT_EQ(disk.GetErrorText(), expected);

    wchar_t current[MAX_PATH] = L"";
    GetCurrentDirectoryW(MAX_PATH, current);
    EXPECT_EQ(std::wstring(current), here);
    // The fixture's clean-up works by narrow names; this one it cannot spell.
    SetCurrentDirectoryA(Root().c_str());
    RemoveDirectoryW(here.c_str());
}

TEST(MakeFolderPathTest, RefusesEmptyAndInvalidPaths) {
    CDiskObject disk;
    EXPECT_FALSE(disk.MakeFolderPath(""));
    EXPECT_EQ(disk.GetErrorText(), kInternalError);
    disk.ClearError();
    EXPECT_FALSE(disk.MakeFolderPath("C:\\a?\\b"));
    EXPECT_EQ(disk.GetErrorText(), kInternalError);
}

// --- copying -----------------------------------------------------------------------

TEST_F(CopyTest, CopyFolderFilesReplacesSameNamesAndLeavesOthers) {
    WriteTextFile(At("src\\a.txt"), "new a");
    WriteTextFile(At("src\\b.txt"), "new b");
    WriteTextFile(At("src\\sub\\deep.txt"), "deep");
    WriteTextFile(At("dst\\a.txt"), "old a");
    WriteTextFile(At("dst\\only.txt"), "only");
    CDiskObject disk;
    EXPECT_TRUE(disk.CopyFolderFiles(At("src"), At("dst")));
    EXPECT_EQ(SnapshotTree(At("dst")),
              (TreeSnapshot{{"a.txt", "new a"}, {"b.txt", "new b"}, {"only.txt", "only"}}));
}

TEST_F(CopyTest, CopyFolderFilesFromMissingSourceOnlyCreatesTheTarget) {
    CDiskObject disk;
    EXPECT_TRUE(disk.CopyFolderFiles(At("missing"), At("t\\deep")));
    EXPECT_TRUE(FolderExists(At("t\\deep")));
    EXPECT_EQ(SnapshotTree(At("t\\deep")), TreeSnapshot());
}

TEST_F(CopyTest, CopyStopsAtReadOnlyTarget) {
    for (const char* name : {"a.txt", "b.txt", "c.txt"})
        WriteTextFile(At("src\\") + name, std::string("new ") + name);
    WriteTextFile(At("dst\\b.txt"), "old b");
    SetReadOnly(At("dst\\b.txt"), true);
    CDiskObject disk;
    EXPECT_FALSE(disk.CopyFolderFiles(At("src"), At("dst")));
    EXPECT_EQ(disk.GetErrorText(), SystemMessage(ERROR_ACCESS_DENIED) + " " + At("src\\b.txt") +
                                       " -> " + At("dst\\b.txt"));
    EXPECT_EQ(SnapshotTree(At("dst")),
              (TreeSnapshot{{"a.txt", "new a.txt"}, {"b.txt", "old b <read-only>"}}));
}

TEST_F(CopyTest, CopyStopsAtInUseTarget) {
    WriteTextFile(At("src\\a.txt"), "new");
    WriteTextFile(At("dst\\a.txt"), "old");
    OpenFile held(At("dst\\a.txt"));
    ASSERT_TRUE(held.IsOpen());
    CDiskObject disk;
    EXPECT_FALSE(disk.CopyFolderFiles(At("src"), At("dst")));
    EXPECT_EQ(disk.GetErrorText(), SystemMessage(ERROR_SHARING_VIOLATION) + " " +
                                       At("src\\a.txt") + " -> " + At("dst\\a.txt"));
}

TEST_F(CopyTest, CopyFolderTreeReproducesTheTreeOverTheTarget) {
    WriteTextFile(At("src\\top.txt"), "top");
    WriteTextFile(At("src\\res\\skin.dat"), "skin");
    WriteTextFile(At("src\\res\\deeper\\x.bin"), "x");
    MakeFolders(At("src\\empty"));
    WriteTextFile(At("src\\ro.txt"), "ro");
    SetReadOnly(At("src\\ro.txt"), true);
    WriteTextFile(At("dst\\top.txt"), "old");
    WriteTextFile(At("dst\\res\\mine.txt"), "mine");

    CDiskObject disk;
    EXPECT_TRUE(disk.CopyFolderTree(At("src"), At("dst"))) << disk.GetErrorText();
    TreeSnapshot expected = SnapshotTree(At("src"));
    expected["res\\mine.txt"] = "mine";
    EXPECT_EQ(SnapshotTree(At("dst")), expected);
    EXPECT_EQ(expected["ro.txt"], "ro <read-only>");
}

TEST_F(CopyTest, CopyFolderTreeOfEmptySourceCreatesTheTarget) {
    MakeFolders(At("src"));
    CDiskObject disk;
    EXPECT_TRUE(disk.CopyFolderTree(At("src"), At("a\\b")));
    EXPECT_TRUE(FolderExists(At("a\\b")));
}

TEST_F(CopyTest, CopyFolderTreeFailsForAFileSource) {
    WriteTextFile(At("update"), "not a folder");
    CDiskObject disk;
    EXPECT_FALSE(disk.CopyFolderTree(At("update"), At("dst")));
    EXPECT_EQ(disk.GetErrorText(),
              SystemMessage(SearchError(At("update\\*.*"))) + " " + At("update\\*.*"));
    EXPECT_FALSE(FolderExists(At("dst")));
}

// --- deleting ----------------------------------------------------------------------

TEST_F(DeleteTest, DeleteOneFileReportsAMissingFile) {
    WriteTextFile(At("a.txt"), "a");
    CDiskObject disk;
    EXPECT_TRUE(disk.DeleteOneFile(At("a.txt")));
    EXPECT_FALSE(FileExists(At("a.txt")));
    EXPECT_EQ(disk.GetErrorText(), "");

    EXPECT_FALSE(disk.DeleteOneFile(At("a.txt")));
    EXPECT_EQ(disk.GetErrorText(), SystemMessage(ERROR_FILE_NOT_FOUND) + " " + At("a.txt"));
    EXPECT_FALSE(disk.DeleteOneFile(""));
    EXPECT_EQ(disk.GetErrorText(), kInternalError);
    // A later success clears the text.
    WriteTextFile(At("b.txt"), "b");
    EXPECT_TRUE(disk.DeleteOneFile(At("b.txt")));
    EXPECT_EQ(disk.GetErrorText(), "");
}

TEST_F(DeleteTest, DeleteOneFileFailsForReadOnlyAndInUseFiles) {
    WriteTextFile(At("ro.txt"), "r");
    SetReadOnly(At("ro.txt"), true);
    WriteTextFile(At("held.txt"), "h");
    OpenFile held(At("held.txt"));
    ASSERT_TRUE(held.IsOpen());
    CDiskObject disk;
    EXPECT_FALSE(disk.DeleteOneFile(At("ro.txt")));
    EXPECT_EQ(disk.GetErrorText(), SystemMessage(ERROR_ACCESS_DENIED) + " " + At("ro.txt"));
    EXPECT_FALSE(disk.DeleteOneFile(At("held.txt")));
    EXPECT_EQ(disk.GetErrorText(), SystemMessage(ERROR_SHARING_VIOLATION) + " " + At("held.txt"));
    EXPECT_TRUE(FileExists(At("ro.txt")));
    EXPECT_TRUE(FileExists(At("held.txt")));
}

TEST_F(DeleteTest, DeleteFolderDeletesFilesThenFailsOnASubfolder) {
    WriteTextFile(At("d\\a.txt"), "a");
    MakeFolders(At("d\\sub"));
    CDiskObject disk;
    EXPECT_FALSE(disk.DeleteFolder(At("d")));
    RemoveDirectoryA(At("d\\").c_str());
    const DWORD code = GetLastError();
    EXPECT_EQ(disk.GetErrorText(), SystemMessage(code) + " " + At("d\\"));
    EXPECT_EQ(SnapshotTree(At("d")), (TreeSnapshot{{"sub\\", "<dir>"}}));

    EXPECT_TRUE(disk.DeleteFolder(At("d\\sub")));
    EXPECT_TRUE(disk.DeleteFolder(At("d")));
    EXPECT_FALSE(FolderExists(At("d")));
}

TEST_F(DeleteTest, DeleteFolderRefusesAnEmptyPath) {
    WriteTextFile(At("a.txt"), "a");
    ASSERT_TRUE(SetCurrentDirectoryA(Root().c_str()));
    CDiskObject disk;
    EXPECT_FALSE(disk.DeleteFolder(""));
    EXPECT_EQ(disk.GetErrorText(), kInternalError);
    EXPECT_FALSE(disk.DeleteFolderFiles(""));
    EXPECT_FALSE(disk.DeleteFolderTree(""));
    EXPECT_EQ(disk.GetErrorText(), kInternalError);
    EXPECT_TRUE(FileExists(At("a.txt")));
}

TEST_F(DeleteTest, DeleteFolderTreeStopsAtAReadOnlyFile) {
    // One folder per level, so that the pre-order list is a.., a\b.. alone.
    WriteTextFile(At("t\\top.txt"), "top");
    WriteTextFile(At("t\\a\\1.txt"), "1");
    WriteTextFile(At("t\\a\\2.txt"), "2");
    WriteTextFile(At("t\\a\\3.txt"), "3");
    WriteTextFile(At("t\\a\\b\\deep.txt"), "deep");
    SetReadOnly(At("t\\a\\2.txt"), true);
    CDiskObject disk;
    EXPECT_FALSE(disk.DeleteFolderTree(At("t")));
    EXPECT_EQ(disk.GetErrorText(), SystemMessage(ERROR_ACCESS_DENIED) + " " + At("t\\a\\2.txt"));
    EXPECT_EQ(SnapshotTree(At("t")), (TreeSnapshot{{"top.txt", "top"},
                                                    {"a\\", "<dir>"},
                                                    {"a\\2.txt", "2 <read-only>"},
                                                    {"a\\3.txt", "3"}}));
}

TEST_F(DeleteTest, DeleteFolderTreeLeavesWhatALinkPointsTo) {
    WriteTextFile(At("outside\\keep.txt"), "keep");
    WriteTextFile(At("outside\\inner\\deep.txt"), "deep");
    const TreeSnapshot outside = SnapshotTree(At("outside"));
    WriteTextFile(At("tree\\sub\\mine.txt"), "mine");
    UnixLink link(At("outside"), At("tree\\sub\\link"));
    if (!link.Made())
        GTEST_SKIP() << "folder links are made from the Unix side under Wine only";

    CDiskObject disk;
    EXPECT_FALSE(disk.DeleteFolderTree(At("tree")));
    RemoveDirectoryA(At("tree\\sub\\").c_str());
    const DWORD code = GetLastError();
    EXPECT_EQ(disk.GetErrorText(), SystemMessage(code) + " " + At("tree\\sub\\"));
    EXPECT_EQ(SnapshotTree(At("outside")), outside);
    EXPECT_EQ(SnapshotTree(At("tree")), (TreeSnapshot{{"sub\\", "<dir>"}, {"sub\\link\\", "<link>"}}));
}

// An operation given a folder that is itself a link touches neither the link
// nor what lies behind it. The empty target matters: Wine's RemoveDirectoryA
// on a link to an empty folder removes the target and keeps the link.
TEST_F(DeleteTest, OperationsGivenAFolderLinkTouchNothing) {
    using Operation = bool (*)(CDiskObject&, const std::string&, const std::string&);
    const std::pair<const char*, Operation> operations[] = {
        {"DeleteFolderFiles", [](CDiskObject& d, const std::string& f, const std::string&) { return d.DeleteFolderFiles(f); }},
        {"DeleteFolder", [](CDiskObject& d, const std::string& f, const std::string&) { return d.DeleteFolder(f); }},
        {"DeleteFolderTree", [](CDiskObject& d, const std::string& f, const std::string&) { return d.DeleteFolderTree(f); }},
        {"ListFolderFiles", [](CDiskObject& d, const std::string& f, const std::string&) { StringList l; return d.ListFolderFiles(f, l, false); }},
        {"ListFolderTree", [](CDiskObject& d, const std::string& f, const std::string&) { StringList l; return d.ListFolderTree(f, l, true); }},
        {"CopyFolderTree", [](CDiskObject& d, const std::string& f, const std::string& t) { return d.CopyFolderTree(f, t); }},
    };
    for (const bool emptyTarget : {true, false}) {
        for (const auto& operation : operations) {
            SCOPED_TRACE(std::string(operation.first) + (emptyTarget ? ", empty target" : ""));
            MakeFolders(At("outside"));
            if (!emptyTarget) {
                WriteTextFile(At("outside\\keep.txt"), "keep");
                WriteTextFile(At("outside\\inner\\deep.txt"), "deep");
            }
            const TreeSnapshot outside = SnapshotTree(At("outside"));
            UnixLink link(At("outside"), At("lnk"));
            if (!link.Made())
                GTEST_SKIP() << "folder links are made from the Unix side under Wine only";

            CDiskObject disk;
            EXPECT_FALSE(operation.second(disk, At("lnk"), At("copy")));
            EXPECT_EQ(disk.GetErrorText(), SystemMessage(ERROR_CANT_ACCESS_FILE) + " " + At("lnk\\"));
            EXPECT_TRUE(FolderExists(At("outside")));
            EXPECT_EQ(SnapshotTree(At("outside")), outside);
            EXPECT_TRUE(GetFileAttributesA(At("lnk").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
            EXPECT_FALSE(FolderExists(At("copy")));
        }
    }
}

TEST(LinkEntryTest, OnlyNameSurrogatesAndUnknownTagsAreLinks) {
    const DWORD folder = FILE_ATTRIBUTE_DIRECTORY;
    const DWORD reparse = FILE_ATTRIBUTE_REPARSE_POINT;
    const struct {
        DWORD attributes;
        DWORD tag;
        bool link;
    } cases[] = {
        {folder, 0, false},
        {FILE_ATTRIBUTE_ARCHIVE, IO_REPARSE_TAG_SYMLINK, false},  // the tag alone says nothing
        {folder | reparse, IO_REPARSE_TAG_MOUNT_POINT, true},     // junction
        {folder | reparse, IO_REPARSE_TAG_SYMLINK, true},
        {reparse, IO_REPARSE_TAG_SYMLINK, true},                  // file link
        {folder | reparse, 0x9000101A, false},                    // cloud placeholder folder
        {reparse, IO_REPARSE_TAG_DEDUP, false},
        {folder | reparse, 0, true},                               // tag not given (Wine)
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsLinkEntry(c.attributes, c.tag), c.link)
            << std::hex << c.attributes << " " << c.tag;
    }
}

}  // namespace
