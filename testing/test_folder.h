// Test support: a unique temporary folder per test and small helpers that
// build and read file trees with plain Win32 calls (never with the code under
// test, so a fault there cannot hide itself).
#ifndef ORBEX_TESTING_TEST_FOLDER_H_
#define ORBEX_TESTING_TEST_FOLDER_H_

#include <gtest/gtest.h>

#include <map>
#include <string>

// Makes a unique folder under %TEMP% before each test and removes it after,
// clearing read-only attributes on the way; also restores the current
// directory, which the code under test changes for moments.
class TempFolderTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The test's folder, ending with a backslash.
    const std::string& Root() const { return root_; }
    // Root() + relative path.
    std::string At(const std::string& relative) const { return root_ + relative; }

private:
    std::string root_;
    std::string savedCurrentDirectory_;
};

// Creates every missing folder of `folder` (backslashes or slashes).
void MakeFolders(const std::string& folder);
// Writes `content` to `path`, creating its folders; replaces an existing file.
void WriteTextFile(const std::string& path, const std::string& content);
// The whole content of a file; empty when it cannot be read.
std::string ReadTextFile(const std::string& path);
bool FileExists(const std::string& path);
bool FolderExists(const std::string& path);
void SetReadOnly(const std::string& path, bool readOnly);
bool IsReadOnly(const std::string& path);
// Deletes a tree bottom-up, clearing read-only attributes; never enters a
// reparse point (a link is removed, not followed).
void RemoveTree(const std::string& folder);

// Relative path -> content of every file below `folder`, and "<dir>" for every
// folder ("sub\\" keys end with a backslash). Reparse points are recorded as
// "<link>" and not entered.
using TreeSnapshot = std::map<std::string, std::string>;
TreeSnapshot SnapshotTree(const std::string& folder);

// The Linux path of a Windows path under Wine (empty when not under Wine);
// lets a test make a Unix symbolic link, which Wine shows as a reparse point.
std::string UnixPathOf(const std::string& windowsPath);
bool RunningUnderWine();
// Makes `link` a Unix symbolic link to the folder `target` (both Windows
// paths) with `ln -s` on the Linux side; false when not under Wine. Wine shows
// such a link as a folder with the reparse-point attribute (0x410).
bool MakeUnixFolderLink(const std::string& target, const std::string& link);
// Removes such a link with `rm` on the Linux side (Wine's RemoveDirectoryA
// and DeleteFileA cannot); its target is not touched.
bool RemoveUnixLink(const std::string& link);

// The system's own message text for an error code, trimmed: tests compare
// error texts with this, never with a fixed sentence (Wine's differ).
std::string SystemMessage(unsigned long code);

// Folder of the running test program, ending with a backslash.
std::string TestProgramFolder();

#endif  // ORBEX_TESTING_TEST_FOLDER_H_
